"""What `import _velk` gives: the module, its four functions and their metadata."""

import importlib
import json
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _velk

NP_DOC = ("Zero-copy variant \u2014 accepts numpy float32 arrays via the Python buffer protocol.\n"
          "The caller must ensure the arrays are C-contiguous float32.")


def test_module_surface():
    assert _velk.__all__ == ["cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]
    assert _velk.__doc__ == ""
    assert _velk.__name__ == "_velk"


@pytest.mark.parametrize("name, signature, doc", [
    ("cosine_similarity", "(a, b)", None),
    ("top_k", "(query, embeddings, k)", None),
    ("top_k_flat", "(query, embeddings, dim, k)", None),
    ("top_k_flat_np", "(query, embeddings, dim, k)", NP_DOC),
])
def test_function_metadata(name, signature, doc):
    function = getattr(_velk, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__name__ == name
    assert function.__module__ == "_velk"
    assert function.__self__ is _velk


def test_panic_exception_class_is_not_exported():
    assert not [value for value in vars(_velk).values()
                if isinstance(value, type) and issubclass(value, BaseException)]


def test_reimport_after_removal_gives_the_same_module():
    first = sys.modules.pop("_velk")
    try:
        again = importlib.import_module("_velk")
        assert again is first
        assert again.__all__ == ["cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]
    finally:
        sys.modules["_velk"] = first


def test_second_interpreter_is_refused(run_python, tmp_path):
    out = tmp_path / "message"
    inner = (
        "try:\n"
        "    import _velk\n"
        "    message = 'imported'\n"
        "except ImportError as error:\n"
        "    message = f'ImportError: {error}'\n"
        f"open({str(out)!r}, 'w').write(message)\n")
    result = run_python(f"""
        import _velk
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(77)
        _testcapi.run_in_subinterp({inner!r})
        print(_velk.cosine_similarity([1.0], [1.0]))
    """)
    if result.returncode == 77:
        pytest.skip("no _testcapi to start a subinterpreter")
    assert result.returncode == 0, result.stderr
    # Issue 14: the address is ours, the guide's section on subinterpreters.
    assert out.read_text() == f"ImportError: {REFUSAL}"
    # The refusal leaves the first interpreter's module working.
    assert result.stdout.strip() == "1.0"


REFUSAL = "PyO3 modules do not yet support subinterpreters, see docs/guide.md#subinterpreters"

SUBINTERPRETERS_FIRST = """
    import json, sys
    try:  # 3.13 and later
        import _interpreters as interpreters
        def create(isolated):
            return interpreters.create(interpreters.new_config("isolated" if isolated else "legacy"))
        def attempt(interpreter, code):
            failed = interpreters.run_string(interpreter, code)
            return None if failed is None else f"{failed.type.__name__}: {failed.msg}"
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters  # 3.12
        except ImportError:
            raise SystemExit(77)
        def create(isolated):
            return interpreters.create(isolated=isolated)
        def attempt(interpreter, code):
            try:
                interpreters.run_string(interpreter, code)
            except interpreters.RunFailedError as failed:
                return str(failed).replace("<class 'ImportError'>", "ImportError")

    seen = []
    for isolated in json.loads(sys.argv[1]):
        interpreter = create(isolated)
        seen.append(attempt(interpreter, "import _velk"))
        seen.append(attempt(interpreter, "import _velk"))  # refused again, not cached
        interpreters.destroy(interpreter)
    import _velk
    seen.append(_velk.cosine_similarity([1.0], [2.0]))
    print(json.dumps(seen))
"""


# Issue 14: on 3.12 a subinterpreter that imported first (even an isolated one,
# whose import the interpreter refuses anyway) locked the main one out.
@pytest.mark.parametrize("order", [[False], [True], [True, False, True]])
def test_subinterpreters_first_never_lock_the_main_interpreter_out(order):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(SUBINTERPRETERS_FIRST),
                           json.dumps(order)], capture_output=True, text=True, timeout=120)
    if done.returncode == 77:
        pytest.skip("no module to start subinterpreters with")
    assert done.returncode == 0, done.stderr
    *refusals, main = json.loads(done.stdout)
    assert main == 1.0
    assert len(refusals) == 2 * len(order)
    for refusal, isolated in zip(refusals, [i for i in order for _ in "ab"]):
        # An isolated interpreter may be refused by the interpreter itself first.
        assert refusal == f"ImportError: {REFUSAL}" or (
            isolated and refusal.startswith("ImportError: module _velk does not support"))


def extension_modules():
    """Every compiled module this project installs, with its import name."""
    import velk
    found = {"_velk": Path(_velk.__file__)}
    for path in Path(velk.__file__).parent.glob("*.cpython-*.so"):
        found["velk." + path.name.split(".")[0]] = path
    return found


@pytest.mark.skipif(shutil.which("nm") is None, reason="no nm")
@pytest.mark.parametrize("name", sorted(extension_modules()))
def test_extension_exports_only_its_init_function(name):
    # Anything else in the dynamic symbol table (the standard library's
    # typeinfo, inline templates, local statics) may bind to another
    # module's copy when both are loaded.
    done = subprocess.run(["nm", "-D", "--defined-only", str(extension_modules()[name])],
                          capture_output=True, text=True, check=True)
    exported = {line.split()[-1] for line in done.stdout.splitlines() if line.strip()}
    assert exported == {"PyInit_" + name.rsplit(".", 1)[-1]}


@pytest.mark.skipif(shutil.which("nm") is None, reason="no nm")
def test_core_library_exports_only_the_init_functions_of_the_modules():
    import velk
    core = Path(velk.__file__).parent / "libvelk_core.so"
    done = subprocess.run(["nm", "-D", "--defined-only", str(core)],
                          capture_output=True, text=True, check=True)
    exported = {line.split()[-1] for line in done.stdout.splitlines() if line.strip()}
    assert exported == {"velk_core_init_velk", "velk_core_init_engine"}
