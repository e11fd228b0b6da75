"""Panics of native code as PanicException, and what they print on stderr."""

import re

import pytest

import _velk

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")

REPORT = re.compile(r"\nthread '<unnamed>' \(\d+\) panicked at src/[\w/]+\.cc:\d+:\d+:\n"
                    r"attempt to divide by zero\n")
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
SHORT_NOTE = "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace."


def caught_panic(call):
    try:
        call()
    except Exception:  # noqa: BLE001 - the point is that this does not catch it
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as error:  # noqa: BLE001
        return error
    pytest.fail("no panic")


@pytest.mark.parametrize("call", [
    lambda: _velk.top_k_flat([1.0], [1.0, 2.0], 0, 1),
    lambda: _velk.top_k_flat([], [], 0, 0),
    lambda: _velk.top_k_flat(query=[1.0], embeddings=[], k=5, dim=0),
])
def test_zero_dim_panics(call):
    error = caught_panic(call)
    assert error.args == ("attempt to divide by zero",)
    cls = type(error)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == (
        "pyo3_runtime", "PanicException", "PanicException")
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__ == PANIC_DOC


def test_one_panic_class_per_process():
    first = caught_panic(lambda: _velk.top_k_flat([1.0], [1.0], 0, 1))
    second = caught_panic(lambda: _velk.top_k_flat([], [], 0, 1))
    assert type(first) is type(second)
    # The module keeps working after a panic.
    assert _velk.top_k_flat([1.0], [1.0, 1.0], 1, 5) == [(0, 1.0), (1, 1.0)]


TWO_PANICS = """
    import _velk
    for _ in range(2):
        try:
            _velk.top_k_flat([1.0], [1.0], 0, 1)
        except BaseException as error:
            assert type(error).__name__ == "PanicException"
    print("done")
"""


@pytest.mark.parametrize("env, trace", [
    ({}, "note"),
    ({"RUST_BACKTRACE": "0"}, "note"),
    ({"RUST_BACKTRACE": "1"}, "short"),
    ({"RUST_BACKTRACE": "yes"}, "short"),
    ({"RUST_BACKTRACE": "full"}, "full"),
    ({"RUST_BACKTRACE": "\u00e9t\u00e9"}, "short"),
    # A value that is not UTF-8 text counts as unset.
    ({"RUST_BACKTRACE": b"1\xff"}, "note"),
    ({"RUST_BACKTRACE": b"\xc0\xb1"}, "note"),  # an overlong "1"
    ({"RUST_BACKTRACE": b"\xed\xa0\x80"}, "note"),  # a surrogate
])
def test_panic_report_on_stderr(run_python, env, trace):
    result = run_python(TWO_PANICS, env)
    assert result.returncode == 0 and result.stdout == "done\n", result.stderr
    err = result.stderr
    assert len(REPORT.findall(err)) == 2
    if trace == "note":
        # The note follows the first report only.
        assert err.count(NOTE) == 1
        assert REPORT.match(err) and err.index(NOTE) < REPORT.search(err, 1).start()
        assert "stack backtrace:" not in err
    else:
        assert NOTE not in err
        assert err.count("stack backtrace:\n") == 2
        assert err.count(SHORT_NOTE) == (2 if trace == "short" else 0)


RESUMED = """
    import _velk
    try:
        _velk.top_k_flat([1.0], [1.0], 0, 1)
    except BaseException as error:
        first = error

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    class Relay:
        def __float__(self):
            raise {raised}

    try:
        _velk.cosine_similarity([1.0, Relay()], [1.0])
    except BaseException as error:
        assert type(error) is type(first) and error is not first, repr(error)
        print(repr(error.args))
"""


@pytest.mark.parametrize("raised, message, shown", [
    ("first", "attempt to divide by zero", "PanicException: attempt to divide by zero"),
    # A panic whose text cannot be had still comes back as a panic.
    ("type(first)(Unprintable())", "Unwrapped panic from Python code", "PanicException"),
])
def test_panic_exception_from_python_code_is_resumed(run_python, raised, message, shown):
    result = run_python(RESUMED.replace("{raised}", raised))
    assert result.returncode == 0, result.stderr
    assert result.stdout == repr((message,)) + "\n"
    err = result.stderr
    notice = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
              "Python stack trace below:\n")
    assert err.count(notice) == 1
    after = err[err.index(notice) + len(notice):]
    assert after.startswith("Traceback (most recent call last):\n")
    assert "in __float__" in after
    assert shown in after
    # Resuming does not report the panic a second time.
    assert len(REPORT.findall(err)) == 1


OUT_OF_MEMORY = """
    import _velk, _testcapi
    query, values = [1.0], [1.0]
    for dim in (1, 0):  # start the pool and make the panic class while memory lasts
        try:
            _velk.top_k_flat(query, values, dim, 1)
        except BaseException:
            pass
    _testcapi.set_nomemory(0)
    # The panic's message cannot become a str: the interpreter's MemoryError
    # is raised instead, from its reserve of ready-made instances.
    try:
        _velk.top_k_flat(query, values, 0, 1)
    except BaseException as error:
        caught = error
    _testcapi.remove_mem_hooks()
    print(type(caught).__name__)
"""


# Issue #14: an error that cannot be built for want of memory used to abort
# the process; the caller now gets MemoryError and the process goes on.
def test_error_that_cannot_be_built_becomes_memory_error(run_python):
    result = run_python("""
        try:
            import _testcapi
            _testcapi.set_nomemory
        except (ImportError, AttributeError):
            raise SystemExit(77)
    """)
    if result.returncode == 77:
        pytest.skip("needs _testcapi.set_nomemory")
    result = run_python(OUT_OF_MEMORY)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "MemoryError\n"
    assert "aborting" not in result.stderr
