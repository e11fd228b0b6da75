"""How the benchmark times calls: medians of timed runs, interleaved rounds
in shuffled order, back-to-back latency, and medians of per-round ratios.

Also the process-level helpers the timing depends on: BLAS thread limits,
waiting for a quiet machine, and the peak-RSS counters of /proc.
"""

from __future__ import annotations

import gc
import math
import os
import random
import statistics
import time
from dataclasses import dataclass, field
from pathlib import Path


# ---------------------------------------------------------------- timing

@dataclass
class Timing:
    median_s: float
    min_s: float
    runs: int
    samples: list[float] = field(default_factory=list)
    # A call too slow for the rounds: timed once, cold, and left out of them.
    single_call: bool = False

    @classmethod
    def of(cls, samples: list[float], single_call: bool = False) -> "Timing":
        return cls(statistics.median(samples), min(samples), len(samples), samples, single_call)

    def as_dict(self) -> dict:
        result = {"median_s": self.median_s, "min_s": self.min_s, "runs": self.runs}
        if self.single_call:
            result["single_call"] = True
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


def turns(outcomes: list, first_round: int, last_round: int, pause_s: float, order_seed: int | None):
    """(round, index) for rounds first_round to last_round, every index of
    `outcomes` once a round (in a new order every round, shuffled
    reproducibly with `order_seed`), after a pause of `pause_s`; an index
    whose outcome is set by then (its call raised, or was too slow) is
    skipped."""
    shuffler = random.Random(order_seed) if order_seed is not None else None
    for round_number in range(first_round, last_round + 1):
        order = list(range(len(outcomes)))
        if shuffler is not None:
            shuffler.shuffle(order)
        for index in order:
            if outcomes[index] is None:
                time.sleep(pause_s)
                yield round_number, index


def time_interleaved(calls: list, runs: int, pause_s: float = INTERLEAVE_PAUSE_S,
                     order_seed: int | None = None, slow_s: float | None = None,
                     warmup_round: bool = True) -> list[Timing | Exception]:
    """Times every call `runs` times, one round over all calls at a time.

    A change in the machine's load during the scenario then touches every
    system alike instead of whichever one was being timed, and the samples of
    one round can be compared call by call (see median_of_ratios). One
    untimed round warms up first, unless `warmup_round` is false. With `order_seed`, every round takes the
    calls in a new order, shuffled reproducibly, so that no call always
    follows the same neighbour. A call that raises keeps its exception and
    leaves the rounds. With `slow_s`, a call whose warm-up took longer than
    that leaves the rounds too, and that one cold call is its timing.
    """
    outcomes: list = [None] * len(calls)
    samples: list[list[float]] = [[] for _ in calls]
    for round_number, index in turns(outcomes, 0 if warmup_round else 1, runs, pause_s, order_seed):
        try:
            start = time.perf_counter_ns()
            calls[index]()
            elapsed = (time.perf_counter_ns() - start) * 1e-9
        except Exception as error:  # noqa: BLE001 - reported with the system
            outcomes[index] = error
            continue
        if round_number > 0:
            samples[index].append(elapsed)
        elif slow_s is not None and elapsed > slow_s:
            outcomes[index] = Timing.of([elapsed], single_call=True)
    return [outcome if outcome is not None else Timing.of(samples[index])
            for index, outcome in enumerate(outcomes)]


def time_latency_interleaved(calls: list, rounds: int, budget_s: float, pause_s: float = INTERLEAVE_PAUSE_S,
                             order_seed: int | None = None) -> list[Timing | Exception]:
    """time_latency() for several systems in interleaved rounds.

    Each round gives every call, in a new order (shuffled reproducibly with
    `order_seed`) and after `pause_s`, a burst of back-to-back calls of
    budget_s / rounds seconds; a call's Timing then holds the median of each
    of its bursts, one sample per round, so that two systems can be compared
    round by round (median_of_ratios). Within a burst the matrix stays in the
    caches as before; across the rounds a change in the machine's state (on
    a shared host, the second processor going missing for seconds) touches
    every system alike instead of whichever one ran at the time. A call that
    raises keeps its exception and leaves the rounds.
    """
    outcomes: list = [None] * len(calls)
    samples: list[list[float]] = [[] for _ in calls]
    for _, index in turns(outcomes, 1, rounds, pause_s, order_seed):
        try:
            samples[index].append(time_latency(calls[index], budget_s / rounds).median_s)
        except Exception as error:  # noqa: BLE001 - reported with the system
            outcomes[index] = error
    return [outcome if outcome is not None else Timing.of(samples[index])
            for index, outcome in enumerate(outcomes)]


def median_of_ratios(numerators: list[float], denominators: list[float]) -> float:
    """The median over rounds of numerator / denominator, round by round.

    Both lists hold one sample per round of the same interleaved run. A
    ratio within a round cancels what the round shared (the machine's load,
    its memory speed at that moment), which a ratio of medians does not.
    """
    if len(numerators) != len(denominators) or not numerators:
        raise ValueError(f"need paired rounds, got {len(numerators)} and {len(denominators)} samples")
    return statistics.median(n / d for n, d in zip(numerators, denominators))


def median_fastest_ratio(peers: list[list[float]], denominators: list[float]) -> float:
    """The median over rounds of (the fastest peer of that round) / denominator."""
    if not peers:
        raise ValueError("no peers")
    fastest = [min(round_samples) for round_samples in zip(*peers, strict=True)]
    return median_of_ratios(fastest, denominators)


def fmt_time(seconds: float) -> str:
    if seconds is None or not math.isfinite(seconds):
        return "—"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


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


def peak_rss_growth(call) -> dict:
    """How far one call raises the process's peak resident memory, in bytes.

    The peak (VmHWM) is reset to the current RSS first where the kernel
    allows it; otherwise the growth is counted from the old peak, which can
    only under-count.
    """
    gc.collect()
    reset = reset_peak_rss()
    before = proc_status_kib("VmRSS" if reset else "VmHWM")
    call()
    after = proc_status_kib("VmHWM")
    gc.collect()
    return {"extra_bytes": max(0, after - before) * 1024, "peak_reset": reset}


def proc_status_kib(field_name: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field_name + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field_name} not in /proc/self/status")
