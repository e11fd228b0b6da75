"""Many Python threads calling all four functions at once: each gets exactly
what a lone thread gets, errors stay with the thread that caused them, and
nothing deadlocks (a stuck run dumps its stacks and exits)."""

import faulthandler
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _velk

np = pytest.importorskip("numpy")

THREADS = 6
ROUNDS = int(os.environ.get("VELK_CONCURRENCY_ROUNDS", "3"))


@pytest.fixture
def deadlock_guard():
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


class SlowFloat:
    """A number whose conversion runs Python code that yields the interpreter
    lock, so other threads get in while a call is half-way through converting."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class Boom(Exception):
    pass


class Raises:
    def __float__(self):
        time.sleep(0)
        raise Boom()


def make_tasks():
    rng = np.random.default_rng(5)
    tasks = []
    for n, dim in [(1, 4), (2, 3), (17, 5), (300, 16), (4000, 24), (20000, 3)]:
        query = rng.standard_normal(dim).astype(np.float32)
        matrix = rng.integers(-3, 4, size=(n, dim)).astype(np.float32)
        flat = matrix.ravel()
        for k in (1, 5, n):
            tasks.append(("top_k_flat_np", (query, flat, dim, k)))
        tasks.append(("top_k_flat", (query.tolist(), flat.tolist(), dim, 7)))
        if n <= 300:
            tasks.append(("top_k", (query.tolist(), matrix.tolist(), 9)))
            slow = [SlowFloat(x) for x in flat.tolist()]
            tasks.append(("top_k_flat", ([SlowFloat(x) for x in query.tolist()], slow, dim, 4)))
        tasks.append(("cosine_similarity", (query.tolist(), flat[:dim].tolist())))
    tasks.append(("top_k_flat", ([1.0], [1.0, 2.0, Raises()], 1, 2)))
    tasks.append(("top_k_flat", ([1.0], [1.0, 2.0], 0, 2)))
    tasks.append(("cosine_similarity", ("a", [1.0])))
    return tasks


def outcome(function, args):
    try:
        return getattr(_velk, function)(*args)
    except BaseException as error:  # noqa: B036 - PanicException included
        return (type(error).__name__, str(error))


def test_threads_see_what_one_thread_sees(deadlock_guard):
    tasks = make_tasks()
    expected = [outcome(f, a) for f, a in tasks]
    failures = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        order = list(range(len(tasks)))
        random.Random(seed).shuffle(order)
        start.wait()
        for _ in range(ROUNDS):
            for i in order:
                got = outcome(*tasks[i])
                if repr(got) != repr(expected[i]):
                    failures.append((tasks[i][0], i, got, expected[i]))

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:3]


FIRST_USE = textwrap.dedent("""
    import faulthandler, threading, _velk
    from array import array
    faulthandler.dump_traceback_later(60, exit=True)
    matrix = array("f", [i % 7 for i in range(64 * 5000)])
    query = array("f", [1.0] * 64)
    results = []
    barrier = threading.Barrier(8)
    def first():
        barrier.wait()
        results.append(_velk.top_k_flat_np(query, matrix, 64, 3))
    threads = [threading.Thread(target=first) for _ in range(8)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    assert len(results) == 8 and all(r == results[0] for r in results), results
    import os, time
    faulthandler.cancel_dump_traceback_later()  # its watchdog is a thread too
    # Finished Python threads may take a moment to leave the kernel's list,
    # and a listing taken while one of them exits can end early, missing the
    # threads after it: wait for the exact count, which a second pool would
    # never let us see.
    for _ in range(500):
        count = len(os.listdir("/proc/self/task"))
        if count == 1 + int(os.environ["RAYON_NUM_THREADS"]):
            break
        time.sleep(0.01)
    print(count)
""")


@pytest.mark.parametrize("threads", ["1", "2", "5"])
def test_first_calls_race_to_start_the_pool(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    done = subprocess.run([sys.executable, "-c", FIRST_USE], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # The main thread and one pool's workers: no second pool was started.
    assert int(done.stdout) == 1 + int(threads)


TINY_CALLS = """
    import faulthandler, _velk
    faulthandler.dump_traceback_later(60, exit=True)
    for i in range(5000):
        rows = 2 + i % 5
        values = [float((i + j) % 4) for j in range(rows * 2)]
        assert len(_velk.top_k_flat([1.0, 0.5], values, 2, rows)) == rows
    print("done")
"""


@pytest.mark.parametrize("threads", ["1", "2", "5"])
def test_many_tiny_parallel_calls_all_return(threads):
    """Thousands of hand-offs of two to six rows each: every job handed to
    the pool wakes its caller (a lost wake-up would hang here)."""
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(TINY_CALLS)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout == "done\n", done.stderr
