"""velk.search and velk.search_many on the batched engine: every score that of
_velk.top_k_flat_np bit for bit, rows in the total order (ties by lowest row,
also at the cut), batch rows equal to single searches, the interpreter lock
given up while scoring, concurrent calls, one worker pool per process, and the
engine module's own argument checks."""

import faulthandler
import os
import signal
import sys
import threading

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import _velk  # noqa: E402
import velk  # noqa: E402
from velk import _engine  # noqa: E402

SPECIAL_ROWS = {
    "zero": 0.0,
    "nan": np.nan,
    "inf": np.inf,
    "tiny": 1e-30,  # squares underflow: the row's norm is zero
}


def keys_of(scores):
    bits = np.asarray(scores, np.float32).view(np.int32).astype(np.int64)
    return bits ^ ((bits >> 31) & 0x7FFFFFFF)


def expected_top_k(query, matrix, k):
    """The total order over _velk's own scores: key descending, row ascending."""
    pairs = _velk.top_k_flat_np(query, matrix, matrix.shape[1], matrix.shape[0])
    rows = np.array([p[0] for p in pairs], dtype=np.int64)
    scores = np.array([p[1] for p in pairs], dtype=np.float32)
    order = np.lexsort((rows, -keys_of(scores)))[:k]
    return rows[order], scores[order]


def assert_same(got, expected):
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(
        np.asarray(got[1], np.float32).view(np.uint32),
        np.asarray(expected[1], np.float32).view(np.uint32),
    )


@st.composite
def problems(draw):
    rows = draw(st.integers(0, 90))
    dim = draw(st.sampled_from([1, 3, 7, 16, 17, 33]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    # Small integers make equal scores common; duplicated rows make them certain.
    matrix = rng.integers(-2, 3, size=(rows, dim)).astype(np.float32)
    if rows and draw(st.booleans()):
        matrix *= rng.standard_normal((rows, dim)).astype(np.float32)
    for _ in range(draw(st.integers(0, 4)) if rows else 0):
        matrix[rng.integers(rows)] = matrix[rng.integers(rows)]
    for name in draw(st.lists(st.sampled_from(sorted(SPECIAL_ROWS)), max_size=2)):
        if rows:
            matrix[rng.integers(rows)] = SPECIAL_ROWS[name]
    queries = rng.integers(-2, 3, size=(draw(st.integers(0, 5)), dim)).astype(np.float32)
    if len(queries) and draw(st.booleans()):
        queries[0] = matrix[0] if rows else 0.0
    k = draw(st.integers(0, rows + 3))
    return queries, matrix, k


@given(problems())
def test_batches_equal_single_searches_and_the_total_order_of_velk_scores(problem):
    queries, matrix, k = problem
    indices, scores = velk.search_many(queries, matrix, k)
    assert indices.shape == scores.shape == (len(queries), k)
    for i, query in enumerate(queries):
        single = velk.search(query, matrix, k)
        found = len(single[0])
        assert_same((indices[i, :found], scores[i, :found]), single)
        assert np.all(indices[i, found:] == -1) and np.all(np.isnan(scores[i, found:]))
        if not np.any(query):
            assert found == 0
            continue
        assert_same(single, expected_top_k(query, matrix, k))


def test_equal_scores_keep_the_lowest_rows_even_at_the_cut():
    rng = np.random.default_rng(3)
    matrix = rng.standard_normal((5000, 24)).astype(np.float32)
    query = rng.standard_normal(24).astype(np.float32)
    best = np.argmax(matrix @ query / np.linalg.norm(matrix, axis=1))
    copies = [4990, 17, 3000, 1, 2500]
    matrix[copies] = matrix[best]
    indices, _ = velk.search(query, matrix, 4)
    assert list(indices) == sorted([best, *copies])[:4]


def test_a_k_beyond_any_row_count_returns_every_row():
    matrix = np.random.default_rng(4).standard_normal((30, 5)).astype(np.float32)
    for query in (matrix[3], matrix[3].tolist()):
        assert_same(velk.search(query, matrix, 2**70), velk.search(query, matrix, 30))


def test_results_do_not_depend_on_the_thread_count(run_python):
    script = """
        import hashlib, numpy as np, velk
        rng = np.random.default_rng(7)
        m = rng.integers(-2, 3, size=(20000, 19)).astype(np.float32)
        q = rng.integers(-2, 3, size=(9, 19)).astype(np.float32)
        i, s = velk.search_many(q, m, 50)
        print(hashlib.sha256(i.tobytes() + s.tobytes()).hexdigest())
    """
    digests = set()
    for threads in ("1", "2", "3"):
        done = run_python(script, env={"RAYON_NUM_THREADS": threads})
        assert done.returncode == 0, done.stderr
        digests.add(done.stdout)
    assert len(digests) == 1


def big_problem(seed=0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((40, 64)).astype(np.float32),
            rng.standard_normal((20000, 64)).astype(np.float32))


def test_the_lock_is_given_up_while_scoring():
    # With a long switch interval the caller keeps the lock between bytecodes:
    # the counting thread only runs if the call itself gives the lock up.
    queries, matrix = big_problem()
    assert queries.shape[0] * matrix.size >= _engine.LOCK_RELEASE_WORK
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.5)
    progress = []
    try:
        def search():
            before = counted[0]
            velk.search_many(queries, matrix, 10)
            progress.append(counted[0] - before)

        counter = threading.Thread(target=count)
        counter.start()
        searcher = threading.Thread(target=search)
        searcher.start()
        searcher.join()
        stop.set()
        counter.join()
    finally:
        sys.setswitchinterval(interval)
    assert progress[0] > 0


def test_concurrent_calls_give_the_serial_results():
    problems = [big_problem(seed) for seed in range(4)]
    serial = [velk.search_many(q, m, 25) for q, m in problems]
    results = {}

    def run(slot):
        q, m = problems[slot % len(problems)]
        results[slot] = velk.search_many(q, m, 25)

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for slot, got in results.items():
        assert_same([a.ravel() for a in got], [a.ravel() for a in serial[slot % len(problems)]])
    assert len(results) == 8


@pytest.mark.parametrize("first", ["_velk", "velk"])
def test_both_modules_share_one_set_of_workers(run_python, first):
    done = run_python(f"""
        import os, numpy as np
        def threads():
            return len(os.listdir("/proc/self/task"))
        m = np.random.default_rng(0).standard_normal((50000, 32)).astype(np.float32)
        q = m[:4].copy()
        calls = {{"_velk": lambda: __import__("_velk").top_k_flat_np(q[0], m, 32, 5),
                  "velk": lambda: __import__("velk").search_many(q, m, 5)}}
        order = ["{first}", "velk" if "{first}" == "_velk" else "_velk"]
        counts = [threads()]
        for name in order:
            calls[name]()
            counts.append(threads())
        print(counts)
    """, env={"RAYON_NUM_THREADS": "3", "OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    before, *after = eval(done.stdout)
    # _velk's call starts the pool's three workers; nothing starts a second set.
    assert after[-1] == before + 3 and max(after) == before + 3


def test_the_first_call_large_enough_to_share_starts_the_pool(run_python):
    # Below 65,536 multiply-adds a call stays alone; from there it offers half
    # its rows to a worker, and a fresh process must have one to offer them to.
    done = run_python("""
        import os, numpy as np, velk
        def threads():
            return len(os.listdir("/proc/self/task"))
        rng = np.random.default_rng(0)
        small, shared = (rng.standard_normal((n, 128)).astype(np.float32) for n in (500, 1000))
        q = rng.standard_normal(128).astype(np.float32)
        counts = [threads()]
        for m in (small, shared, shared):
            velk.search(q, m, 10)
            counts.append(threads())
        print(counts)
    """, env={"RAYON_NUM_THREADS": "2", "OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    before, after_small, after_shared, again = eval(done.stdout)
    assert after_small == before and after_shared == again == before + 2


def test_engine_module_refuses_arrays_it_cannot_use():
    m = np.ones((4, 3), np.float32)
    q = np.ones((2, 3), np.float32)
    out = (np.empty((2, 2), np.int64), np.empty((2, 2), np.float32), np.empty(2, np.uint64))
    cases = [
        ((q.astype(np.float64), m, 3, 2, *out), TypeError, "queries must be a buffer of float32"),
        ((q, m, 3, 2, out[1], out[1], out[2]), TypeError, "indices must be a buffer of int64"),
        ((q, m.T, 3, 2, *out), ValueError, "embeddings must be an aligned C-contiguous"),
        ((q, m, 4, 2, *out), ValueError, "whole number of rows"),
        ((q, m, 0, 2, *out), ValueError, "dim must be positive"),
        ((q, m, 3, 3, *out), ValueError, "indices has room for 4 results, 6 are needed"),
        ((q, m, 3, 2, out[0], out[1], np.empty(2, np.uint64)[:1]), ValueError, "counts has room"),
        ((q, m, 3, 2, out[0], np.zeros(4, np.float32)[::-1].reshape(2, 2), out[2]),
         ValueError, "scores must be an aligned"),
        ((q, m, 3, 2, out[0], out[1], b"12345678" * 2), BufferError, "writable"),
        ((q.tolist(), m, 3, 2, *out), TypeError, "bytes-like"),
    ]
    for args, error, message in cases:
        with pytest.raises(error, match=message):
            _engine.search_batch(*args)
    with pytest.raises(ValueError, match="exactly dim values"):
        _engine.search_one(q, m, 3, 2, out[0][0], out[1][0])


@given(problems(), st.data())
def test_engine_range_keeps_exactly_the_scores_at_or_above_a_double_threshold(problem, data):
    # Found by the fuzzer: the engine narrowed a threshold between two float32s
    # to the nearest one, below it half of the time, and kept scores under it.
    queries, matrix, _ = problem
    if not len(queries) or not len(matrix):
        return
    dim = matrix.shape[1]
    # A zero query keeps no row: its scores are NaN here, which none passes.
    scores = np.array([[p[1] for p in sorted(_velk.top_k_flat_np(q, matrix, dim, len(matrix)))]
                       or [np.nan] * len(matrix) for q in queries], np.float32)
    s = data.draw(st.sampled_from(scores[np.isfinite(scores)].tolist() or [0.5]))
    up = float(np.nextafter(np.float32(s), np.float32(np.inf)))
    down = float(np.nextafter(np.float32(s), np.float32(-np.inf)))
    threshold = data.draw(st.sampled_from([s, (s + up) / 2, (s + down) / 2, np.nextafter(s, up),
                                          np.nextafter(s, down), 1e300, -1e300]))
    lims, indices, found = _engine.search_range(queries, matrix, dim, threshold)
    lims = np.frombuffer(lims, np.uint64)
    indices, found = np.frombuffer(indices, np.int64), np.frombuffer(found, np.float32)
    for i in range(len(queries)):
        rows = np.flatnonzero(scores[i].astype(np.float64) >= threshold)
        rows = rows[np.lexsort((rows, -keys_of(scores[i][rows])))]
        np.testing.assert_array_equal(indices[lims[i]:lims[i + 1]], rows)
        np.testing.assert_array_equal(found[lims[i]:lims[i + 1]].view(np.uint32),
                                      scores[i][rows].view(np.uint32))


def test_ctrl_c_stops_a_long_call_on_the_main_thread(sigint_raises):
    # About 10**11 multiply-adds: minutes of work, so a call that did not stop
    # would end the run through the watchdog.
    rng = np.random.default_rng(1)
    matrix = rng.standard_normal((200_000, 64)).astype(np.float32)
    queries = rng.standard_normal((8_000, 64)).astype(np.float32)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    faulthandler.dump_traceback_later(120, exit=True)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            velk.search_many(queries, matrix, 5)
    finally:
        timer.cancel()
        faulthandler.cancel_dump_traceback_later()
    # The process goes on, and so do later calls.
    assert velk.search_many(queries[:2], matrix[:1000], 3)[0].shape == (2, 3)
