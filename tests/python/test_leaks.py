"""Every function, on success and on each error path, called thousands of
times: Python allocations (tracemalloc) and the resident set stay flat, and
no argument or element gains or loses a reference."""

import gc
import os
import sys
import tracemalloc

import pytest

import _velk

np = pytest.importorskip("numpy")

UNDER_ASAN = os.environ.get("VELK_UNDER_ASAN") == "1"
CALLS = 200 if UNDER_ASAN else 2000


class Boom(Exception):
    pass


class RaisesOnFloat:
    def __float__(self):
        raise Boom("float")


class RaisesOnIndex:
    def __index__(self):
        raise Boom("index")


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Inputs large enough that one lost native array per call would show in the
# resident set: a 1000-float query is 4 KB once converted.
QUERY = [float(i % 7) - 3.0 for i in range(1000)]
ROWS = [[float((i * j) % 5) for j in range(50)] for i in range(40)]
FLAT = [x for row in ROWS for x in row]
QUERY_NP = np.array(QUERY[:50], np.float32)
FLAT_NP = np.array(FLAT, np.float32)
BAD = RaisesOnFloat()
BAD_INDEX = RaisesOnIndex()
LATE_BAD = QUERY[:500] + [BAD]          # fails after half the vector is built
LATE_STR = ROWS[:20] + ["row"]          # fails after half the rows are built
MISALIGNED = np.frombuffer(bytearray(4 * 60 + 4), np.float32, count=60, offset=1)
WIDE = np.array(FLAT, np.float64)

# (name, function, positional arguments, keyword arguments, expected exception)
CASES = [
    ("cosine ok", "cosine_similarity", (QUERY, QUERY[::-1]), {}, None),
    ("cosine keywords", "cosine_similarity", (), {"b": QUERY, "a": QUERY}, None),
    ("cosine late element", "cosine_similarity", (QUERY, LATE_BAD), {}, Boom),
    ("cosine str", "cosine_similarity", (QUERY, "abc"), {}, TypeError),
    ("cosine missing", "cosine_similarity", (QUERY,), {}, TypeError),
    ("cosine extra", "cosine_similarity", (QUERY, QUERY, QUERY), {}, TypeError),
    ("cosine unknown keyword", "cosine_similarity", (QUERY,), {"c": QUERY}, TypeError),
    ("cosine duplicate", "cosine_similarity", (QUERY, QUERY), {"a": QUERY}, TypeError),
    ("top_k ok", "top_k", (QUERY, ROWS, 5), {}, None),
    ("top_k all", "top_k", (QUERY, ROWS, 2**64 - 1), {}, None),
    ("top_k late row", "top_k", (QUERY, LATE_STR, 5), {}, TypeError),
    ("top_k bad element", "top_k", (QUERY, ROWS[:10] + [[1.0, BAD]], 5), {}, Boom),
    ("top_k negative k", "top_k", (QUERY, ROWS, -1), {}, OverflowError),
    ("top_k float k", "top_k", (QUERY, ROWS, 2.0), {}, TypeError),
    ("top_k raising k", "top_k", (QUERY, ROWS, BAD_INDEX), {}, Boom),
    ("top_k missing", "top_k", (QUERY,), {"k": 3}, TypeError),
    ("flat ok", "top_k_flat", (QUERY[:50], FLAT, 50, 5), {}, None),
    ("flat one row", "top_k_flat", (QUERY[:50], FLAT[:50], 50, 5), {}, None),
    ("flat nested", "top_k_flat", (QUERY[:50], ROWS, 50, 5), {}, TypeError),
    ("flat late element", "top_k_flat", (QUERY[:50], LATE_BAD, 50, 5), {}, Boom),
    ("flat huge dim", "top_k_flat", (QUERY[:50], FLAT, 2**64, 5), {}, OverflowError),
    ("flat zero dim", "top_k_flat", (QUERY[:50], FLAT, 0, 5), {}, BaseException),
    ("flat unknown keyword", "top_k_flat", (QUERY[:50], FLAT, 50), {"kk": 5}, TypeError),
    ("np ok", "top_k_flat_np", (QUERY_NP, FLAT_NP, 50, 5), {}, None),
    ("np keywords", "top_k_flat_np", (), {"k": 3, "dim": 50, "embeddings": FLAT_NP,
                                          "query": QUERY_NP}, None),
    ("np list", "top_k_flat_np", (QUERY_NP, FLAT, 50, 5), {}, TypeError),
    ("np float64", "top_k_flat_np", (QUERY_NP, WIDE, 50, 5), {}, BufferError),
    ("np misaligned", "top_k_flat_np", (QUERY_NP, MISALIGNED, 50, 5), {}, BufferError),
    ("np strided", "top_k_flat_np", (QUERY_NP, FLAT_NP[::2], 50, 5), {}, BufferError),
    ("np bytes", "top_k_flat_np", (b"abcd", FLAT_NP, 50, 5), {}, BufferError),
    ("np zero dim", "top_k_flat_np", (QUERY_NP, FLAT_NP, 0, 5), {}, BaseException),
    ("np bad k", "top_k_flat_np", (QUERY_NP, FLAT_NP, 50, BAD_INDEX), {}, Boom),
    ("np duplicate", "top_k_flat_np", (QUERY_NP, FLAT_NP, 50, 5), {"dim": 50}, TypeError),
    ("np extra", "top_k_flat_np", (QUERY_NP, FLAT_NP, 50, 5, 6), {}, TypeError),
]


def watched_objects(args, kwargs):
    """The arguments and the distinct objects one level inside them."""
    found = {}
    for value in list(args) + list(kwargs.values()):
        found[id(value)] = value
        if isinstance(value, list):
            for item in value[:3] + value[-3:]:
                found[id(item)] = item
    return list(found.values())


@pytest.mark.parametrize("name, function, args, kwargs, raises", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(name, function, args, kwargs, raises):
    call = getattr(_velk, function)
    calls = CALLS // 10 if raises is BaseException else CALLS  # panics print a report each

    def run(times):
        for _ in range(times):
            try:
                call(*args, **kwargs)
            except BaseException as error:  # noqa: B036 - PanicException included
                if raises is None or not isinstance(error, raises):
                    raise
            else:
                assert raises is None

    watched = watched_objects(args, kwargs)
    run(50)
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in watched]
    rss = rss_bytes()
    run(calls)
    gc.collect()
    rss_growth = rss_bytes() - rss
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        run(calls)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert end - start < 64 * 1024, f"{end - start} bytes of Python objects kept"
    assert [sys.getrefcount(o) for o in watched] == refcounts
    if not UNDER_ASAN:
        # One lost 4 KB array per call would add 8 MB.
        assert rss_growth < 4 * 2**20
