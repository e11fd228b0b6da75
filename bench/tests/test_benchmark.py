"""Checks of the benchmark harness itself: that it reads memory, ranks, decodes
each peer's answer and judges the targets correctly. Nothing here is timed.

Run with the benchmark's environment: bench/.venv/bin/python -m pytest bench/tests
"""

import json
import stat
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import benchmark  # noqa: E402
import report  # noqa: E402
import scenarios  # noqa: E402
import systems  # noqa: E402
import timing  # noqa: E402


@pytest.fixture(scope="module")
def stream(tmp_path_factory):
    return timing.StreamReader(tmp_path_factory.mktemp("stream"))


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


def test_stream_measure_reports_consistent_bandwidth(stream):
    matrix = np.ones((1000, 128), dtype=np.float32)
    result = stream.measure(matrix, 2, runs=5)
    assert result["min_s_per_pass"] <= result["median_s_per_pass"]
    assert result["gbps_best"] >= result["gbps_median"] > 0


@pytest.mark.parametrize("n, k", [(50, 1), (50, 10), (50, 50), (50, 80), (1, 1)])
def test_top_of_matches_a_full_sort(n, k):
    scores = np.random.default_rng(n * 100 + k).permutation(n).astype(np.float32)
    rows, values = systems.top_of(scores, k)
    expected = np.argsort(-scores, kind="stable")[: min(k, n)]
    assert rows.tolist() == expected.tolist()
    assert values.tolist() == scores[expected].tolist()


def test_overlap_and_score_error():
    reference_rows = np.array([4, 2, 9, 1])
    reference_scores = np.array([0.9, 0.8, 0.7, 0.6])
    assert systems.overlap(np.array([2, 4, 1, 9]), reference_rows) == 1.0
    assert systems.overlap(np.array([4, 2, 9, 5]), reference_rows) == 0.75
    assert systems.overlap(np.array([], dtype=np.int64), np.array([], dtype=np.int64)) == 1.0
    error = systems.max_score_error(np.array([4, 5]), np.array([0.85, 0.1]), reference_rows, reference_scores)
    assert error == pytest.approx(0.05)


def _available_systems():
    found, _, _ = systems.import_systems(lambda text: None, smoke_test=False)
    return {system.name: system for system in found}


@pytest.mark.parametrize("name", systems.SYSTEM_ORDER)
def test_each_system_returns_the_cosine_top_k(name):
    available = _available_systems()
    if name not in available:
        pytest.skip(f"{name} is not installed")
    system = available[name]
    matrix, query = scenarios.make_matrix(600, 32, salt=1)
    # Unequal norms, so a peer that ranks by inner product instead of cosine fails.
    matrix *= np.linspace(0.1, 10.0, 600, dtype=np.float32)[:, None]
    k = 7
    unit_rows = matrix / np.linalg.norm(matrix.astype(np.float64), axis=1)[:, None]
    exact = unit_rows @ (query.astype(np.float64) / np.linalg.norm(query.astype(np.float64)))
    expected = np.argsort(-exact)[:k]
    system.prepare(matrix, threads=2)
    rows, scores = system.decode(system.search(query, k))
    system.release()
    assert rows.tolist() == expected.tolist()
    np.testing.assert_allclose(scores, exact[expected], atol=1e-5)


def test_matrices_are_reproducible_and_float32():
    first, query = scenarios.make_matrix(100, 16, salt=3)
    second, _ = scenarios.make_matrix(100, 16, salt=3)
    other, _ = scenarios.make_matrix(100, 16, salt=4)
    assert first.dtype == np.float32 and query.dtype == np.float32 and first.flags.c_contiguous
    assert np.array_equal(first, second)
    assert not np.array_equal(first, other)
    assert -1.0 <= first.min() and first.max() < 1.0


def test_peak_rss_reset_sees_a_new_allocation():
    if not timing.reset_peak_rss():
        pytest.skip("clear_refs is not writable here")
    before = timing.proc_status_kib("VmRSS")
    block = np.ones(64 << 18, dtype=np.float32)  # 64 MiB, every page touched
    after = timing.proc_status_kib("VmHWM")
    del block
    assert after - before >= 60 << 10


def _entry(scenario, system, k, median, stream_s=None, rows=1000):
    entry = {"scenario": scenario, "system": system, "k": k, "rows": rows, "dim": 384,
             "median_s": median, "min_s": median, "runs": 5}
    if stream_s is not None:
        # The best read is far faster than the median: shares must use the median.
        entry["stream"] = {str(t): {"min_s_per_pass": stream_s / 2, "median_s_per_pass": stream_s,
                                    "gbps_best": 30.0, "gbps_median": 30.0} for t in (1, 2)}
    return entry


def _report(results, scan=None):
    run = {"threads": 2, "results": results, "runs": 5, "date": "today",
              "machine": {"cpu": "cpu", "cpus": 2, "python": "3.13"}, "versions": {"numpy": "2"}}
    if scan is not None:
        run["scan"] = {"share_of_stream": {"2": scan}}
    return run


def _statuses(run):
    return {target["target"]: target["status"] for target in report.evaluate_targets(run)}


def test_targets_pass_and_miss_on_the_right_side():
    results = [
        _entry("a", "velk", 10, 0.050, stream_s=0.045),
        _entry("a", "numpy (norms per call)", 10, 0.160, stream_s=0.045),  # 3.2x: the idiom is the peer
        _entry("a", "numpy (einsum norms per call)", 10, 0.140, stream_s=0.045),  # 2.8x, only reported
        _entry("a", "numpy (norms precomputed)", 10, 0.070, stream_s=0.045),
        _entry("a", "FAISS IndexFlatIP", 10, 0.049, stream_s=0.045),
        _entry("a", "USearch exact", 10, 0.050, stream_s=0.045),
        _entry("d", "velk", 10, 49e-6),
        _entry("e", "velk top_k_flat (flat list)", 10, 0.5),
        _entry("e", "numpy.asarray(flat list)", 10, 0.4),
    ]
    statuses = _statuses(_report(results, scan=0.95))
    assert statuses == {
        "(a) k=10 scan share of streaming read": "PASS",
        "(a) k=10 whole call share of streaming read": "PASS",  # 0.045 / 0.050 = 0.9
        "(a) k=10 speed-up over numpy with norms per call": "PASS",
        "(a) k=10 speed-up over numpy with norms precomputed": "PASS",  # 1.4x
        "(a) k=10 speed-up over FAISS IndexFlatIP": "MISS",  # 0.98x
        "(a) k=10 speed-up over USearch exact": "PASS",  # equal counts as at least as fast
        "(d) median latency per call": "PASS",
        "(e) top_k_flat vs numpy.asarray alone": "MISS",
        "(a) k=10 speed-up over numpy with einsum norms per call": "info",
    }


def test_targets_without_velk_are_not_judged():
    results = [_entry("a", "FAISS IndexFlatIP", 10, 0.1, stream_s=0.045)]
    assert set(_statuses(_report(results)).values()) == {"n/a"}


def test_markdown_and_plot_survive_missing_and_failed_systems(tmp_path):
    results = [
        _entry("a", "velk", 10, 0.05, stream_s=0.045, rows=1_000_000),
        _entry("a", "FAISS IndexFlatIP", 10, 0.1, stream_s=0.045, rows=1_000_000),
        {**_entry("a", "USearch exact", 10, 0.0, stream_s=0.045, rows=1_000_000), "error": "boom"},
        _entry("d", "FAISS IndexFlatIP", 10, 15e-6, stream_s=1e-5),
        {"scenario": "e", "system": "numpy.asarray(flat list)", "k": 10, "rows": 100_000, "median_s": 0.3, "min_s": 0.3},
        {"scenario": "e", "system": "velk top_k_flat (flat list)", "k": 10, "rows": 100_000, "error": "missing"},
    ]
    del results[2]["median_s"]
    run = _report(results)
    run["targets"] = report.evaluate_targets(run)
    table = report.markdown(run)
    assert "| (a) 1M x 384, k=10 | 50.0 ms | 100.0 ms (2.00x) | — |" in table
    assert "30.0 GB/s (best 30.0), velk at 0.90" in table
    assert "| velk top_k_flat (flat list) | failed | — |" in table
    report.plot(run, tmp_path / "plot.png", lambda text: None)
    assert (tmp_path / "plot.png").stat().st_size > 0
    json.dumps(run)  # everything in the report must serialise


@pytest.mark.parametrize("kernels, picked, offset", [
    (("scalar", "avx2", "avx512"), "avx512", 0),
    (("scalar", "avx2"), "avx2", 4),
    (("scalar",), "scalar", 0),
])
def test_scan_binary_output_is_parsed(tmp_path, kernels, picked, offset):
    lines = ["rows 1000000, dim 384, 1.54 GB, median of 7",
             "  stream sum   1 thread     80.00 ms (best  79.00)   19.2 GB/s  1.00 of stream",
             "  stream sum   2 threads    43.00 ms (best  42.00)   35.7 GB/s  1.00 of stream"]
    for number, kernel in enumerate(kernels):
        lines.append(f"  {kernel:<12} 1 thread  {90 + number:8.2f} ms (best  88.00)   17.0 GB/s  0.{number + 5}1 of stream")
        lines.append(f"  {kernel:<12} 2 threads {50 + number:8.2f} ms (best  48.00)   30.0 GB/s  0.{number + 5}2 of stream")
    script = tmp_path / "row_scorer_bench"
    # The script also checks that it was asked for the scenario's matrix, as
    # far past a cache line as the benchmark's own.
    wanted = "--rows 1000 --dim 384" + (f" --offset {offset}" if offset else "")
    script.write_text(f"#!/bin/sh\n[ \"$*\" = '{wanted}' ] || exit 2\ncat <<'EOF'\n"
                      + "\n".join(lines) + "\nEOF\n")
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    scan = scenarios.run_scan_binary(str(script), 1000, 384, lambda text: None, offset)
    number = kernels.index(picked)
    assert scan["kernel"] == picked
    assert scan["share_of_stream"] == {"1": float(f"0.{number + 5}1"), "2": float(f"0.{number + 5}2")}
    assert set(scan["share_of_stream_by_kernel"]) == set(kernels)


def test_docs_table_is_replaced_between_the_markers(tmp_path):
    docs = tmp_path / "benchmarks.md"
    docs.write_text("intro\n<!-- results:begin -->\nold\n<!-- results:end -->\noutro\n")
    report.update_docs("| new |\n", lambda text: None, docs)
    report.update_docs("| newer |\n", lambda text: None, docs)
    assert docs.read_text() == "intro\n<!-- results:begin -->\n| newer |\n<!-- results:end -->\noutro\n"


@pytest.mark.parametrize("given, kept", [("3", 5), ("5", 5), ("9", 9)])
def test_arguments_keep_at_least_five_runs(given, kept):
    args = benchmark.parse_args(["--scenarios", "a, d", "--runs", given])
    assert args.scenarios == ["a", "d"]
    assert args.runs == kept


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


def test_a_crashing_module_is_caught_by_the_smoke_test(monkeypatch):
    messages = []
    monkeypatch.setattr(systems, "VELK_SMOKE_TEST", "import os; os.abort()")
    assert not systems.velk_survives_a_smoke_test(messages.append)
    assert "velk is skipped" in messages[0]
    monkeypatch.setattr(systems, "VELK_SMOKE_TEST", "pass")
    assert systems.velk_survives_a_smoke_test(messages.append)


def test_interleaved_rounds_keep_each_call_apart():
    order = []

    def failing():
        order.append("f")
        raise ValueError("no")

    calls = [lambda: order.append("a"), failing, lambda: order.append("b")]
    timings = timing.time_interleaved(calls, runs=5, pause_s=0.0)
    # One warm-up round and five timed rounds, turn by turn; the failing call
    # is tried once and then left out.
    assert order == ["a", "f", "b"] + ["a", "b"] * 5
    assert isinstance(timings[1], ValueError)
    assert timings[0].runs == timings[2].runs == 5


@pytest.mark.parametrize("scan, velk_s, shown, status", [
    (0.95, 0.060, "0.95 (C++ row scorer)", "PASS"),
    (0.70, 0.046, "0.98 (bound by the whole call)", "PASS"),
    (0.70, 0.060, "0.75 (bound by the whole call)", "MISS"),
    (None, 0.090, "0.50 (bound by the whole call)", "MISS"),
])
def test_the_scan_share_is_at_least_the_whole_calls(scan, velk_s, shown, status):
    run = _report([_entry("a", "velk", 10, velk_s, stream_s=0.045)], scan=scan)
    target = report.evaluate_targets(run)[0]
    assert (target["shown"], target["status"]) == (shown, status)
