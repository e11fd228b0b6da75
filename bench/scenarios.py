"""The one-query scenarios (a)-(f): seeded data, the interleaved runs over
every system, the list conversions, the subprocesses that time velk with one
thread and measure its peak memory, and the C++ scan alone.
"""

from __future__ import annotations

import gc
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from systems import max_score_error, overlap, top_of
from probes import StreamReader
from timing import (
    fmt_time,
    peak_rss_growth,
    time_calls,
    time_interleaved,
    time_latency,
    time_latency_interleaved,
)

HERE = Path(__file__).resolve().parent
SEED = 20261207


# Matrices and k of the throughput scenarios; (d) is the latency scenario.
MATRIX_SCENARIOS = {
    "a": {"rows": 1_000_000, "dim": 384, "ks": (10, 1000)},
    "b": {"rows": 3_000_000, "dim": 128, "ks": (10,)},
    "c": {"rows": 100_000, "dim": 768, "ks": (100,)},
    "d": {"rows": 1_000, "dim": 128, "ks": (10,)},
}
LIST_SCENARIO = {"rows": 100_000, "dim": 128, "k": 10}
LATENCY_SCENARIO = "d"
# Scenarios whose velk calls are repeated with one worker thread for (f).
THREAD_SCENARIOS = (("a", 10), ("b", 10), ("c", 100), ("d", 10))


# ---------------------------------------------------------------- data

def make_matrix(rows: int, dim: int, salt: int) -> tuple[np.ndarray, np.ndarray]:
    """Returns (matrix, query): uniform in [-1, 1), float32, C-contiguous.

    Generated in place so the peak memory is the matrix itself; the same
    (rows, dim, salt) gives the same bits in every process.
    """
    rng = np.random.default_rng([SEED, rows, dim, salt])
    matrix = rng.random((rows, dim), dtype=np.float32)
    matrix *= 2.0
    matrix -= 1.0
    query = rng.random(dim, dtype=np.float32) * np.float32(2.0) - np.float32(1.0)
    return matrix, query.astype(np.float32)


def scale_rows(rows: int, scale: float) -> int:
    return max(100, int(rows * scale))


# ---------------------------------------------------------------- scenarios

def run_matrix_scenario(key, spec, systems, stream, threads, args, log) -> list[dict]:
    rows, dim = spec["rows"], spec["dim"]
    latency = key == LATENCY_SCENARIO
    if not latency:
        rows = scale_rows(rows, args.scale)
    log(f"\n== ({key}) {rows:,} x {dim} float32 ({rows * dim * 4 / 1e9:.2f} GB), k = {', '.join(map(str, spec['ks']))}")
    start = time.perf_counter()
    matrix, query = make_matrix(rows, dim, salt=ord(key))
    log(f"   data generated in {time.perf_counter() - start:.1f} s")
    reference = {k: top_of((matrix @ query) / np.sqrt(np.einsum("ij,ij->i", matrix, matrix)) / np.linalg.norm(query), k)
                 for k in spec["ks"]}

    # Every system is prepared first (indexes hold copies: a few GB at most),
    # so that their timed calls can take turns.
    prepared = []
    for system in systems:
        try:
            system.prepare(matrix, threads)
            prepared.append(system)
        except Exception as error:  # noqa: BLE001 - a failing peer is reported, not fatal
            log(f"   {system.name}: prepare failed: {error!r}")
    results, calls = [], []
    for system in prepared:
        for k in spec["ks"]:
            entry = {"scenario": key, "rows": rows, "dim": dim, "k": k, "system": system.name, "threads": threads,
                     "line_offset_bytes": matrix.ctypes.data % 64}
            results.append(entry)
            try:
                found_rows, found_scores = system.decode(system.search(query, k))
                ref_rows, ref_scores = reference[k]
                entry["overlap"] = overlap(found_rows, ref_rows)
                entry["max_score_error"] = max_score_error(found_rows, found_scores, ref_rows, ref_scores)
                entry["returned"] = int(len(found_rows))
                calls.append((entry, lambda system=system, k=k: system.search(query, k)))
            except Exception as error:  # noqa: BLE001
                entry["error"] = repr(error)[:300]
    readers = {t: stream.reader(matrix, t) for t in sorted({1, threads})}

    if latency:
        # Small calls on a cache-resident matrix: each system in bursts of
        # back-to-back calls, so that another system's call does not evict
        # its working set, the bursts interleaved over the rounds.
        timings = time_latency_interleaved([call for _, call in calls], args.runs, args.latency_budget,
                                           pause_s=args.pause, order_seed=SEED + ord(key))
        stream_timings = [time_calls(call, args.runs) for call, _ in readers.values()]
    else:
        everything = time_interleaved([call for _, call in calls] + [call for call, _ in readers.values()], args.runs,
                                      pause_s=args.pause, order_seed=SEED + ord(key))
        timings, stream_timings = everything[: len(calls)], everything[len(calls):]
    for (entry, _), timing in zip(calls, timings):
        if isinstance(timing, Exception):
            entry["error"] = repr(timing)[:300]
        else:
            entry.update(timing.as_dict())
    bandwidth = {}
    for (t, (_, passes)), timing in zip(readers.items(), stream_timings):
        if isinstance(timing, Exception):
            raise timing
        bandwidth[t] = StreamReader.summarize(timing, matrix.nbytes, passes, t)
        log(f"   streaming read, {t} thread{'s' if t > 1 else ''}: "
            f"{bandwidth[t]['gbps_best']:.1f} GB/s best, {bandwidth[t]['gbps_median']:.1f} median")
    for entry in results:
        log("   " + format_entry(entry))
        entry["stream"] = {str(t): b for t, b in bandwidth.items()}
        entry["bytes"] = matrix.nbytes
        entry["interleaved"] = not latency
    for system in prepared:
        system.release()
    del matrix
    gc.collect()
    return results


def format_entry(entry: dict) -> str:
    label = f"k={entry['k']:<5} {entry['system']:<30}"
    if "error" in entry:
        return f"{label} FAILED {entry['error']}"
    return (f"{label} median {fmt_time(entry['median_s'])}  min {fmt_time(entry['min_s'])}"
            f"  overlap {entry['overlap']:.3f}  ({entry['runs']} runs)")


def run_list_scenario(velk, args, log) -> list[dict]:
    rows, dim, k = scale_rows(LIST_SCENARIO["rows"], args.scale), LIST_SCENARIO["dim"], LIST_SCENARIO["k"]
    log(f"\n== (e) Python lists: {rows:,} x {dim}, k = {k}")
    matrix, query = make_matrix(rows, dim, salt=ord("e"))
    flat = matrix.ravel().tolist()
    nested = matrix.tolist()
    query_list = query.tolist()
    ref_rows, _ = top_of((matrix @ query) / np.sqrt(np.einsum("ij,ij->i", matrix, matrix)), k)
    del matrix
    cases = []
    if velk is not None and hasattr(velk, "top_k_flat"):
        cases.append(("velk top_k_flat (flat list)", lambda: velk.top_k_flat(query_list, flat, dim, k), True))
    if velk is not None and hasattr(velk, "top_k"):
        cases.append(("velk top_k (list of lists)", lambda: velk.top_k(query_list, nested, k), True))
    cases.append(("numpy.asarray(flat list)", lambda: np.asarray(flat, dtype=np.float32), False))
    cases.append(("numpy.asarray(list of lists)", lambda: np.asarray(nested, dtype=np.float32), False))
    results = []
    for name, call, ranks in cases:
        entry = {"scenario": "e", "rows": rows, "dim": dim, "k": k, "system": name}
        try:
            raw = call()
            if ranks:
                entry["overlap"] = overlap(np.array([r for r, _ in raw]), ref_rows)
            entry.update(time_calls(call, args.runs).as_dict())
        except Exception as error:  # noqa: BLE001
            entry["error"] = repr(error)[:300]
        results.append(entry)
        if "error" in entry:
            log(f"   {name:<32} FAILED {entry['error']}")
        else:
            extra = f"  overlap {entry['overlap']:.3f}" if "overlap" in entry else ""
            log(f"   {name:<32} median {fmt_time(entry['median_s'])}  min {fmt_time(entry['min_s'])}{extra}")
    return results


def run_child(mode: str, args) -> None:
    """Entry of the subprocesses: prints one JSON object on stdout."""
    import _velk as velk  # noqa: PLC0415

    if mode == "threads":
        out = []
        for key, k in THREAD_SCENARIOS:
            if key not in args.scenarios:
                continue
            spec = MATRIX_SCENARIOS[key]
            rows = spec["rows"] if key == LATENCY_SCENARIO else scale_rows(spec["rows"], args.scale)
            matrix, query = make_matrix(rows, spec["dim"], salt=ord(key))
            call = lambda: velk.top_k_flat_np(query, matrix, spec["dim"], k)  # noqa: E731
            if key == LATENCY_SCENARIO:
                timing = time_latency(call, args.latency_budget)
            else:
                # Paced like the main run's turns, so both thread counts start alike.
                timing = time_interleaved([call], args.runs, pause_s=args.pause)[0]
                if isinstance(timing, Exception):
                    raise timing
            out.append({"scenario": key, "k": k, "rows": rows, "dim": spec["dim"], **timing.as_dict()})
            del matrix, call
            gc.collect()
        print(json.dumps({"results": out}))
    elif mode == "rss":
        spec = MATRIX_SCENARIOS["a"]
        rows = scale_rows(spec["rows"], args.scale)
        matrix, query = make_matrix(rows, spec["dim"], salt=ord("a"))
        out = {"rows": rows, "dim": spec["dim"]}
        for label in ("first_call", "warm_call"):
            out[label] = peak_rss_growth(lambda: velk.top_k_flat_np(query, matrix, spec["dim"], 10))
        print(json.dumps(out))


def run_subprocess(mode: str, args, env_extra: dict, log) -> dict | None:
    env = dict(os.environ, **env_extra)
    command = [sys.executable, str(HERE / "benchmark.py"), "--child", mode,
               "--scale", str(args.scale), "--runs", str(args.runs),
               "--latency-budget", str(args.latency_budget), "--pause", str(args.pause),
               "--scenarios", ",".join(args.scenarios)]
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        log(f"   {mode} subprocess timed out")
        return None
    if done.returncode != 0:
        log(f"   {mode} subprocess failed: {done.stderr.strip()[-400:]}")
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- scan

def run_scan_binary(path: str, rows: int, dim: int, log, offset_floats: int = 0) -> dict | None:
    """Runs the C++ row-scorer benchmark on rows x dim and reads its shares.

    Its result lines look like "avx512  2 threads  44.0 ms (best 43.1)  35.1 GB/s  0.97 of stream",
    one per kernel and thread count. The scan is the kernel the library picks
    on this processor: AVX-512 where it runs, else AVX2, else the scalar chain.
    `offset_floats` places its matrix as far past a cache line as the
    benchmark's own matrix lies (numpy's large arrays start 16 bytes past one).
    """
    command = [path, "--rows", str(rows), "--dim", str(dim)]
    if offset_floats:
        command += ["--offset", str(offset_floats)]
    try:
        done = subprocess.run(command,
                              capture_output=True, text=True, timeout=600)
    except (OSError, subprocess.TimeoutExpired) as error:
        log(f"   scan benchmark did not run: {error}")
        return None
    text = done.stdout + done.stderr
    log("   " + "\n   ".join(text.strip().splitlines()))
    by_kernel: dict[str, dict[str, float]] = {}
    line_pattern = re.compile(r"^\s*(\w+)\s+(\d+)\s*threads?\b.*?(\d+(?:\.\d+)?)\s+of stream")
    for line in text.splitlines():
        match = line_pattern.search(line)
        if match:
            by_kernel.setdefault(match.group(1), {})[match.group(2)] = float(match.group(3))
    kernel = next((name for name in ("avx512", "avx2", "scalar") if name in by_kernel), None)
    if kernel is None and by_kernel:
        kernel = next(iter(by_kernel))
    return {"output": text.strip().splitlines(), "returncode": done.returncode, "kernel": kernel,
            "rows": rows, "dim": dim, "offset_floats": offset_floats,
            "share_of_stream_by_kernel": by_kernel, "share_of_stream": by_kernel.get(kernel, {})}
