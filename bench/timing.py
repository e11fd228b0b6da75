"""How the benchmark times calls: medians of timed runs, interleaved rounds,
back-to-back latency, and the streaming-read ceiling of a matrix.

Also the process-level helpers the timing depends on: BLAS thread limits,
waiting for a quiet machine, and the peak-RSS counters of /proc.
"""

from __future__ import annotations

import ctypes
import hashlib
import math
import os
import statistics
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent


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


def fmt_time(seconds: float) -> str:
    if seconds is None or not math.isfinite(seconds):
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


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
            cpu = cpu_flags()
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


# ---------------------------------------------------------------- process

def cpu_flags() -> set[str]:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def blas_threads(threads: int):
    """Limits numpy's BLAS (and OpenMP) to `threads`, if threadpoolctl is there."""
    try:
        from threadpoolctl import threadpool_limits  # noqa: PLC0415

        return threadpool_limits(limits=threads)
    except ImportError:
        import contextlib  # noqa: PLC0415

        return contextlib.nullcontext()


def wait_for_quiet(limit_s: float, log) -> None:
    """Waits (at most limit_s) until the 1-minute load average is below 1."""
    deadline = time.monotonic() + limit_s
    if limit_s > 0 and os.getloadavg()[0] >= 1.0:
        log(f"waiting up to {limit_s:.0f} s for the machine to be quiet (load {os.getloadavg()[0]:.1f})")
    while time.monotonic() < deadline and os.getloadavg()[0] >= 1.0:
        time.sleep(min(10.0, max(0.0, deadline - time.monotonic())))


def reset_peak_rss() -> bool:
    """Resets VmHWM to the current RSS (Linux clear_refs "5")."""
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def proc_status_kib(field_name: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field_name + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field_name} not in /proc/self/status")
