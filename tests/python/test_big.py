"""Sizes at the edges: a matrix of more than 2**31 floats, row widths and
counts of 2**64 - 1, and a list of a million rows."""

import os

import pytest

import _velk
import reference as ref

np = pytest.importorskip("numpy")

UNDER_ASAN = os.environ.get("VELK_UNDER_ASAN") == "1"
ALL = 2**64 - 1


def mem_available():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def keys_of(scores):
    """Ranking keys of many scores at once (widened binary32 values)."""
    x = np.asarray(scores, dtype=np.float64).astype(np.float32).view(np.int32).astype(np.int64)
    return np.where(x < 0, x ^ 0x7FFFFFFF, x)


@pytest.mark.skipif(UNDER_ASAN, reason="needs 8.6 GB of address space as plain memory")
@pytest.mark.skipif(mem_available() < 12 * 2**30, reason="needs 12 GB of available memory")
def test_matrix_of_more_than_2_31_floats():
    dim = 128
    n = 2**31 // dim + 1024
    # Zero pages cost nothing until written; only the marked rows are.
    matrix = np.zeros((n, dim), np.float32)
    assert matrix.size > 2**31
    query = np.linspace(-1.0, 1.0, dim, dtype=np.float32)
    beyond = 2**31 // dim + 5  # every value of this row lies past float 2**31
    marked = {n - 1: query, beyond: query + np.float32(0.5), 3: np.arange(dim, dtype=np.float32)}
    for row, values in marked.items():
        matrix[row] = values
    result = _velk.top_k_flat_np(query, matrix, dim, 4)
    want = {row: float(ref.row_scores(query, values, dim)[0]) for row, values in marked.items()}
    assert result[:3] == sorted(want.items(), key=lambda pair: -ref.ranking_key(pair[1]))
    assert result[3][1] == 0.0 and result[3][0] not in marked  # one of the zero rows


@pytest.mark.parametrize("function", ["top_k_flat", "top_k_flat_np"])
@pytest.mark.parametrize("dim, k, rows", [
    (ALL, 5, 0), (ALL, ALL, 0), (2**63, 1, 0), (3, ALL, 4), (1, ALL, 13), (12, ALL, 1)])
def test_extreme_dim_and_k(function, dim, k, rows):
    values = [float((i * 7) % 5) - 2.0 for i in range(12 + 1)]
    query = [1.0, -1.0, 0.5]
    if function == "top_k_flat_np":
        result = _velk.top_k_flat_np(np.array(query, np.float32), np.array(values, np.float32),
                                     dim, k)
    else:
        result = _velk.top_k_flat(query, values, dim, k)
    assert len(result) == rows
    if rows:
        scores = ref.row_scores(ref.f32_array(query), ref.f32_array(values), dim)
        assert ref.as_bits(result) == ref.as_bits(ref.stable_ranking(scores))


def test_top_k_with_every_row():
    rows = [[float(i % 4), 1.0, float(-i)] for i in range(40)]
    result = _velk.top_k([1.0, 1.0], rows, ALL)
    scores = ref.list_scores(ref.f32_array([1.0, 1.0]), [ref.f32_array(r) for r in rows])
    assert sorted(ref.as_bits(result)) == sorted(ref.as_bits(enumerate(scores)))
    assert [ref.ranking_key(s) for _, s in result] == sorted(
        (ref.ranking_key(s) for s in scores), reverse=True)


@pytest.mark.parametrize("k", [10, ALL])
def test_a_million_short_rows(k):
    n = 10**5 if UNDER_ASAN else 10**6
    rows = [[float(i % 97), 1.0, float(i % 13) - 6.0] for i in range(n)]
    query = [3.0, -1.0, 2.0]
    result = _velk.top_k(query, rows, k)
    expected = ref.list_scores(ref.f32_array(query), np.array(rows, np.float32))
    assert len(result) == min(k, n)
    indices = np.array([i for i, _ in result])
    scores = np.array([s for _, s in result])
    assert len(np.unique(indices)) == len(indices)
    # Each row keeps its own score, and the keys are the largest, in order.
    assert np.array_equal(keys_of(scores), keys_of(expected[indices]))
    assert np.array_equal(keys_of(scores), np.sort(keys_of(expected))[::-1][: len(result)])
