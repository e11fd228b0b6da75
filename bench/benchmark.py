#!/usr/bin/env python3
"""Times _velk against numpy, FAISS, USearch and hnswlib on seeded float32 data.

Run it through `make bench` (bench/run), which builds the environment. Every
system is measured in the same process run, on the same matrix, after one
untimed warm-up call; the median and the minimum of the timed runs are kept.
A system that is not installed, or fails, is reported and skipped.

Outputs: a table on stdout, and bench/results/latest.{json,md,png}.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import hashlib
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
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

SYSTEM_ORDER = (
    "velk",
    "numpy (norms per call)",
    "numpy (einsum norms per call)",
    "numpy (norms precomputed)",
    "FAISS IndexFlatIP",
    "USearch exact",
    "hnswlib BFIndex",
)


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


# ---------------------------------------------------------------- timing

@dataclass
class Timing:
    median_s: float
    min_s: float
    runs: int
    samples: list[float] = field(default_factory=list)

    @classmethod
    def of(cls, samples: list[float]) -> "Timing":
        return cls(statistics.median(samples), min(samples), len(samples), samples)

    def as_dict(self) -> dict:
        result = {"median_s": self.median_s, "min_s": self.min_s, "runs": self.runs}
        if len(self.samples) <= 50:
            result["samples_s"] = self.samples
        else:
            # Thousands of latency samples: keep their spread, not each one.
            ordered = sorted(self.samples)
            result["p10_s"] = ordered[len(ordered) // 10]
            result["p90_s"] = ordered[len(ordered) * 9 // 10]
        return result


def time_calls(call, runs: int, warmup: int = 1) -> Timing:
    """Times `call()` `runs` times after `warmup` untimed calls."""
    for _ in range(warmup):
        call()
    samples = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        call()
        samples.append((time.perf_counter_ns() - start) * 1e-9)
    return Timing.of(samples)


def time_latency(call, budget_s: float, min_calls: int = 200, max_calls: int = 20_000) -> Timing:
    """Times many back-to-back calls one by one: the median per call."""
    for _ in range(20):
        call()
    start = time.perf_counter()
    for _ in range(20):
        call()
    per_call = max((time.perf_counter() - start) / 20, 1e-7)
    calls = int(min(max_calls, max(min_calls, budget_s / per_call)))
    samples = []
    clock = time.perf_counter_ns
    for _ in range(calls):
        t0 = clock()
        call()
        samples.append(clock() - t0)
    return Timing.of([sample * 1e-9 for sample in samples])


# ---------------------------------------------------------------- stream

class StreamReader:
    """The streaming-read ceiling, from a tiny C kernel built with the system cc."""

    def __init__(self, cache_dir: Path):
        source = HERE / "stream_read.c"
        digest = hashlib.sha256(source.read_bytes()).hexdigest()[:12]
        library = cache_dir / f"stream_read_{digest}.so"
        if not library.exists():
            cache_dir.mkdir(parents=True, exist_ok=True)
            flags = ["-O2", "-shared", "-fPIC", "-pthread"]
            cpu = _cpu_flags()
            if "avx512f" in cpu:
                flags.append("-mavx512f")
            elif "avx2" in cpu:
                flags.append("-mavx2")
            tmp = library.with_suffix(".tmp.so")
            subprocess.run(["cc", *flags, "-o", str(tmp), str(source)], check=True)
            tmp.replace(library)
        self.lib = ctypes.CDLL(str(library))
        self.lib.stream_read.restype = ctypes.c_float
        self.lib.stream_read.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int]

    def reader(self, matrix: np.ndarray, threads: int):
        """(call, passes): a call that reads the matrix's memory `passes` times
        (more than once when it is small, so the call is long enough to time)."""
        count = matrix.size
        passes = max(1, math.ceil((64 << 20) / max(1, matrix.nbytes)))
        address = matrix.ctypes.data
        return (lambda: self.lib.stream_read(address, count, threads, passes)), passes

    def measure(self, matrix: np.ndarray, threads: int, runs: int) -> dict:
        """GB/s of reading the matrix's memory once."""
        call, passes = self.reader(matrix, threads)
        return self.summarize(time_calls(call, runs), matrix.nbytes, passes, threads)

    @staticmethod
    def summarize(timing: "Timing", nbytes: int, passes: int, threads: int) -> dict:
        moved = nbytes * passes
        return {
            "threads": threads,
            "median_s_per_pass": timing.median_s / passes,
            "min_s_per_pass": timing.min_s / passes,
            "gbps_median": moved / timing.median_s / 1e9,
            "gbps_best": moved / timing.min_s / 1e9,
        }


def _cpu_flags() -> set[str]:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


# ---------------------------------------------------------------- systems

def top_of(scores: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The numpy user's ranking: argpartition for the k best, argsort of those."""
    n = scores.shape[0]
    k = min(k, n)
    if k < n:
        best = np.argpartition(scores, n - k)[n - k:]
    else:
        best = np.arange(n)
    best = best[np.argsort(-scores[best], kind="stable")]
    return best, scores[best]


class System:
    """One way of finding the k best rows; `prepare` runs outside the timing."""

    name = ""

    def prepare(self, matrix: np.ndarray, threads: int) -> None:
        self.matrix = matrix
        self.threads = threads

    def search(self, query: np.ndarray, k: int):
        raise NotImplementedError

    def decode(self, raw) -> tuple[np.ndarray, np.ndarray]:
        """(row indices, cosine scores) of a search result, best first."""
        return np.asarray(raw[0], dtype=np.int64), np.asarray(raw[1], dtype=np.float64)

    def release(self) -> None:
        """Drops what `prepare` made, so the next system has the memory."""
        for name in ("matrix", "index", "inverse_norms"):
            self.__dict__.pop(name, None)


class VelkFlatNp(System):
    name = "velk"

    def __init__(self, module):
        self.function = module.top_k_flat_np

    def prepare(self, matrix, threads):
        super().prepare(matrix, threads)
        self.dim = matrix.shape[1]

    def search(self, query, k):
        return self.function(query, self.matrix, self.dim, k)

    def decode(self, raw):
        rows = np.array([row for row, _ in raw], dtype=np.int64)
        scores = np.array([score for _, score in raw], dtype=np.float64)
        return rows, scores


class NumpyNormsPerCall(System):
    """Row norms with np.linalg.norm on every call, as most numpy code does."""

    name = "numpy (norms per call)"

    def search(self, query, k):
        norms = np.linalg.norm(self.matrix, axis=1)
        scores = (self.matrix @ query) / (norms * np.linalg.norm(query))
        return top_of(scores, k)


class NumpyEinsumNormsPerCall(System):
    """Row norms with einsum on every call: no squared temporary matrix."""

    name = "numpy (einsum norms per call)"

    def search(self, query, k):
        norms = np.sqrt(np.einsum("ij,ij->i", self.matrix, self.matrix))
        scores = (self.matrix @ query) / (norms * np.linalg.norm(query))
        return top_of(scores, k)


class NumpyPrecomputed(System):
    name = "numpy (norms precomputed)"

    def prepare(self, matrix, threads):
        super().prepare(matrix, threads)
        self.inverse_norms = (1.0 / np.sqrt(np.einsum("ij,ij->i", matrix, matrix))).astype(np.float32)

    def search(self, query, k):
        scores = (self.matrix @ (query / np.linalg.norm(query))) * self.inverse_norms
        return top_of(scores, k)


class Faiss(System):
    name = "FAISS IndexFlatIP"

    def __init__(self, module):
        self.faiss = module

    def prepare(self, matrix, threads):
        self.threads = threads
        self.faiss.omp_set_num_threads(threads)
        normalised = matrix / np.sqrt(np.einsum("ij,ij->i", matrix, matrix))[:, None]
        self.index = self.faiss.IndexFlatIP(matrix.shape[1])
        self.index.add(np.ascontiguousarray(normalised, dtype=np.float32))
        del normalised

    def search(self, query, k):
        unit = (query / np.linalg.norm(query)).reshape(1, -1)
        distances, labels = self.index.search(unit, k)
        return labels[0], distances[0]


class USearchExact(System):
    name = "USearch exact"

    def __init__(self, module):
        self.index_module = module

    def search(self, query, k):
        return self.index_module.search(
            self.matrix, query, k, self.index_module.MetricKind.Cos, exact=True, threads=self.threads
        )

    def decode(self, raw):
        # Cosine distance is 1 - cosine.
        return np.asarray(raw.keys, dtype=np.int64), 1.0 - np.asarray(raw.distances, dtype=np.float64)


class HnswlibBF(System):
    name = "hnswlib BFIndex"

    def __init__(self, module):
        self.hnswlib = module

    def prepare(self, matrix, threads):
        self.threads = threads
        self.index = self.hnswlib.BFIndex(space="cosine", dim=matrix.shape[1])
        self.index.init_index(max_elements=matrix.shape[0])
        self.index.add_items(matrix)

    def search(self, query, k):
        # BFIndex normalises the rows it stores but not the query.
        unit = query / np.linalg.norm(query)
        labels, distances = self.index.knn_query(unit, k=k, num_threads=self.threads)
        return labels[0], distances[0]

    def decode(self, raw):
        return np.asarray(raw[0], dtype=np.int64), 1.0 - np.asarray(raw[1], dtype=np.float64)


# Run in a subprocess before velk is loaded here: a module that crashes the
# interpreter must cost velk's rows, not the whole run.
VELK_SMOKE_TEST = """
import numpy as np, _velk
m = np.random.default_rng(7).random((64, 8), dtype=np.float32) - np.float32(0.5)
q = m[5].copy()
assert _velk.top_k_flat_np(q, m, 8, 3)[0][0] == 5
assert _velk.top_k_flat(q.tolist(), m.ravel().tolist(), 8, 3)[0][0] == 5
assert _velk.top_k(q.tolist(), m.tolist(), 3)[0][0] == 5
"""


def velk_survives_a_smoke_test(log) -> bool:
    try:
        done = subprocess.run([sys.executable, "-c", VELK_SMOKE_TEST], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        log("note: _velk hung in a smoke test; velk is skipped")
        return False
    if done.returncode != 0:
        reason = done.stderr.strip().splitlines()[-1:] or [f"exit status {done.returncode}"]
        log(f"note: _velk failed a smoke test ({reason[0]}); velk is skipped")
        return False
    return True


def import_systems(log, smoke_test: bool = True) -> tuple[list[System], dict, object]:
    """Every system that imports here, their versions, and the velk module."""
    systems: list[System] = []
    versions = {"numpy": np.__version__}
    velk = None
    try:
        if smoke_test and not velk_survives_a_smoke_test(log):
            raise ImportError("failed the smoke test")
        import _velk as velk  # noqa: PLC0415

        if hasattr(velk, "top_k_flat_np"):
            systems.append(VelkFlatNp(velk))
        else:
            log("note: _velk has no top_k_flat_np yet; velk is skipped in (a)-(d)")
        versions["velk"] = _git_describe()
    except ImportError as error:
        velk = None
        log(f"note: _velk is not used ({error}); velk is skipped")
    systems += [NumpyNormsPerCall(), NumpyEinsumNormsPerCall(), NumpyPrecomputed()]
    try:
        import faiss  # noqa: PLC0415

        systems.append(Faiss(faiss))
        versions["faiss"] = faiss.__version__
    except ImportError:
        log("note: faiss is not installed; skipped")
    try:
        import usearch  # noqa: PLC0415
        import usearch.index  # noqa: PLC0415

        systems.append(USearchExact(usearch.index))
        versions["usearch"] = _distribution_version("usearch")
    except ImportError:
        log("note: usearch is not installed; skipped")
    try:
        import hnswlib  # noqa: PLC0415

        systems.append(HnswlibBF(hnswlib))
        versions["hnswlib"] = _distribution_version("hnswlib")
    except ImportError:
        log("note: hnswlib is not installed; skipped")
    return systems, versions, velk


def _distribution_version(name: str) -> str:
    try:
        from importlib.metadata import version  # noqa: PLC0415

        return version(name)
    except Exception:  # noqa: BLE001 - only a label
        return "?"


def _git_describe() -> str:
    """The commit velk was built from, marked when its sources had local changes."""
    try:
        head = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        changed = subprocess.run(
            ["git", "-C", str(ROOT), "status", "--porcelain", "--", "src", "python", "CMakeLists.txt", "pyproject.toml"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        return f"git {head}" + (" + local changes" if changed else "")
    except (OSError, subprocess.CalledProcessError):
        return "?"


def overlap(found: np.ndarray, reference: np.ndarray) -> float:
    if len(reference) == 0:
        return 1.0
    return len(set(found.tolist()) & set(reference.tolist())) / len(reference)


def max_score_error(rows, scores, ref_rows, ref_scores) -> float:
    reference = dict(zip(ref_rows.tolist(), ref_scores.tolist()))
    errors = [abs(s - reference[r]) for r, s in zip(rows.tolist(), scores.tolist()) if r in reference]
    return max(errors) if errors else float("nan")


# ---------------------------------------------------------------- scenarios

def blas_threads(threads: int):
    """Limits numpy's BLAS (and OpenMP) to `threads`, if threadpoolctl is there."""
    try:
        from threadpoolctl import threadpool_limits  # noqa: PLC0415

        return threadpool_limits(limits=threads)
    except ImportError:
        import contextlib  # noqa: PLC0415

        return contextlib.nullcontext()


# Pause before each interleaved call. Thread pools spin for a while after a
# call before they sleep (OpenBLAS by default for 2**28 cycles, about 70 ms
# here); on 2 cores a peer's spinning threads would otherwise slow down the
# next system's call.
INTERLEAVE_PAUSE_S = 0.15


def time_interleaved(calls: list, runs: int, pause_s: float = INTERLEAVE_PAUSE_S) -> list[Timing | Exception]:
    """Times every call `runs` times, one round over all calls at a time.

    A change in the machine's load during the scenario then touches every
    system alike instead of whichever one was being timed. One untimed round
    warms up first. A call that raises keeps its exception and leaves the rounds.
    """
    outcomes: list = [None] * len(calls)
    samples: list[list[float]] = [[] for _ in calls]
    for round_number in range(runs + 1):
        for index, call in enumerate(calls):
            if isinstance(outcomes[index], Exception):
                continue
            time.sleep(pause_s)
            try:
                start = time.perf_counter_ns()
                call()
                elapsed = (time.perf_counter_ns() - start) * 1e-9
            except Exception as error:  # noqa: BLE001 - reported with the system
                outcomes[index] = error
                continue
            if round_number > 0:
                samples[index].append(elapsed)
    return [outcome if isinstance(outcome, Exception) else Timing.of(samples[index])
            for index, outcome in enumerate(outcomes)]


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
        # Small calls on a cache-resident matrix: each system back to back, so
        # that another system's call does not evict its working set.
        timings = [time_latency(call, args.latency_budget) for _, call in calls]
        stream_timings = [time_calls(call, args.runs) for call, _ in readers.values()]
    else:
        everything = time_interleaved([call for _, call in calls] + [call for call, _ in readers.values()], args.runs)
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


def fmt_ratio(ratio: float) -> str:
    return f"{ratio:.2f}x" if ratio < 10 else f"{ratio:.0f}x"


def fmt_time(seconds: float) -> str:
    if seconds is None or not math.isfinite(seconds):
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


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
                timing = time_interleaved([call], args.runs)[0]
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
            reset = _reset_peak_rss()
            before = _proc_status_kib("VmRSS" if reset else "VmHWM")
            velk.top_k_flat_np(query, matrix, spec["dim"], 10)
            after = _proc_status_kib("VmHWM")
            out[label] = {"extra_bytes": max(0, after - before) * 1024, "peak_reset": reset}
            gc.collect()
        print(json.dumps(out))


def _reset_peak_rss() -> bool:
    """Resets VmHWM to the current RSS (Linux clear_refs "5")."""
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def _proc_status_kib(field_name: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field_name + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field_name} not in /proc/self/status")


def run_subprocess(mode: str, args, env_extra: dict, log) -> dict | None:
    env = dict(os.environ, **env_extra)
    command = [sys.executable, str(Path(__file__).resolve()), "--child", mode,
               "--scale", str(args.scale), "--runs", str(args.runs),
               "--latency-budget", str(args.latency_budget), "--scenarios", ",".join(args.scenarios)]
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


# ---------------------------------------------------------------- report

def find(results, scenario, system, k=None):
    for entry in results:
        if entry["scenario"] == scenario and entry["system"] == system and (k is None or entry["k"] == k):
            return entry if "median_s" in entry else None
    return None


def share_of_stream(entry: dict, stream: dict) -> float:
    """How close a call comes to the streaming read of the same matrix (1.0 = as fast).

    Medians, not minimums: this machine's memory bandwidth is shared with its
    neighbours and now and then one read runs far faster than the rest (55
    GB/s once where 34-36 is usual), which would make a best-of ratio a
    lottery. Both medians come from the same interleaved rounds.
    """
    return stream["median_s_per_pass"] / entry["median_s"]


def evaluate_targets(report) -> list[dict]:
    results = report["results"]
    threads = report["threads"]
    targets = []

    def add(name, value, wanted, passed, shown):
        targets.append({"target": name, "wanted": wanted, "value": value,
                        "status": "n/a" if passed is None else ("PASS" if passed else "MISS"), "shown": shown})

    velk = find(results, "a", "velk", 10)
    whole = share_of_stream(velk, velk["stream"][str(threads)]) if velk else None
    # The scan is part of the call, so the whole call's share is a lower bound
    # of the scan's share on this very matrix; the C++ benchmark times the scan
    # alone, but on memory of its own (other page sizes, another moment).
    scan = (report.get("scan") or {}).get("share_of_stream", {}).get(str(threads))
    candidates = [(value, source) for value, source in ((scan, "C++ row scorer"), (whole, "bound by the whole call"))
                  if value is not None]
    scan_value, scan_source = max(candidates) if candidates else (None, None)
    add("(a) k=10 scan share of streaming read", scan_value, ">= 0.90",
        None if scan_value is None else scan_value >= 0.9,
        "—" if scan_value is None else f"{scan_value:.2f} ({scan_source})")
    add("(a) k=10 whole call share of streaming read", whole, ">= 0.80",
        None if whole is None else whole >= 0.8, "—" if whole is None else f"{whole:.2f}")

    def speedup_over(*names):
        peers = [find(results, "a", name, 10) for name in names]
        peers = [p for p in peers if p]
        if not velk or not peers:
            return None
        return min(p["median_s"] for p in peers) / velk["median_s"]

    # The numpy peer with norms per call is the common idiom (np.linalg.norm).
    # The einsum form is shown beside it but is not what the target counts: it
    # reads the matrix twice (einsum on one thread, the product on all), and
    # here one thread already reads at close to the bandwidth of two, so it
    # takes about three streaming reads. Being 3x faster than it would mean
    # finishing the whole call, ranking included, within one streaming read.
    for label, names, want in (
        ("numpy with norms per call", ("numpy (norms per call)",), 3.0),
        ("numpy with norms precomputed", ("numpy (norms precomputed)",), 1.3),
        ("FAISS IndexFlatIP", ("FAISS IndexFlatIP",), 1.0),
        ("USearch exact", ("USearch exact",), 1.0),
    ):
        value = speedup_over(*names)
        add(f"(a) k=10 speed-up over {label}", value, f">= {want:g}x",
            None if value is None else value >= want, "—" if value is None else f"{value:.2f}x")
    value = speedup_over("numpy (einsum norms per call)")
    if value is not None:
        targets.append({"target": "(a) k=10 speed-up over numpy with einsum norms per call", "wanted": "reported",
                        "value": value, "status": "info", "shown": f"{value:.2f}x"})
    latency = find(results, "d", "velk", 10)
    value = latency["median_s"] if latency else None
    add("(d) median latency per call", value, "<= 50 µs",
        None if value is None else value <= 50e-6, "—" if value is None else fmt_time(value))
    flat = find(results, "e", "velk top_k_flat (flat list)")
    asarray = find(results, "e", "numpy.asarray(flat list)")
    value = asarray["median_s"] / flat["median_s"] if flat and asarray else None
    add("(e) top_k_flat vs numpy.asarray alone", value, "> 1x (faster)",
        None if value is None else value > 1.0, "—" if value is None else f"{value:.2f}x")
    return targets


SCENARIO_LABELS = {
    ("a", 10): "(a) 1M x 384, k=10",
    ("a", 1000): "(a) 1M x 384, k=1000",
    ("b", 10): "(b) 3M x 128, k=10",
    ("c", 100): "(c) 100k x 768, k=100",
    ("d", 10): "(d) 1k x 128, k=10 (per call)",
}


def scenario_label(key, k, rows) -> str:
    label = SCENARIO_LABELS.get((key, k), f"({key}) k={k}")
    if key != LATENCY_SCENARIO and rows != MATRIX_SCENARIOS[key]["rows"]:
        label += f" [{rows:,} rows]"
    return label


def matrix_cases(results):
    seen = []
    for entry in results:
        if entry["scenario"] in MATRIX_SCENARIOS and (entry["scenario"], entry["k"], entry["rows"]) not in seen:
            seen.append((entry["scenario"], entry["k"], entry["rows"]))
    return seen


def markdown(report) -> str:
    results = report["results"]
    threads = report["threads"]
    systems = [s for s in SYSTEM_ORDER if any(e["system"] == s for e in results)]
    lines = [
        f"Measured {report['date']} on {report['machine']['cpu']} ({report['machine']['cpus']} CPUs), "
        f"Python {report['machine']['python']}, "
        + ", ".join(f"{name} {version}" for name, version in report["versions"].items())
        + f". Median of {report['runs']} runs after a warm-up (minimum in the JSON); all systems at {threads} threads "
        "unless stated. In brackets: peer median / velk median. Last column: the median streaming read of the same "
        "matrix, and velk's share of it (median read time / median velk time; 1.00 = at the memory limit).",
        "",
        "| scenario | " + " | ".join(systems) + f" | streaming read, {threads} threads |",
        "|---" * (len(systems) + 2) + "|",
    ]
    for key, k, rows in matrix_cases(results):
        cells = []
        velk = find(results, key, "velk", k)
        for system in systems:
            entry = find(results, key, system, k)
            if entry is None:
                cells.append("—")
            elif system == "velk" or velk is None:
                cells.append(fmt_time(entry["median_s"]))
            else:
                cells.append(f"{fmt_time(entry['median_s'])} ({fmt_ratio(entry['median_s'] / velk['median_s'])})")
        any_entry = next(e for e in results if e["scenario"] == key and e["k"] == k and "stream" in e)
        stream = any_entry["stream"][str(threads)]
        share = f", velk at {share_of_stream(velk, stream):.2f}" if velk else ""
        cells.append(f"{stream['gbps_median']:.1f} GB/s (best {stream['gbps_best']:.1f}){share}")
        lines.append(f"| {scenario_label(key, k, rows)} | " + " | ".join(cells) + " |")

    list_entries = [e for e in results if e["scenario"] == "e"]
    if list_entries:
        rows = list_entries[0]["rows"]
        lines += ["", f"(e) From Python lists, {rows:,} x 128, k = 10:", "", "| call | median | min |", "|---|---|---|"]
        for entry in list_entries:
            if "median_s" in entry:
                lines.append(f"| {entry['system']} | {fmt_time(entry['median_s'])} | {fmt_time(entry['min_s'])} |")
            else:
                lines.append(f"| {entry['system']} | failed | — |")

    if report.get("threads_scaling"):
        lines += ["", "(f) velk at 1 thread and at "
                  f"{threads} threads (share of the streaming read at the same thread count, medians):", "",
                  f"| scenario | 1 thread | {threads} threads | speed-up | share, 1 thr | share, {threads} thr |",
                  "|---|---|---|---|---|---|"]
        for one in report["threads_scaling"]:
            many = find(results, one["scenario"], "velk", one["k"])
            if many is None:
                continue
            stream = many["stream"]
            share1 = share_of_stream(one, stream["1"])
            shareN = share_of_stream(many, stream[str(threads)])
            lines.append(
                f"| {scenario_label(one['scenario'], one['k'], one['rows'])} | {fmt_time(one['median_s'])} | "
                f"{fmt_time(many['median_s'])} | {one['median_s'] / many['median_s']:.2f}x | "
                f"{share1:.2f} | {shareN:.2f} |")

    scan = report.get("scan") or {}
    if scan.get("share_of_stream"):
        shares = ", ".join(f"{t} thread{'s' if t != '1' else ''} {share:.2f}"
                           for t, share in sorted(scan["share_of_stream"].items()))
        placed = (f", rows starting {4 * scan['offset_floats']} bytes past a cache line as in the matrices above"
                  if scan.get("offset_floats") else "")
        lines += ["", f"The scan alone (C++ row-scorer benchmark, {scan['kernel']} kernel, "
                  f"{scan['rows']:,} x {scan['dim']}{placed}, no ranking, "
                  f"no Python), as a share of its own streaming read (medians): {shares}."]

    rss = report.get("rss")
    if rss:
        budget = 16 * rss["rows"]
        lines += ["", f"Peak extra RSS of one `top_k_flat_np` call on (a) ({rss['rows']:,} rows; 16 bytes per row = "
                  f"{budget / 2**20:.1f} MiB): first call {rss['first_call']['extra_bytes'] / 2**20:.1f} MiB "
                  f"({rss['first_call']['extra_bytes'] / budget:.2f}x), warm call "
                  f"{rss['warm_call']['extra_bytes'] / 2**20:.1f} MiB ({rss['warm_call']['extra_bytes'] / budget:.2f}x)."]

    lines += ["", "| target | wanted | measured | |", "|---|---|---|---|"]
    for target in report["targets"]:
        lines.append(f"| {target['target']} | {target['wanted']} | {target['shown']} | {target['status']} |")
    return "\n".join(lines) + "\n"


def plot(report, path: Path, log) -> None:
    try:
        import matplotlib  # noqa: PLC0415

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # noqa: PLC0415
    except ImportError:
        log("note: matplotlib is not installed; no plot")
        return
    results = report["results"]
    cases = [(key, k, rows) for key, k, rows in matrix_cases(results)]
    systems = [s for s in SYSTEM_ORDER if any(e["system"] == s and "median_s" in e for e in results)]
    list_systems = [e["system"] for e in results if e["scenario"] == "e" and "median_s" in e]
    figure, axes = plt.subplots(1, 2, figsize=(15, 6), gridspec_kw={"width_ratios": [4, 1]})
    width = 0.8 / max(1, len(systems))
    colours = plt.get_cmap("tab10")
    for index, system in enumerate(systems):
        xs, ys = [], []
        for position, (key, k, _) in enumerate(cases):
            entry = find(results, key, system, k)
            if entry:
                xs.append(position + (index - (len(systems) - 1) / 2) * width)
                ys.append(entry["median_s"] * 1e3)
        axes[0].bar(xs, ys, width, label=system, color=colours(index))
    # The streaming read of the same bytes: no scan of the matrix can be faster.
    for position, (key, k, _) in enumerate(cases):
        entry = next((e for e in results if e["scenario"] == key and e["k"] == k and "stream" in e), None)
        if entry:
            limit = entry["stream"][str(report["threads"])]["median_s_per_pass"] * 1e3
            axes[0].hlines(limit, position - 0.45, position + 0.45, colors="black", linestyles="dashed",
                           label="streaming read of the matrix" if position == 0 else None)
    axes[0].set_xticks(range(len(cases)))
    axes[0].set_xticklabels([scenario_label(*case).replace(", ", "\n", 1) for case in cases], fontsize=8)
    axes[0].set_yscale("log")
    axes[0].set_ylabel("median time per call (ms, log scale)")
    axes[0].set_title(f"One query, exact cosine top-k, {report['threads']} threads")
    axes[0].legend(fontsize=8)
    axes[0].grid(axis="y", which="both", alpha=0.3)
    for index, system in enumerate(list_systems):
        entry = find(results, "e", system)
        colour = colours(0) if system.startswith("velk") else "0.6"
        axes[1].bar([index], [entry["median_s"] * 1e3], 0.7, color=colour, hatch="//" if "lists" in system else None)
    axes[1].set_xticks(range(len(list_systems)))
    axes[1].set_xticklabels([s.replace(" (", "\n(") for s in list_systems], fontsize=7, rotation=30, ha="right")
    axes[1].set_yscale("log")
    if list_systems:
        # Bars on a log axis read as ratios only from a common floor well below them.
        lowest = min(find(results, "e", system)["median_s"] for system in list_systems) * 1e3
        axes[1].set_ylim(bottom=lowest / 10)
    axes[1].set_ylabel("median time per call (ms, log scale)")
    axes[1].set_title("(e) from Python lists")
    axes[1].grid(axis="y", which="both", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def update_docs(table: str, log, docs: Path = ROOT / "docs" / "benchmarks.md") -> None:
    """Copies the tables into docs/benchmarks.md between its two markers."""
    begin, end = "<!-- results:begin -->", "<!-- results:end -->"
    try:
        text = docs.read_text()
    except OSError:
        return
    if begin not in text or end not in text:
        log(f"note: {docs} has no result markers; not updated")
        return
    head, rest = text.split(begin, 1)
    tail = rest.split(end, 1)[1]
    docs.write_text(f"{head}{begin}\n{table}{end}{tail}")


def machine_info(threads: int) -> dict:
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    flags = _cpu_flags()
    return {
        "cpu": cpu,
        "cpus": threads,
        "avx2": "avx2" in flags,
        "avx512f": "avx512f" in flags,
        "python": platform.python_version(),
        "kernel": platform.release(),
    }


def blas_info() -> list[dict]:
    try:
        from threadpoolctl import threadpool_info  # noqa: PLC0415

        return [{k: v for k, v in info.items() if k in ("internal_api", "prefix", "version", "architecture", "num_threads")}
                for info in threadpool_info()]
    except ImportError:
        return []


# ---------------------------------------------------------------- main

def wait_for_quiet(limit_s: float, log) -> None:
    """Waits (at most limit_s) until the 1-minute load average is below 1."""
    deadline = time.monotonic() + limit_s
    if limit_s > 0 and os.getloadavg()[0] >= 1.0:
        log(f"waiting up to {limit_s:.0f} s for the machine to be quiet (load {os.getloadavg()[0]:.1f})")
    while time.monotonic() < deadline and os.getloadavg()[0] >= 1.0:
        time.sleep(min(10.0, max(0.0, deadline - time.monotonic())))


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
