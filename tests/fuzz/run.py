"""Runs the entry-point fuzzer (fuzz_entry_points.py) and counts what it did.

    run.py --seconds N   fuzz from the corpus for N seconds, restarting after
                         each crash, add new inputs to the corpus, then
                         minimise it (`make fuzz`)
    run.py --runs N      the CI smoke: N executions or more from a copy of
                         the corpus; stops at the first crash
    run.py --replay FILE runs saved inputs again (a crash-* file, say)

The environment (the preloaded sanitizer and libFuzzer runtime, the module
built for fuzzing) is set up by tools/run-fuzz. Crash inputs are kept in the
artifacts directory; the log of every fuzzer process goes to a file beside
them, since the panic reports of dim=0 calls fill standard error. Exit status
0 only when nothing crashed. The last line printed is always
`fuzz: <N> executions, <C> crashes`.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = os.path.join(HERE, "fuzz_entry_points.py")
CORPUS = os.path.join(HERE, "corpus")

# Reports that mean a fault even if the process somehow exited cleanly.
FAULT = re.compile(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|"
                   r"=== Uncaught Python exception|ERROR: libFuzzer")
EXECUTED = re.compile(r"stat::number_of_executed_units:\s*(\d+)")
LAST_COUNT = re.compile(r"^#(\d+)\s", re.M)
MAX_RESTARTS = 20


def fuzzer_command(python, options, dirs):
    return [python, TARGET, "-timeout=25", "-rss_limit_mb=4096", "-print_final_stats=1",
            "-max_len=4096", *options, *dirs]


def fuzzer_environment():
    """The fuzzer's own: the sanitizer runtime with libFuzzer preloaded (the
    interpreter is not instrumented), every Python allocation through it."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = env["VELK_FUZZ_PRELOAD"]
    env["PYTHONMALLOC"] = "malloc"
    # No leak checks (the interpreter leaks at exit by design); huge requests
    # fail as MemoryError, as they would without the sanitizer.
    env["ASAN_OPTIONS"] = "detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0"
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    env["RUST_BACKTRACE"] = "0"
    return env


def run_once(python, options, dirs, log_path):
    """One fuzzer process; returns (executions, crashed, its log)."""
    with open(log_path, "w") as log:
        status = subprocess.call(fuzzer_command(python, options, dirs), stdout=log,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                 env=fuzzer_environment())
    with open(log_path, errors="replace") as log:
        text = log.read()
    found = EXECUTED.findall(text)
    if found:
        executions = int(found[-1])
    else:
        counts = LAST_COUNT.findall(text)
        executions = int(counts[-1]) if counts else 0
    crashed = status != 0 or FAULT.search(text) is not None
    return executions, crashed, text


def report_crash(text, log_path):
    """The part of a crash log that says what happened."""
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines) if FAULT.search(line)), max(0, len(lines) - 40))
    excerpt = [line for line in lines[start:start + 40] if "panicked at" not in line]
    print("\n".join(excerpt))
    print(f"(full log: {log_path})")


def minimise(python, artifacts):
    """Keeps only the inputs that add coverage (libFuzzer's merge)."""
    merged = tempfile.mkdtemp(prefix="corpus-", dir=artifacts)
    log_path = os.path.join(artifacts, "merge.log")
    _, crashed, _ = run_once(python, ["-merge=1"], [merged, CORPUS], log_path)
    kept = os.listdir(merged)
    if crashed or not kept:
        print(f"corpus left as it is (merge did not finish cleanly, see {log_path})")
        shutil.rmtree(merged)
        return
    for name in os.listdir(CORPUS):
        os.remove(os.path.join(CORPUS, name))
    for name in kept:
        shutil.move(os.path.join(merged, name), os.path.join(CORPUS, name))
    shutil.rmtree(merged)
    print(f"corpus: {len(kept)} inputs")


def main():
    parser = argparse.ArgumentParser()
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--seconds", type=int)
    mode.add_argument("--runs", type=int)
    mode.add_argument("--replay", nargs="+", metavar="INPUT")
    parser.add_argument("--max-seconds", type=int, default=1200,
                        help="with --runs: give up (and fail) after this long")
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    python = sys.executable
    os.makedirs(args.artifacts, exist_ok=True)
    os.makedirs(CORPUS, exist_ok=True)
    prefix = f"-artifact_prefix={os.path.join(args.artifacts, '')}"
    executions = crashes = 0

    if args.replay:
        log_path = os.path.join(args.artifacts, "replay.log")
        executions, crashed, text = run_once(python, [], args.replay, log_path)
        print("\n".join(line for line in text.splitlines() if "panicked at" not in line))
        print(f"fuzz: {executions} executions, {int(crashed)} crashes")
        return 1 if crashed else 0

    if args.runs is not None:
        # The smoke works on a copy: CI leaves the checkout as it found it.
        work = tempfile.mkdtemp(prefix="corpus-", dir=args.artifacts)
        for name in os.listdir(CORPUS):
            shutil.copy(os.path.join(CORPUS, name), work)
        log_path = os.path.join(args.artifacts, "smoke.log")
        executions, crashed, text = run_once(
            python, [f"-runs={args.runs}", f"-max_total_time={args.max_seconds}", prefix],
            [work], log_path)
        shutil.rmtree(work)
        if crashed:
            crashes = 1
            report_crash(text, log_path)
        ok = not crashed and executions >= args.runs
        if not crashed and executions < args.runs:
            print(f"only {executions} of {args.runs} executions in {args.max_seconds} s")
        print(f"fuzz: {executions} executions, {crashes} crashes")
        return 0 if ok else 1

    deadline = time.monotonic() + args.seconds
    restarts = 0
    while True:
        left = int(deadline - time.monotonic())
        if left < 1 or restarts > MAX_RESTARTS:
            break
        log_path = os.path.join(args.artifacts, f"fuzz-{restarts}.log")
        ran, crashed, text = run_once(python, [f"-max_total_time={left}", prefix],
                                      [CORPUS], log_path)
        executions += ran
        if not crashed:
            break
        crashes += 1
        restarts += 1
        report_crash(text, log_path)
    if crashes == 0:
        minimise(python, args.artifacts)
    else:
        print(f"crash inputs: {args.artifacts}/crash-* (and timeout-*, oom-*);"
              " the corpus is not minimised while something crashes")
    print(f"fuzz: {executions} executions, {crashes} crashes")
    return 0 if crashes == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
