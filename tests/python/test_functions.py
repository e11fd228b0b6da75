"""cosine_similarity and top_k end to end: binary32 scores and their order."""

import random
import threading

import pytest

import _velk
from conftest import bits

NAN = float("nan")


@pytest.mark.parametrize("a, b, score", [
    ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0], 0.9746317863464355),
    ([1.0, 0.0], [1.0, 1.0], 0.7071067690849304),
    ([1.0, 1.0], [1.0], 0.7071067690849304),
    ([3.0, 4.0], [4.0, 3.0], 0.9599999785423279),
    ([0.1, 0.2, 0.3], [0.3, 0.2, 0.1], 0.7142856121063232),
    ([-1.0, 0.0], [0.0, -1.0], -0.0),
    ([], [1.0, 2.0], 0.0),
    ([], [], 0.0),
    ([1.0], [], 0.0),
    ([0.0, 0.0], [1.0, 2.0], 0.0),
    ([0.0, 0.0], [NAN, 1.0], 0.0),
    ([1e30, 1e30], [1e30, 1.0], -NAN),  # inf / inf: the sign bit is set
    ([1e-30] * 3, [1.0, 2.0, 3.0], 0.0),
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.9999999403953552),
    ([0.3, 0.7, 0.2, 0.9, 0.5], [0.3, 0.7, 0.2, 0.9, 0.5], 1.0000001192092896),
])
def test_cosine_similarity_worked_values(a, b, score):
    assert bits(_velk.cosine_similarity(a, b)) == bits(score)
    assert type(_velk.cosine_similarity(a, b)) is float


@pytest.mark.parametrize("query, rows, k, result", [
    ([1.0, 0.0], [[0.0, 1.0], [1.0, 0.0], [1.0, 1.0]], 2, [(1, 1.0), (2, 0.7071067690849304)]),
    ([1.0, 0.0], [], 3, []),
    ([1.0, 0.0], [[1.0]], 0, []),
    ([1.0, 1.0], [[1.0]], 5, [(0, 0.7071067690849304)]),
    ([1.0], [[1.0, 1.0], [], [0.0, 0.0]], 5, [(0, 0.7071067690849304), (1, 0.0), (2, 0.0)]),
    ([], [[1.0]] * 25, 3, [(0, 0.0), (1, 0.0), (2, 0.0)]),
    ([0.0, 0.0], [[1.0, 2.0], [3.0, 4.0]], 9, [(0, 0.0), (1, 0.0)]),
    ([1.0, 2.0], [[2.0, 4.0], [3.0, 1.0], [2.0, 4.0]], 2,
     [(0, 1.0), (2, 1.0)]),
])
def test_top_k_worked_values(query, rows, k, result):
    assert _velk.top_k(query, rows, k) == result


def test_concurrent_callers_each_get_their_own_result():
    rng = random.Random(3)
    jobs = [([rng.uniform(-1, 1) for _ in range(16)],
             [[rng.uniform(-1, 1) for _ in range(16)] for _ in range(200)]) for _ in range(4)]
    expected = [_velk.top_k(q, rows, 5) for q, rows in jobs]
    seen = [[] for _ in jobs]
    threads = [threading.Thread(target=lambda i=i: seen[i].extend(
        _velk.top_k(*jobs[i], 5) for _ in range(20))) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == [[e] * 20 for e in expected]
