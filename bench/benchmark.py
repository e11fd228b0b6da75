#!/usr/bin/env python3
"""Times _velk against numpy, FAISS, USearch and hnswlib on seeded float32 data.

Run it through `make bench` (bench/run), which builds the environment. Every
system is measured in the same process run, on the same matrix, after one
untimed warm-up call; the median and the minimum of the timed runs are kept.
A system that is not installed, or fails, is reported and skipped.

Outputs: a table on stdout, and bench/results/latest.{json,md,png}.

The harness: timing.py (how calls are timed), probes.py (the streaming-read
and multiply/add ceilings, from C kernels built at run time), systems.py (velk
and its peers), scenarios.py (the one-query scenarios (a)-(f)), batches.py
(the batch scenarios (g) and (h)), features.py (half precision, filters and
threshold search, (i)-(l)), targets.py (PASS or MISS), report.py
(tables, plot); this file parses the options and runs the scenarios asked for.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import tempfile
import time
from pathlib import Path

from batches import run_batch_rss_child, run_batch_scenario, run_dedup_scenario, run_peak_probe
from features import FEATURE_SCENARIOS, RUNNERS as FEATURE_RUNNERS
from probes import PeakProbe, StreamReader
from report import blas_info, feature_costs, machine_info, markdown, plot
from scenarios import (
    MATRIX_SCENARIOS,
    SEED,
    run_child,
    run_list_scenario,
    run_matrix_scenario,
    run_scan_binary,
    run_subprocess,
    scale_rows,
)
from systems import import_systems
from targets import evaluate_targets, find
from timing import INTERLEAVE_PAUSE_S, blas_threads, fmt_time, wait_for_quiet

HERE = Path(__file__).resolve().parent


QUICK_SCALE = 0.002
ALL_SCENARIOS = tuple("abcdefgh") + FEATURE_SCENARIOS


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7,
                        help="timed runs per system and scenario, rounds of (i)-(k) (at least 5)")
    parser.add_argument("--batch-runs", type=int, default=5,
                        help="timed rounds of (g), (h) and (l), and calls of the peak probe (at least 5)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply the row counts of (a)-(c), (e) and (g)-(l) (quick checks)")
    parser.add_argument("--scenarios", default=",".join(ALL_SCENARIOS),
                        help=f"comma-separated subset of {','.join(ALL_SCENARIOS)}")
    parser.add_argument("--latency-budget", type=float, default=0.5, help="seconds of back-to-back calls per system in (d)")
    parser.add_argument("--pause", type=float, default=INTERLEAVE_PAUSE_S,
                        help="seconds of pause before each interleaved call (thread pools spin after a call)")
    parser.add_argument("--slow-call", type=float, default=5.0,
                        help="in (g), a system whose warm-up call takes longer is timed by that call alone")
    parser.add_argument("--dedup-cap", type=float, default=120.0,
                        help="in (h), a system whose pilot predicts a longer call is reported with the estimate")
    parser.add_argument("--peak-call", type=float, default=0.2, help="seconds per call of the peak probe")
    parser.add_argument("--quick", action="store_true", default=bool(os.environ.get("VELK_BENCH_QUICK")),
                        help=f"a smoke test: every scenario with its rows x {QUICK_SCALE}, no pauses, results in "
                        "a temporary directory (also VELK_BENCH_QUICK=1)")
    parser.add_argument("--out", default=None, help="directory for latest.{json,md,png} (default bench/results)")
    parser.add_argument("--scan-binary", default=None, help="C++ row-scorer benchmark to run for the scan alone")
    parser.add_argument("--quiet-wait", type=float, default=0.0,
                        help="wait up to this many seconds for the load average to fall below 1 first")
    parser.add_argument("--child", choices=("threads", "rss", "batch-rss"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.scenarios = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    unknown = sorted(set(args.scenarios) - set(ALL_SCENARIOS))
    if unknown:
        parser.error(f"unknown scenarios {','.join(unknown)}: choose from {','.join(ALL_SCENARIOS)}")
    # Fewer than five runs make a median that one outlier can move.
    args.runs = max(5, args.runs)
    args.batch_runs = max(5, args.batch_runs)
    if args.quick:
        args.scale = min(args.scale, QUICK_SCALE)
        args.latency_budget = min(args.latency_budget, 0.02)
        args.pause = 0.0
        args.peak_call = min(args.peak_call, 0.01)
    if args.out is None:
        args.out = str(Path(tempfile.gettempdir()) / "velk-bench-quick" if args.quick else HERE / "results")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.child == "batch-rss":
        run_batch_rss_child(args)
        return 0
    if args.child:
        run_child(args.child, args)
        return 0

    def log(text=""):
        print(text, flush=True)

    threads = len(os.sched_getaffinity(0))
    # The pool reads its size once, at the first call: pin it to every CPU here.
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    wait_for_quiet(args.quiet_wait, log)
    started = time.perf_counter()
    load_before = os.getloadavg()
    if load_before[0] >= 1.0:
        log(f"warning: load average {load_before[0]:.1f} before the run: other processes are busy, "
            "the timings will be noisy")
    installed = import_systems(log)
    velk = installed.raw_velk
    stream = StreamReader(HERE / ".venv" / "stream-read")
    report = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine_info(threads),
        "versions": installed.versions,
        "blas": blas_info(),
        "threads": threads,
        "runs": args.runs,
        "batch_runs": args.batch_runs,
        "scale": args.scale,
        "quick": args.quick,
        "seed": SEED,
        "load_average_before": load_before,
        "results": [],
    }
    log(f"velk benchmark: {threads} threads, {args.runs} runs per case, {report['machine']['cpu']}"
        + (f" (quick: rows x {args.scale})" if args.quick else ""))
    for library in report["blas"]:
        if library.get("internal_api") == "openblas":
            log(f"   {library.get('prefix')} {library.get('version')}: {library.get('architecture')} kernels")
    # Seconds each part of the run took, so that a long run shows where its time went.
    report["wall_s_by_part"] = {}

    # Whether both processors' arithmetic is there, just before each scenario.
    try:
        scaling_probe = PeakProbe(HERE / ".venv" / "probes") if threads > 1 else None
    except Exception as error:  # noqa: BLE001 - the check is then left out
        log(f"   the scaling probe did not build: {error!r}")
        scaling_probe = None
    report["compute_scaling"] = {}

    def timed_part(name, run):
        if scaling_probe is not None and len(name) == 1:
            report["compute_scaling"][name] = scaling_probe.scaling(threads)
            log(f"   ({threads} threads get {report['compute_scaling'][name]:.2f} cores' worth of arithmetic)")
        start = time.perf_counter()
        outcome = run()
        report["wall_s_by_part"][name] = time.perf_counter() - start
        log(f"   ({name} took {report['wall_s_by_part'][name]:.0f} s)")
        return outcome

    with blas_threads(threads):
        for key, spec in MATRIX_SCENARIOS.items():
            if key in args.scenarios:
                report["results"] += timed_part(key, lambda key=key, spec=spec: run_matrix_scenario(
                    key, spec, installed.systems, stream, threads, args, log))
        if "e" in args.scenarios:
            report["results"] += timed_part("e", lambda: run_list_scenario(velk, args, log))
        if "g" in args.scenarios or "h" in args.scenarios:
            report["peak"] = timed_part("peak", lambda: run_peak_probe(HERE / ".venv" / "probes", threads, args, log))
        if "g" in args.scenarios:
            report["results"] += timed_part("g", lambda: run_batch_scenario(installed, threads, args, log))
        if "h" in args.scenarios:
            report["results"] += timed_part("h", lambda: run_dedup_scenario(installed, threads, args, log))
        for key in FEATURE_SCENARIOS:
            if key in args.scenarios:
                report["results"] += timed_part(key, lambda key=key: FEATURE_RUNNERS[key](
                    installed, stream, threads, args, log))

    if "f" in args.scenarios and velk is not None:
        log("\n== (f) velk with RAYON_NUM_THREADS=1 (subprocess)")
        child = timed_part("f", lambda: run_subprocess("threads", args, {"RAYON_NUM_THREADS": "1"}, log))
        if child:
            report["threads_scaling"] = child["results"]
            for one in child["results"]:
                many = find(report["results"], one["scenario"], "velk", one["k"])
                extra = f", {threads} threads {fmt_time(many['median_s'])}" if many else ""
                log(f"   ({one['scenario']}) k={one['k']}: 1 thread {fmt_time(one['median_s'])}{extra}")
    if "a" in args.scenarios and velk is not None:
        log("\n== peak extra RSS of one top_k_flat_np call on (a) (subprocess)")
        rss = run_subprocess("rss", args, {}, log)
        if rss:
            report["rss"] = rss
            budget = 16 * rss["rows"]
            for label in ("first_call", "warm_call"):
                extra = rss[label]["extra_bytes"]
                log(f"   {label.replace('_', ' ')}: {extra / 2**20:.1f} MiB = {extra / budget:.2f} x 16 bytes per row")
    if "g" in args.scenarios and "velk" in installed.modules:
        log("\n== peak extra RSS of one velk.search_many call (subprocess)")
        rss = timed_part("batch memory", lambda: run_subprocess("batch-rss", args, {}, log))
        if rss:
            report["batch_rss"] = rss
            for label in ("first_call", "warm_call"):
                extra = rss[label]["extra_bytes"]
                log(f"   {label.replace('_', ' ')}: {extra / 2**20:.1f} MiB = {extra / rss['rows']:.1f} bytes per row")
    if args.scan_binary and velk is not None:
        log("\n== the scan alone (C++ row-scorer benchmark)")
        spec = MATRIX_SCENARIOS["a"]
        measured = next((entry for entry in report["results"]
                         if entry["scenario"] == "a" and "line_offset_bytes" in entry), None)
        offset = measured["line_offset_bytes"] if measured else 0
        report["scan"] = run_scan_binary(args.scan_binary, scale_rows(spec["rows"], args.scale), spec["dim"], log,
                                         offset // 4 if offset % 4 == 0 else 0)

    report["targets"] = evaluate_targets(report)
    report["wall_s"] = time.perf_counter() - started
    report["load_average_after"] = os.getloadavg()
    table = markdown(report)
    log("\n" + table)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "latest.json").write_text(json.dumps(report, indent=1) + "\n")
    (out / "latest.md").write_text(table)
    costs = feature_costs(report)
    if costs is not None:
        (out / "latest-costs.md").write_text(costs)
    plot(report, out / "latest.png", log)
    log(f"wrote {out}/latest.json, latest.md, latest.png in {report['wall_s']:.0f} s")
    if out.resolve() == (HERE / "results").resolve():
        log("`make bench-docs` copies these tables into docs/benchmarks.md and the README")
    return 0


if __name__ == "__main__":
    sys.exit(main())
