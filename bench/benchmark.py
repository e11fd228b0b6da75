#!/usr/bin/env python3
"""Times _velk against numpy, FAISS, USearch and hnswlib on seeded float32 data.

Run it through `make bench` (bench/run), which builds the environment. Every
system is measured in the same process run, on the same matrix, after one
untimed warm-up call; the median and the minimum of the timed runs are kept.
A system that is not installed, or fails, is reported and skipped.

Outputs: a table on stdout, and bench/results/latest.{json,md,png}.

The harness: timing.py (how calls are timed), systems.py (velk and its peers),
scenarios.py (the one-query scenarios), report.py (targets, tables, plot);
this file parses the options and runs the scenarios asked for.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import time
from pathlib import Path

from report import blas_info, evaluate_targets, find, machine_info, markdown, plot, update_docs
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
from timing import StreamReader, blas_threads, fmt_time, wait_for_quiet

HERE = Path(__file__).resolve().parent


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="timed runs per system and scenario (at least 5)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the row counts of (a)-(c), (e) (quick checks)")
    parser.add_argument("--scenarios", default="a,b,c,d,e,f", help="comma-separated subset of a,b,c,d,e,f")
    parser.add_argument("--latency-budget", type=float, default=0.5, help="seconds of back-to-back calls per system in (d)")
    parser.add_argument("--out", default=str(HERE / "results"), help="directory for latest.{json,md,png}")
    parser.add_argument("--scan-binary", default=None, help="C++ row-scorer benchmark to run for the scan alone")
    parser.add_argument("--quiet-wait", type=float, default=0.0,
                        help="wait up to this many seconds for the load average to fall below 1 first")
    parser.add_argument("--child", choices=("threads", "rss"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.scenarios = [s.strip() for s in args.scenarios.split(",") if s.strip()]
    # Fewer than five runs make a median that one outlier can move.
    args.runs = max(5, args.runs)
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
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
    systems, versions, velk = import_systems(log)
    stream = StreamReader(HERE / ".venv" / "stream-read")
    report = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine_info(threads),
        "versions": versions,
        "blas": blas_info(),
        "threads": threads,
        "runs": args.runs,
        "scale": args.scale,
        "seed": SEED,
        "load_average_before": load_before,
        "results": [],
    }
    log(f"velk benchmark: {threads} threads, {args.runs} runs per case, {report['machine']['cpu']}")
    for library in report["blas"]:
        if library.get("internal_api") == "openblas":
            log(f"   {library.get('prefix')} {library.get('version')}: {library.get('architecture')} kernels")
    with blas_threads(threads):
        for key, spec in MATRIX_SCENARIOS.items():
            if key in args.scenarios:
                report["results"] += run_matrix_scenario(key, spec, systems, stream, threads, args, log)
        if "e" in args.scenarios:
            report["results"] += run_list_scenario(velk, args, log)

    velk_flat = velk is not None and hasattr(velk, "top_k_flat_np")
    if "f" in args.scenarios and velk_flat:
        log("\n== (f) velk with RAYON_NUM_THREADS=1 (subprocess)")
        child = run_subprocess("threads", args, {"RAYON_NUM_THREADS": "1"}, log)
        if child:
            report["threads_scaling"] = child["results"]
            for one in child["results"]:
                many = find(report["results"], one["scenario"], "velk", one["k"])
                extra = f", {threads} threads {fmt_time(many['median_s'])}" if many else ""
                log(f"   ({one['scenario']}) k={one['k']}: 1 thread {fmt_time(one['median_s'])}{extra}")
    if "a" in args.scenarios and velk_flat:
        log("\n== peak extra RSS of one top_k_flat_np call on (a) (subprocess)")
        rss = run_subprocess("rss", args, {}, log)
        if rss:
            report["rss"] = rss
            budget = 16 * rss["rows"]
            for label in ("first_call", "warm_call"):
                extra = rss[label]["extra_bytes"]
                log(f"   {label.replace('_', ' ')}: {extra / 2**20:.1f} MiB = {extra / budget:.2f} x 16 bytes per row")
    if args.scan_binary and velk_flat:
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
    plot(report, out / "latest.png", log)
    if out.resolve() == (HERE / "results").resolve():
        update_docs(table, log)
    log(f"wrote {out}/latest.json, latest.md, latest.png in {report['wall_s']:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
