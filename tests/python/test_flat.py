"""top_k_flat and top_k_flat_np: the same rows, scores and order from lists and
from buffers, whatever the pool's thread count."""

import json

import pytest

import _velk
from conftest import bits

np = pytest.importorskip("numpy")

NAN = float("nan")


def both(query, values, dim, k):
    """Runs both flat functions and checks that they agree bit for bit."""
    from_lists = _velk.top_k_flat(query, values, dim, k)
    from_buffers = _velk.top_k_flat_np(np.array(query, dtype=np.float32),
                                       np.array(values, dtype=np.float32), dim, k)
    assert [(i, bits(s)) for i, s in from_lists] == [(i, bits(s)) for i, s in from_buffers]
    return from_lists


@pytest.mark.parametrize("query, values, dim, k, result", [
    ([1.0, 0.0], [0.0, 1.0, 1.0, 0.0, 1.0, 1.0], 2, 2, [(1, 1.0), (2, 0.7071067690849304)]),
    ([1.0, 0.0, 0.0, 9.0], [1.0, 0.0, 0.0], 3, 1, [(0, 0.11043152213096619)]),
    ([1.0], [1.0, 1.0], 2, 1, [(0, 0.7071067690849304)]),
    ([1.0, 1.0, 1.0], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0], 3, 5,
     [(0, 0.9258201122283936), (1, 0.9869275689125061)][::-1]),
    ([1.0, 2.0], [1.0, 2.0], 3, 5, []),
    ([], [1.0, 2.0], 2, 1, []),
    ([0.0, 0.0], [1.0, 2.0], 2, 1, []),
    ([1.0, 0.0], [0.0, 0.0, NAN, 1.0, 2.0, 0.0], 2, 3, [(2, 1.0), (0, 0.0), (1, 0.0)]),
])
def test_flat_worked_values(query, values, dim, k, result):
    assert both(query, values, dim, k) == result


@pytest.mark.parametrize("rows, dim", [(1, 5), (2, 3), (37, 8), (500, 33), (2048, 16)])
def test_scores_match_top_k_bit_for_bit(rows, dim):
    rng = np.random.default_rng(rows)
    query = rng.standard_normal(dim, dtype=np.float32)
    matrix = rng.standard_normal((rows, dim), dtype=np.float32)
    flat = both(query.tolist(), matrix.ravel().tolist(), dim, rows)
    listed = _velk.top_k(query.tolist(), matrix.tolist(), rows)
    assert sorted((i, bits(s)) for i, s in flat) == sorted((i, bits(s)) for i, s in listed)
    # Only a few: k below the row count goes through selection.
    k = max(1, rows // 10)
    assert both(query.tolist(), matrix.ravel().tolist(), dim, k) == flat[:k]


THREADED = """
    import json, numpy as np, _velk
    rng = np.random.default_rng(11)
    query = rng.standard_normal(48, dtype=np.float32)
    matrix = rng.standard_normal((3001, 48), dtype=np.float32)
    matrix[17] = matrix[2900]  # a tie across the split
    matrix[40] = 0.0
    out = [_velk.top_k_flat_np(query, matrix, 48, k) for k in (1, 10, 3001)]
    out.append(_velk.top_k_flat(query.tolist(), matrix.ravel().tolist(), 48, 25))
    print(json.dumps([[(i, s.hex()) for i, s in r] for r in out]))
"""


def test_results_identical_for_every_thread_count(run_python):
    outputs = {}
    for threads in ("1", "2", "3", "8"):
        result = run_python(THREADED, {"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        outputs[threads] = json.loads(result.stdout)
    assert outputs["2"] == outputs["1"]
    assert outputs["3"] == outputs["1"]
    assert outputs["8"] == outputs["1"]


def running_under_asan():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.mark.skipif(running_under_asan(), reason="the sanitizer's quarantine holds freed memory")
def test_repeated_calls_do_not_grow_memory():
    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4

    query = np.ones(64, dtype=np.float32)
    matrix = np.ones((2000, 64), dtype=np.float32)
    as_list = matrix.ravel().tolist()
    bad = as_list + ["x"]

    def churn():
        for _ in range(20):
            _velk.top_k_flat_np(query, matrix, 64, 100)
            _velk.top_k_flat(query.tolist(), as_list, 64, 5)
            with pytest.raises(TypeError):
                _velk.top_k_flat(query.tolist(), bad, 64, 5)
            with pytest.raises(BaseException):
                _velk.top_k_flat_np(query, matrix, 0, 5)

    churn()
    before = rss_kib()
    for _ in range(5):
        churn()
    # Each round converts ~1 MiB of floats; a leak would show as tens of MiB.
    assert rss_kib() - before < 8 * 1024
