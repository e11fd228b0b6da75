"""Randomised comparison of all four functions with the float32 model in
reference.py: every score bit for bit, the k best keys with multiplicity, and
row order among ties wherever the ranking promises it."""

import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import _velk  # noqa: E402
import reference as ref  # noqa: E402


def f32_value(pattern):
    """The Python float holding the binary32 value with this bit pattern."""
    return float(np.array([pattern], dtype=np.uint32).view(np.float32)[0])


SPECIALS = [
    0.0, -0.0, float("inf"), float("-inf"),
    f32_value(0x7FC00000), f32_value(0xFFC00000),   # quiet NaN of both signs
    f32_value(0x7FC00123), f32_value(0xFFC00456),   # with payloads
    f32_value(0x00000001), -f32_value(0x00000001),  # smallest denormal
    1e-40, -1e-40,                                  # denormal
    1e-30, -1e-30,                                  # square underflows to zero
    1e-20,                                          # square is denormal
    3e38, -3e38, 1e20,                              # squares overflow
    1e300, -1e300,                                  # overflow on narrowing
    1.0, -1.0,
]

# Mostly ordinary numbers (small integers make exact ties likely), sometimes
# special ones, sometimes doubles that must be rounded to binary32, sometimes
# ints and bools (converted through double, as the model does).
element = st.one_of(
    st.integers(-3, 3).map(float),
    st.one_of(st.integers(-(2**70), 2**70), st.booleans()),
    st.floats(width=32, allow_nan=False),
    st.floats(-1e3, 1e3),
    st.sampled_from(SPECIALS),
)
ordinary = st.one_of(st.integers(-3, 3).map(float), st.floats(-10, 10, width=32))
vector = st.lists(element, max_size=10)
k_values = st.one_of(st.integers(0, 80), st.just(2**64 - 1))


def check_ranking(result, scores, k, ties_exact):
    """The result is the min(k, n) largest keys in order, each with its row's
    own score; with ties_exact it is exactly the stable ranking."""
    n = len(scores)
    expected = ref.stable_ranking(scores)[: min(k, n)]
    assert all(type(pair) is tuple and len(pair) == 2 for pair in result)
    assert all(type(i) is int and type(s) is float for i, s in result)
    got = ref.as_bits(result)
    assert len(got) == len(expected)
    indices = [i for i, _ in got]
    assert len(set(indices)) == len(indices) and all(0 <= i < n for i in indices)
    assert got == [(i, ref.f32_bits(float(scores[i]))) for i in indices]
    assert [ref.ranking_key(s) for _, s in result] == [ref.ranking_key(s) for _, s in expected]
    if ties_exact:
        assert got == ref.as_bits(expected)


@given(a=vector, b=vector)
def test_cosine_similarity_matches_model(a, b):
    got = _velk.cosine_similarity(a, b)
    want = ref.pair_cosine(ref.f32_array(a), ref.f32_array(b))
    assert ref.f32_bits(got) == ref.f32_bits(float(want))


def list_case(rows_strategy):
    return st.tuples(vector, rows_strategy, k_values)


@given(case=st.one_of(
    list_case(st.lists(vector, max_size=40)),
    list_case(st.lists(st.lists(ordinary, min_size=1, max_size=4), min_size=15, max_size=70)),
))
def test_top_k_matches_model(case):
    query, rows, k = case
    scores = ref.list_scores(ref.f32_array(query), [ref.f32_array(r) for r in rows])
    result = _velk.top_k(query, rows, k)
    check_ranking(result, scores, k, len(rows) <= 32 or ref.non_increasing(scores))


@st.composite
def flat_cases(draw, values=element):
    dim = draw(st.integers(1, 6))
    n = draw(st.integers(0, 70))
    flat = draw(st.lists(values, min_size=n * dim, max_size=n * dim + dim - 1))
    query = draw(st.lists(values, max_size=dim + 2))
    return query, flat, dim, draw(k_values)


def run_flat(query, flat, dim, k):
    """Both flat functions, which must agree exactly; returns the list result."""
    from_lists = _velk.top_k_flat(query, flat, dim, k)
    from_buffers = _velk.top_k_flat_np(ref.f32_array(query), ref.f32_array(flat), dim, k)
    assert ref.as_bits(from_lists) == ref.as_bits(from_buffers)
    assert [i for i, _ in from_lists] == [i for i, _ in from_buffers]
    return from_lists


def flat_ties_exact(scores, k, query_size, dim):
    n = len(scores)
    # A call that keeps at most a quarter of the rows, with the query as wide
    # as them, ranks them as it scores them, by score and then by row.
    ranked_while_scored = query_size == dim and 1 <= k <= n // 4
    return (ranked_while_scored or n <= 16 or k == 1
            or (k >= n and (n <= 32 or ref.non_increasing(scores))))


@given(case=st.one_of(flat_cases(), flat_cases(ordinary)))
def test_flat_matches_model(case):
    query, flat, dim, k = case
    result = run_flat(query, flat, dim, k)
    scores = ref.row_scores(ref.f32_array(query), ref.f32_array(flat), dim)
    if scores is None or k == 0:
        assert result == []
    else:
        check_ranking(result, scores, k, flat_ties_exact(scores, k, len(query), dim))


@given(case=flat_cases(ordinary), which=st.sampled_from(["top_k", "flat"]))
def test_presorted_rows_keep_row_order_among_ties(case, which):
    """Rows already in ranking order come back in row order, ties included,
    whatever their number."""
    query, flat, dim, _ = case
    values = ref.f32_array(flat)
    n = len(values) // dim
    rows = values[: n * dim].reshape(n, dim)
    scores = ref.row_scores(ref.f32_array(query), values, dim)
    if which == "top_k":
        scores = ref.list_scores(ref.f32_array(query), list(rows))
    order = [i for i, _ in ref.stable_ranking(scores)] if scores is not None else list(range(n))
    rows = rows[order]
    if which == "top_k":
        result = _velk.top_k(query, rows.tolist(), n + 1)
        want = ref.list_scores(ref.f32_array(query), list(rows))
    else:
        result = run_flat(query, rows.ravel().tolist(), dim, n)
        want = ref.row_scores(ref.f32_array(query), rows.ravel(), dim)
        if want is None:
            assert result == []
            return
    assert ref.non_increasing(want)
    assert ref.as_bits(result) == ref.as_bits(ref.stable_ranking(want))


# Seeded cases large enough to be split across workers, with ties, zero rows,
# NaN rows and a NaN-free remainder; shared by the parent and the children.
THREAD_CASES = textwrap.dedent("""
    import numpy as np

    def thread_cases():
        for seed in range(4):
            rng = np.random.default_rng(seed)
            dim = int(rng.integers(1, 40))
            n = int(rng.integers(2, 6000))
            matrix = rng.integers(-2, 3, size=(n, dim)).astype(np.float32)
            matrix[rng.integers(0, n, size=n // 10)] *= np.float32(1.5)
            matrix[rng.integers(0, n, size=3)] = np.float32("nan")
            matrix[rng.integers(0, n, size=3)] = 0.0
            flat = np.concatenate([matrix.ravel(), np.ones(dim - 1, np.float32)])
            query = rng.standard_normal(dim + int(rng.integers(-1, 2)) or 1).astype(np.float32)
            for k in (1, 7, n // 2, n, n + 5):
                yield query, flat, dim, k
""")

CHILD = THREAD_CASES + textwrap.dedent("""
    import json, struct, _velk
    out = []
    for query, flat, dim, k in thread_cases():
        out.append([_velk.top_k_flat_np(query, flat, dim, k),
                    _velk.top_k_flat(query.tolist(), flat.tolist(), dim, k)])
    print(json.dumps([[[(i, struct.pack("<d", s).hex()) for i, s in r] for r in pair] for pair in out]))
""")


def test_thread_count_changes_no_bit():
    namespace = {}
    exec(THREAD_CASES, namespace)
    cases = list(namespace["thread_cases"]())
    outputs = set()
    for threads in ("1", "2", "3", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        env.pop("RAYON_RS_NUM_CPUS", None)
        done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        outputs.add(done.stdout)
    assert len(outputs) == 1
    results = json.loads(outputs.pop())
    assert len(results) == len(cases)
    for (query, flat, dim, k), (from_buffers, from_lists) in zip(cases, results):
        assert from_buffers == from_lists
        result = [(i, struct.unpack("<d", bytes.fromhex(s))[0]) for i, s in from_buffers]
        scores = ref.row_scores(query, flat, dim)
        check_ranking(result, scores, k, flat_ties_exact(scores, k, len(query), dim))
