"""Failures from outside: worker threads that cannot be started, a
PanicException thrown back in from Python code, and forked children of a
process whose pool is already running. Each runs in a fresh interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import _velk

UNINITIALISED = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "


def run(code, **env):
    full = {k: v for k, v in os.environ.items()
            if k not in ("RUST_BACKTRACE", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS",
                         "RUST_MIN_STACK")}
    full.update(env)
    prelude = "import faulthandler; faulthandler.dump_traceback_later(60, exit=True)\n"
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          env=full, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


NO_THREADS = """
    import json, _velk
    from array import array

    def attempt(call):
        try:
            return ["ok", call()]
        except BaseException as error:
            return [type(error).__module__ + "." + type(error).__name__, list(error.args)]

    q, m = array("f", [1.0, 2.0]), array("f", [1.0, 2.0, 2.0, 1.0, 0.0, 3.0])
    print(json.dumps([
        attempt(lambda: _velk.top_k_flat([1.0, 2.0], list(m), 2, 0)),  # never reaches the pool
        attempt(lambda: _velk.top_k_flat([1.0, 2.0], list(m), 2, 2)),
        attempt(lambda: _velk.top_k_flat([1.0, 2.0], list(m), 2, 2)),
        attempt(lambda: _velk.top_k_flat_np(q, m, 2, 3)),
        attempt(lambda: _velk.top_k([1.0, 2.0], [[1.0, 2.0], [2.0, 1.0]], 1)),
        attempt(lambda: _velk.cosine_similarity([1.0, 0.0], [1.0, 1.0])),
    ]))
"""


@pytest.mark.parametrize("stack", [str(2**60), str(2**64 - 1)])
def test_pool_that_cannot_start_threads(stack):
    results, stderr = run(NO_THREADS, RUST_MIN_STACK=stack, RAYON_NUM_THREADS="2")
    early, first, second, from_buffers, listed, cosine = results
    assert early == ["ok", []]
    assert first[0] == "pyo3_runtime.PanicException"
    assert first[1][0].startswith(UNINITIALISED + "IOError(")
    expected_later = ["pyo3_runtime.PanicException",
                      [UNINITIALISED + "GlobalPoolAlreadyInitialized }"]]
    assert second == expected_later and from_buffers == expected_later
    # The calls that never use the pool are untouched.
    assert listed == ["ok", [list(p) for p in _velk.top_k([1.0, 2.0], [[1.0, 2.0], [2.0, 1.0]], 1)]]
    assert cosine == ["ok", 0.7071067690849304]
    # Each panic is reported where it happens, once.
    assert stderr.count("panicked at") == 3
    assert first[1][0] in stderr


RESUMED = """
    import json, _velk

    try:
        _velk.top_k_flat([1.0], [1.0], 0, 1)
    except BaseException as error:
        caught = error
    Panic = type(caught)

    class Subclass(Panic):
        pass

    class Throws:
        def __init__(self, error):
            self.error = error
        def __float__(self):
            raise self.error
        __index__ = __float__

    class Sequence:
        def __init__(self, error):
            self.error = error
        def __len__(self):
            return 2
        def __getitem__(self, i):
            raise self.error

    def attempt(call, error):
        try:
            call()
        except BaseException as got:
            return [type(got).__name__, list(got.args), got is error]
        return ["ok"]

    out = []
    for make in (lambda e: _velk.cosine_similarity([1.0, Throws(e)], [1.0]),
                 lambda e: _velk.top_k([1.0], [[1.0], Sequence(e)], 1),
                 lambda e: _velk.top_k_flat(Sequence(e), [1.0], 1, 1),
                 lambda e: _velk.top_k_flat_np(b"", b"", Throws(e), 1)):
        error = Panic("thrown back in")
        out.append(attempt(lambda: make(error), error))
        sub = Subclass("only a subclass")
        out.append(attempt(lambda: make(sub), sub))
    print(json.dumps([list(caught.args), out]))
"""


def test_panic_exception_from_python_is_resumed():
    (first, results), stderr = run(RESUMED)
    assert first == ["attempt to divide by zero"]
    resumed, passed_through = results[0::2], results[1::2]
    # The exact class: a new PanicException with the same message.
    assert resumed == [["PanicException", ["thrown back in"], False]] * 4
    # A subclass is an ordinary exception and travels unchanged.
    assert passed_through == [["Subclass", ["only a subclass"], True]] * 4
    notice = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
              "Python stack trace below:\n")
    assert stderr.count(notice) == 4
    # The Python traceback shows each one; resuming is not a new panic report.
    assert stderr.count("PanicException: thrown back in") == 4
    assert stderr.count("panicked at") == 1


FORKED = """
    import json, multiprocessing, os, time, warnings, _velk
    warnings.simplefilter("ignore")  # fork of a multi-threaded process

    values = [float(i % 5) for i in range(3000 * 4)]
    def score(k):
        return _velk.top_k_flat([1.0, 2.0, 3.0, 4.0], values, 4, k)

    before = score(5)  # the pool is running from here on
    if os.environ.get("VELK_UNDER_ASAN"):
        # The sanitizer's allocator is not fork-safe: a worker caught inside
        # free() at the moment of the fork leaves its lock held in the child.
        # Let the workers fall asleep first.
        time.sleep(0.5)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if score(5) == before and score(3000) == score(3000) else 3)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            raise SystemExit("forked child hung")
        time.sleep(0.01)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        mapped = pool.map_async(score, [1, 5, 50]).get(timeout=60)
    print(json.dumps([os.waitstatus_to_exitcode(status), mapped == [score(1), score(5), score(50)],
                      score(5) == before]))
"""


@pytest.mark.parametrize("threads", ["1", "3"])
def test_forked_children_use_the_pool(threads):
    assert run(FORKED, RAYON_NUM_THREADS=threads)[0] == [0, True, True]


# Issue 14: at shutdown CPython 3.12 and 3.13 end a daemon thread that asks
# for the interpreter lock back with pthread_exit, and the unwinding ran our
# cleanups, which dropped references with no lock and crashed the process.
# Each hook below gives the lock up inside a call (or inside a release made by
# the call), so daemon threads looping on them are ended in the middle of one.
IN_CALL_AT_EXIT = """
    import sys, threading, time, _velk

    def nap():
        time.sleep(0.0005)

    class Float:
        def __float__(self): nap(); return 1.0
    class Index:
        def __index__(self): nap(); return 1
    class Sized(list):
        def __len__(self): nap(); return super().__len__()
    class Iterable(list):
        def __iter__(self): nap(); return super().__iter__()
    class Raises:
        def __float__(self): nap(); raise TypeError("refused")
    class Dying:
        def __float__(self): return 1.0
        def __del__(self): nap()
    class Fresh:  # a new item per index: the call holds its last reference
        def __len__(self): return 2
        def __getitem__(self, i):
            if i >= 2: raise IndexError
            return Dying()
    class Exporter:
        def __init__(self, nap_on_release=False):
            self.data, self.nap_on_release = memoryview(bytearray(8)).cast("f"), nap_on_release
        def __buffer__(self, flags):
            if not self.nap_on_release: nap()
            return self.data
        def __release_buffer__(self, view):
            if self.nap_on_release: nap()

    def failing(call):
        def attempt():
            try:
                call()
            except TypeError:
                pass
        return attempt

    calls = {
        "cosine_similarity": [
            lambda: _velk.cosine_similarity([Float(), 1.0], [1.0, 2.0]),
            lambda: _velk.cosine_similarity([Index()], Sized([1.0])),
            lambda: _velk.cosine_similarity(Iterable([1.0, 2.0]), Fresh()),
            failing(lambda: _velk.cosine_similarity([Raises()], [1.0])),
            failing(lambda: _velk.cosine_similarity(1, [1.0])),
        ],
        "top_k": [
            lambda: _velk.top_k([1.0], [[1.0], [Float()]], 1),
            lambda: _velk.top_k([1.0], [Sized([1.0])], Index()),
            lambda: _velk.top_k(Fresh(), Iterable([[1.0, 2.0]]), 1),
            failing(lambda: _velk.top_k([1.0], [[Raises()]], 1)),
        ],
        "top_k_flat": [
            lambda: _velk.top_k_flat([1.0], [1.0, Float()], Index(), 2),
            lambda: _velk.top_k_flat(Sized([1.0]), Iterable([1.0, 2.0]), 1, 2),
            lambda: _velk.top_k_flat([1.0], Fresh(), 1, 2),
            failing(lambda: _velk.top_k_flat([1.0], [1.0], 1, Raises())),
        ],
        "top_k_flat_np": [
            lambda: _velk.top_k_flat_np(Exporter(), Exporter(), 2, Index()),
            lambda: _velk.top_k_flat_np(Exporter(True), Exporter(True), 2, 1),
            failing(lambda: _velk.top_k_flat_np(Exporter(), Exporter(), 2, Raises())),
        ],
    }.get(sys.argv[1])
    if calls is None:  # velk's engine, which gives the lock up while it scores
        import numpy, velk
        matrix = numpy.ones((1 << 14, 32), numpy.float32)
        calls = [lambda: velk.search(matrix[0], matrix, 3),
                 lambda: velk.search_many(matrix[:4], matrix, 3)]

    def loop(call):
        while True:
            call()

    for call in calls:
        call()
        threading.Thread(target=loop, args=(call,), daemon=True).start()
    time.sleep(0.05)
"""


@pytest.mark.skipif(os.environ.get("VELK_UNDER_ASAN") == "1",
                    reason="AddressSanitizer does not follow the unwind pthread_exit starts: "
                    "the frames it pops keep their poisoned redzones, and the allocator "
                    "calls of the cleanups above them are reported")
@pytest.mark.parametrize("function", ["cosine_similarity", "top_k", "top_k_flat",
                                      "top_k_flat_np", "velk"])
def test_exit_with_daemon_threads_inside_calls(function):
    if function == "velk":
        pytest.importorskip("numpy")
    env = {k: v for k, v in os.environ.items() if k != "RUST_BACKTRACE"}
    code = textwrap.dedent(IN_CALL_AT_EXIT)
    for _ in range(4):
        runs = [subprocess.Popen([sys.executable, "-c", code, function], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for _ in range(4)]
        for process in runs:
            _, stderr = process.communicate(timeout=120)
            assert (process.returncode, stderr) == (0, "")


# A call with progress reports takes the lock between its steps; a daemon
# thread whose first report came once the interpreter had begun to shut down
# (here held in a finalizer) aborted the process.
REPORTING_AT_EXIT = """
    import os, sys, threading, time, types, numpy as np, velk

    matrix = np.random.default_rng(0).standard_normal((100_000, 64)).astype(np.float32)
    queries = matrix[:2000].copy()
    started = threading.Barrier(3)

    def report(done, total):
        pass

    def run(call):
        started.wait()
        call()

    for call in (lambda: velk.search_many(queries, matrix, 5, progress=report),
                 lambda: velk.search_range(queries, matrix, 0.9, progress=report)):
        threading.Thread(target=run, args=(call,), daemon=True).start()

    class SlowToGo:
        def __del__(self, sleep=time.sleep):
            sleep(0.5)

    holder = types.ModuleType("holder")  # finalized after the shutdown began
    holder.slow = SlowToGo()
    sys.modules["holder"] = holder
    started.wait()
    time.sleep(0.03)  # the calls are in the engine, before their first report
"""


def test_exit_while_daemon_threads_report_progress(run_python):
    pytest.importorskip("numpy")
    done = run_python(REPORTING_AT_EXIT)
    assert (done.returncode, done.stderr) == (0, "")
