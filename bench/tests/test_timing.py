"""Checks of how the harness times: the C ceilings (streaming read, multiply/add
peak), the interleaved rounds and the per-round ratios. Nothing here is timed.

Run with the benchmark's environment: bench/.venv/bin/python -m pytest bench/tests
"""

import shutil
import subprocess
import time

import numpy as np
import pytest

import probes
import timing


@pytest.fixture(scope="module")
def stream(tmp_path_factory):
    return probes.StreamReader(tmp_path_factory.mktemp("stream"))


@pytest.mark.parametrize("count", [0, 1, 63, 64 * 16 + 5, 100_003])
@pytest.mark.parametrize("threads", [1, 2, 3, 7])
@pytest.mark.parametrize("passes", [1, 2])
def test_stream_read_touches_every_float_once_per_pass(stream, count, threads, passes):
    # Small integers sum exactly in float32, so any skipped or doubled element shows.
    data = (np.arange(count) % 7 + 1).astype(np.float32)
    got = stream.lib.stream_read(data.ctypes.data, count, threads, passes)
    assert got == float(data.sum(dtype=np.float64)) * passes


def test_stream_read_accepts_an_unaligned_start(stream):
    data = np.ones(10_001, dtype=np.float32)
    address = data.ctypes.data + 4
    assert stream.lib.stream_read(address, 10_000, 2, 1) == 10_000.0


@pytest.mark.parametrize("threads", [1, 2])
def test_stream_read_of_two_byte_elements_reads_their_bytes_once(stream, threads):
    # float16 elements whose bytes, read as float32 words, are small integers:
    # the read must cover exactly the matrix's bytes, not twice its element count.
    words = (np.arange(64 * 384 // 2 + 1) % 7 + 1).astype(np.float32)
    matrix = words[:-1].view(np.float16).reshape(64, 384)
    words[-1] = 1e30  # just past the matrix: a read of it shows
    call, passes = stream.reader(matrix, threads)
    # Many passes of a small matrix round the float total; a stray word would not be close.
    assert call() == pytest.approx(float(words[:-1].sum(dtype=np.float64)) * passes, rel=1e-3)
    with pytest.raises(ValueError):
        stream.reader(matrix[:, ::2], threads)


def test_stream_measure_reports_consistent_bandwidth(stream):
    matrix = np.ones((1000, 128), dtype=np.float32)
    result = stream.measure(matrix, 2, runs=5)
    assert result["min_s_per_pass"] <= result["median_s_per_pass"]
    assert result["gbps_best"] >= result["gbps_median"] > 0


def test_peak_rss_reset_sees_a_new_allocation():
    if not timing.reset_peak_rss():
        pytest.skip("clear_refs is not writable here")
    before = timing.proc_status_kib("VmRSS")
    block = np.ones(64 << 18, dtype=np.float32)  # 64 MiB, every page touched
    after = timing.proc_status_kib("VmHWM")
    del block
    assert after - before >= 60 << 10


@pytest.mark.parametrize("latency", [False, True])
def test_timings_count_every_call(latency):
    calls = []
    call = lambda: calls.append(1)  # noqa: E731
    measured = timing.time_latency(call, budget_s=0.0, min_calls=300) if latency else timing.time_calls(call, 6, warmup=2)
    timed = 300 if latency else 6
    assert measured.runs == timed and len(measured.samples) == timed
    assert len(calls) == timed + (40 if latency else 2)  # the untimed warm-up calls come first
    assert 0 <= measured.min_s <= measured.median_s
    kept = measured.as_dict()
    assert ("p90_s" in kept) == latency and ("samples_s" in kept) != latency


def failing_call(order):
    """A call that notes "f" in `order`, then raises."""

    def failing():
        order.append("f")
        raise ValueError("no")

    return failing


def test_interleaved_rounds_keep_each_call_apart():
    order = []
    calls = [lambda: order.append("a"), failing_call(order), lambda: order.append("b")]
    timings = timing.time_interleaved(calls, runs=5, pause_s=0.0)
    # One warm-up round and five timed rounds, turn by turn; the failing call
    # is tried once and then left out.
    assert order == ["a", "f", "b"] + ["a", "b"] * 5
    assert isinstance(timings[1], ValueError)
    assert timings[0].runs == timings[2].runs == 5


def test_latency_bursts_take_turns_round_by_round():
    order = []
    calls = [lambda: order.append("a"), failing_call(order), lambda: order.append("b")]
    timings = timing.time_latency_interleaved(calls, rounds=4, budget_s=0.0, pause_s=0.0, order_seed=3)
    # Bursts of 240 calls (40 untimed, then the minimum of 200), one per
    # working call in every round; the failing call is tried once.
    assert order.count("f") == 1
    working = [name for name in order if name != "f"]
    assert len(working) == 8 * 240
    bursts = [set(working[i:i + 240]) for i in range(0, len(working), 240)]
    assert all(len(burst) == 1 for burst in bursts)
    assert all(bursts[2 * r] | bursts[2 * r + 1] == {"a", "b"} for r in range(4))
    assert isinstance(timings[1], ValueError)
    assert timings[0].runs == timings[2].runs == 4  # one median per round
    assert "samples_s" in timings[0].as_dict()


@pytest.mark.parametrize("shuffled", [False, True])
def test_every_round_runs_every_call_once(shuffled):
    order = []
    calls = [lambda name=name: order.append(name) for name in "abcd"]
    timings = timing.time_interleaved(calls, runs=6, pause_s=0.0, order_seed=3 if shuffled else None)
    rounds = [order[i:i + 4] for i in range(0, len(order), 4)]
    assert len(rounds) == 7 and all(sorted(r) == list("abcd") for r in rounds)
    assert (len({tuple(r) for r in rounds}) > 1) == shuffled
    assert all(t.runs == 6 for t in timings)
    if shuffled:
        again = []
        timing.time_interleaved([lambda name=name: again.append(name) for name in "abcd"], runs=6, pause_s=0.0,
                                order_seed=3)
        assert again == order  # reproducible


def test_a_slow_call_leaves_the_rounds_after_its_warm_up():
    counts = {"fast": 0, "slow": 0}

    def slow():
        counts["slow"] += 1
        time.sleep(0.02)

    fast, slowed = timing.time_interleaved([lambda: counts.__setitem__("fast", counts["fast"] + 1), slow], runs=5,
                                           pause_s=0.0, slow_s=0.01)
    assert counts == {"fast": 6, "slow": 1}
    assert slowed.single_call and slowed.runs == 1 and slowed.as_dict()["single_call"]
    assert not fast.single_call and fast.runs == 5


def test_without_a_warm_up_round_every_call_is_timed():
    calls = []
    (result,) = timing.time_interleaved([lambda: calls.append(1)], runs=5, pause_s=0.0, warmup_round=False)
    assert len(calls) == 5 and result.runs == 5


def test_ratios_are_taken_round_by_round():
    # Medians of each side would give 2 / 2 = 1; round by round it is 2 each time.
    assert timing.median_of_ratios([2, 4, 6, 8, 10], [1, 2, 3, 4, 5]) == 2
    # The fastest peer of each round: [2, 1, 0.5] over [1, 1, 1].
    assert timing.median_fastest_ratio([[2, 1, 3], [3, 3, 0.5]], [1, 1, 1]) == 1
    with pytest.raises(ValueError):
        timing.median_of_ratios([1, 2], [1])
    with pytest.raises(ValueError):
        timing.median_fastest_ratio([[1, 2], [1]], [1, 1])


@pytest.fixture(scope="module")
def peak(tmp_path_factory):
    return probes.PeakProbe(tmp_path_factory.mktemp("peak"))


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("steps", [0, 1, 1000])
def test_peak_probe_runs_every_chain_every_step(peak, threads, steps):
    # Chain i adds (i + 1) * 1.0 per step in every lane: small integers, exact in float32.
    chains = peak.chains
    expected = threads * peak.lanes * steps * chains * (chains + 1) // 2
    assert peak.lib.mul_add_peak(threads, steps, 1.0) == expected
    assert peak.pairs_per_step(threads) == threads * chains * peak.lanes


def test_peak_probe_keeps_multiplies_and_adds_apart(peak):
    if shutil.which("objdump") is None:
        pytest.skip("no objdump")
    code = subprocess.run(["objdump", "-d", str(peak.library)], capture_output=True, text=True, check=True).stdout
    assert "vfmadd" not in code and "vmulps" in code and "vaddps" in code


def test_peak_probe_measures_each_thread_count(peak):
    measured = peak.measure([1, 2], runs=5, target_s=0.002)
    assert set(measured["by_threads"]) == {"1", "2"}
    for result in measured["by_threads"].values():
        assert result["gpairs_best"] >= result["gpairs_median"] > 0 and result["runs"] == 5
