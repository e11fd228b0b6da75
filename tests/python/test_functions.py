"""cosine_similarity and top_k end to end: binary32 scores and their order."""

import ctypes
import ctypes.util
import random
import threading

import numpy as np
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


class _Value:
    """A number only through __float__: takes the general conversion path."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def _all_four(query, rows, query_np, flat_np):
    flat = [x for row in rows for x in row]
    return [
        [_velk.cosine_similarity(query, row) for row in rows],
        _velk.top_k(query, rows, len(rows)),
        _velk.top_k(query, [[_Value(x) for x in row] for row in rows], len(rows)),
        _velk.top_k_flat(query, flat, len(query), len(rows)),
        _velk.top_k_flat_np(query_np, flat_np, len(query), len(rows)),
    ]


@pytest.mark.parametrize("mode", ["towardzero", "upward", "downward"])
def test_results_do_not_depend_on_the_callers_rounding_mode(mode):
    # Inputs that are inexact in binary32 (so the conversion rounds too) and
    # scores whose last bit depends on the rounding of every step.
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    fe = {"towardzero": 0xC00, "upward": 0x800, "downward": 0x400}[mode]  # x86-64 <fenv.h>
    query = [0.1, 0.2, 0.3, 1.0 / 3.0]
    rows = [[4.0, 5.0, 6.0, 7.0], [0.7, -0.3, 0.9, 1e-3], [1.0 / 7.0, 2.0 / 7.0, -3.0 / 7.0, 0.5]]
    # numpy's own conversion would round in the caller's mode: made up front.
    arrays = np.array(query, np.float32), np.array(rows, np.float32).ravel()
    expected = _all_four(query, rows, *arrays)
    saved = libm.fegetround()
    assert libm.fesetround(fe) == 0
    try:
        got = _all_four(query, rows, *arrays)
    finally:
        libm.fesetround(saved)
    assert got == expected  # no NaN or zero here, so equal floats have equal bits
