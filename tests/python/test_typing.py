"""The type stub of _velk and the annotations of velk, checked with mypy --strict."""

import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _velk

ROOT = Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"


@pytest.fixture(scope="module")
def mypy_report():
    """mypy's error lines for the typed usage, the misuse file and the package."""
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    ver = "%d.%d" % sys.version_info[:2]
    done = subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
            "--cache-dir", str(ROOT / "build" / f"mypy-cache-{ver}"),
            str(TYPING / "usage.py"), str(TYPING / "misuse.py"), str(ROOT / "python" / "velk"),
        ],
        # The stub and package of the source tree, not an installed copy.
        env={**os.environ, "MYPYPATH": str(ROOT / "python")},
        capture_output=True, text=True, timeout=300, cwd=ROOT,
    )
    return error_lines(done)


def error_lines(done):
    """{file name: {line: message}} from a mypy run."""
    assert done.returncode in (0, 1), done.stdout + done.stderr
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(r"(.+?):(\d+): error: (.*)", line)
        if found:
            errors.setdefault(Path(found[1]).name, {})[int(found[2])] = found[3]
    return errors


def marked_lines():
    lines = (TYPING / "misuse.py").read_text().splitlines()
    marked = {number for number, line in enumerate(lines, 1) if line.endswith("# error")}
    assert marked, "misuse.py marks no line"
    return marked


@pytest.mark.parametrize("name", ["usage.py", "__init__.py", "_arrays.py", "_self_join.py",
                                  "dask.py"])
def test_clean_under_strict_checking(mypy_report, name):
    assert mypy_report.get(name, {}) == {}


def test_each_misuse_is_rejected_and_nothing_else(mypy_report):
    assert set(mypy_report.get("misuse.py", {})) == marked_lines()


def test_typed_usage_runs():
    pytest.importorskip("numpy")
    done = subprocess.run(
        [sys.executable, str(TYPING / "usage.py")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr


def stub_functions():
    tree = ast.parse((ROOT / "python" / "_velk.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_lists_exactly_the_module_functions():
    assert sorted(stub_functions()) == sorted(_velk.__all__)


@pytest.mark.parametrize("name", sorted(stub_functions()))
def test_stub_parameters_match_the_module(name):
    # Keyword calls type-check only if the stub names the parameters as the
    # module does, all of them positional-or-keyword.
    stub = stub_functions()[name].args
    assert not stub.posonlyargs and not stub.kwonlyargs and stub.vararg is None
    runtime = inspect.signature(getattr(_velk, name)).parameters.values()
    assert [a.arg for a in stub.args] == [p.name for p in runtime]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime)
