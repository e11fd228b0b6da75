"""Ceilings measured by small C kernels of our own, built with the system cc
at run time: the streaming read of a matrix's memory, which no scan of it can
beat, and the multiply/add peak without FMA, which no batch of queries can beat.
"""

from __future__ import annotations

import ctypes
import hashlib
import math
import os
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

from timing import Timing, cpu_flags, time_calls

HERE = Path(__file__).resolve().parent


def build_library(source: Path, cache_dir: Path) -> Path:
    """Builds `source` into a shared library in `cache_dir`, once per content.

    The widest vector instructions this processor has are enabled; FMA
    contraction is off, so a multiply and an add stay two instructions.
    """
    digest = hashlib.sha256(source.read_bytes()).hexdigest()[:12]
    library = cache_dir / f"{source.stem}_{digest}.so"
    if not library.exists():
        cache_dir.mkdir(parents=True, exist_ok=True)
        flags = ["-O2", "-shared", "-fPIC", "-pthread", "-ffp-contract=off"]
        cpu = cpu_flags()
        if "avx512f" in cpu:
            flags.append("-mavx512f")
        elif "avx2" in cpu:
            flags.append("-mavx2")
        tmp = library.with_suffix(f".{os.getpid()}.tmp")
        subprocess.run(["cc", *flags, "-o", str(tmp), str(source)], check=True)
        tmp.replace(library)
    return library


class StreamReader:
    """The streaming-read ceiling, from a tiny C kernel built with the system cc."""

    def __init__(self, cache_dir: Path):
        self.lib = ctypes.CDLL(str(build_library(HERE / "stream_read.c", cache_dir)))
        self.lib.stream_read.restype = ctypes.c_float
        self.lib.stream_read.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int]

    def reader(self, matrix: np.ndarray, threads: int):
        """(call, passes): a call that reads the matrix's memory `passes` times
        (more than once when it is small, so the call is long enough to time).

        The kernel reads 4-byte words whatever the matrix holds, so a float16
        matrix is read as half as many words as it has elements: the same
        bytes a scan of it reads. Up to 3 trailing bytes are left out."""
        if not matrix.flags.c_contiguous:
            raise ValueError("the streaming read needs a C-contiguous matrix")
        count = matrix.nbytes // 4
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
            # One per round, in the rounds of the calls it is compared with.
            "samples_s_per_pass": [sample / passes for sample in timing.samples],
        }


class PeakProbe:
    """The multiply/add peak without FMA (bench/mul_add_peak.c): separate
    multiplies and adds on twelve independent register chains per thread."""

    def __init__(self, cache_dir: Path):
        self.library = build_library(HERE / "mul_add_peak.c", cache_dir)
        self.lib = ctypes.CDLL(str(self.library))
        self.lib.mul_add_peak.restype = ctypes.c_float
        self.lib.mul_add_peak.argtypes = [ctypes.c_int, ctypes.c_long, ctypes.c_float]
        self.lanes = self.lib.mul_add_lanes()
        self.chains = self.lib.mul_add_chains()

    def pairs_per_step(self, threads: int) -> int:
        """Multiply/add pairs of single floats in one step of every chain."""
        return threads * self.chains * self.lanes

    def scaling(self, threads: int, calls: int = 5, steps: int = 1 << 20) -> float:
        """How many cores' worth of multiplies and adds `threads` threads get
        now: the median over `calls` of their rate over one thread's (each
        call a few milliseconds). On a shared virtual machine it drops below
        the thread count while the host gives the virtual processors less
        than a core each (on this 2-CPU machine, for minutes at a time, to
        1.0-1.2)."""
        ratios = []
        for _ in range(calls):
            start = time.perf_counter()
            self.lib.mul_add_peak(1, steps, 1.0)
            one = time.perf_counter() - start
            start = time.perf_counter()
            self.lib.mul_add_peak(threads, steps, 1.0)
            ratios.append(threads * one / (time.perf_counter() - start))
        return statistics.median(ratios)

    def measure(self, threads_list, runs: int, target_s: float = 0.2) -> dict:
        """G pairs/s at each thread count: the best of `runs` calls of about
        `target_s` each. The best, not the median: a peak that noise holds
        down would flatter every share of it."""
        steps = 1 << 16
        while True:  # grow the call until it lasts long enough to time
            start = time.perf_counter()
            self.lib.mul_add_peak(1, steps, 1.0)
            elapsed = time.perf_counter() - start
            if elapsed >= target_s / 4 or steps >= 1 << 34:
                break
            steps *= 2
        steps = max(1, int(steps * target_s / max(elapsed, 1e-6)))
        result = {"lanes": self.lanes, "chains": self.chains, "steps": steps, "by_threads": {}}
        for threads in threads_list:
            timing = time_calls(lambda threads=threads: self.lib.mul_add_peak(threads, steps, 1.0), runs)
            pairs = steps * self.pairs_per_step(threads)
            result["by_threads"][str(threads)] = {
                "gpairs_best": pairs / timing.min_s / 1e9,
                "gpairs_median": pairs / timing.median_s / 1e9,
                **timing.as_dict(),
            }
        return result
