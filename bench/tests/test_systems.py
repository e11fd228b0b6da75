"""Checks that every system, one query or a batch, ranks as the exact cosine
top-k does, and that the data is what the scenarios say.

Run with the benchmark's environment: bench/.venv/bin/python -m pytest bench/tests
"""

import numpy as np
import pytest

import batches
import scenarios
import systems


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
    found = systems.import_systems(lambda text: None, smoke_test=False).systems
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


def test_a_crashing_module_is_caught_by_the_smoke_test(monkeypatch):
    messages = []
    monkeypatch.setattr(systems, "VELK_SMOKE_TEST", "import os; os.abort()")
    assert not systems.velk_survives_a_smoke_test(messages.append)
    assert "velk is skipped" in messages[0]
    monkeypatch.setattr(systems, "VELK_SMOKE_TEST", "pass")
    assert systems.velk_survives_a_smoke_test(messages.append)


def _installed_batch_systems():
    return {system.name: system for system in
            batches.batch_systems(systems.import_systems(lambda text: None, smoke_test=False))}


def _exact_top(matrix, queries, k):
    unit = matrix / np.linalg.norm(matrix.astype(np.float64), axis=1)[:, None]
    exact = (queries / np.linalg.norm(queries.astype(np.float64), axis=1)[:, None]) @ unit.T
    best = np.argsort(-exact, axis=1)[:, :k]
    return best, np.take_along_axis(exact, best, axis=1)


@pytest.mark.parametrize("name", batches.BATCH_SYSTEM_ORDER)
@pytest.mark.parametrize("count", [1, 5])
def test_each_batch_system_returns_every_querys_cosine_top_k(name, count):
    available = _installed_batch_systems()
    if name not in available:
        pytest.skip(f"{name} is not installed")
    system = available[name]
    matrix, queries = batches.make_batch(500, 24, count, salt=2)
    # Unequal norms, so a system that ranks by inner product instead of cosine fails.
    matrix *= np.linspace(0.1, 10.0, 500, dtype=np.float32)[:, None]
    k = 6
    system.prepare(matrix, systems.unit_rows(matrix), threads=2)
    rows, scores = system.decode_many(system.search_many(queries, k))
    system.release()
    expected_rows, expected_scores = _exact_top(matrix, queries, k)
    assert rows.shape == scores.shape == (count, k)
    assert rows.tolist() == expected_rows.tolist()
    np.testing.assert_allclose(scores, expected_scores, atol=1e-5)


@pytest.mark.parametrize("rows, k, block_queries", [(300, 7, 2), (300, 7, 1000), (5, 7, 3), (40, 40, 4)])
def test_numpy_batches_in_chunks_rank_as_in_one_block(monkeypatch, rows, k, block_queries):
    matrix, queries = batches.make_batch(rows, 16, 9, salt=3)
    system = batches.NumpyBatch()
    system.prepare(matrix, systems.unit_rows(matrix), threads=1)
    # A score block of `block_queries` queries at a time.
    monkeypatch.setattr(batches.NumpyBatch, "SCORE_BLOCK_BYTES", 4 * rows * block_queries)
    found, scores = system.decode_many(system.search_many(queries, k))
    expected_rows, expected_scores = _exact_top(matrix, queries, min(k, rows))
    assert found.tolist() == expected_rows.tolist()
    np.testing.assert_allclose(scores, expected_scores, atol=1e-5)


def test_batch_data_is_reproducible_and_float32():
    first = batches.make_batch(50, 8, 3, salt=1)
    again = batches.make_batch(50, 8, 3, salt=1)
    for array, same in zip(first, again):
        assert array.dtype == np.float32 and array.flags.c_contiguous and np.array_equal(array, same)
    assert first[1].shape == (3, 8) and -1.0 <= first[0].min() and first[0].max() < 1.0
