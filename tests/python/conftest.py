"""Shared helpers of the _velk binding tests."""

import math
import os
import subprocess
import sys
import textwrap
from array import array

import pytest


def f32(x):
    """Rounds a Python float to the nearest binary32 value (overflow gives inf)."""
    return array("f", [x])[0]


def reference_cosine(a, b):
    """Binary32 cosine in the module's order: one chain from -0.0 per sum,
    product rounded, then sum rounded. Double arithmetic rounded to binary32
    after each step is exact here (53 >= 2*24 + 2)."""
    a = [f32(x) for x in a]
    b = [f32(x) for x in b]

    def chain(pairs):
        acc = -0.0
        for x, y in pairs:
            acc = f32(acc + f32(x * y))
        return acc

    d = chain(zip(a, b))
    sa = chain(zip(a, a))
    sb = chain(zip(b, b))
    if sa == 0 or sb == 0:
        return 0.0
    return f32(d / f32(f32(math.sqrt(sa)) * f32(math.sqrt(sb))))


def bits(value):
    """Bit pattern of a Python float, so that NaN signs and -0.0 compare."""
    return array("d", [value]).tobytes()


@pytest.fixture
def sigint_raises():
    """Python's own SIGINT handler for the test: a runner started in the
    background by a shell without job control inherits SIGINT ignored, and
    then no Ctrl-C reaches the interpreter at all."""
    import signal

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter with RUST_BACKTRACE unset unless given."""

    def run(code, env=None):
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("RUST_BACKTRACE", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
        full_env.update(env or {})
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, env=full_env, timeout=120)

    return run


# Randomised tests: a fixed, moderate budget in CI (derandomised, so every run
# tries the same examples); tools/run-soak selects the long "soak" profile.
try:
    from hypothesis import HealthCheck, settings as _hypothesis_settings
except ImportError:
    pass
else:
    _hypothesis_settings.register_profile(
        "ci", max_examples=200, deadline=None, derandomize=True, database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    _hypothesis_settings.register_profile(
        "asan", max_examples=100, deadline=None, derandomize=True, database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    _hypothesis_settings.register_profile(
        "soak", max_examples=5000, deadline=None, database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    _hypothesis_settings.load_profile(os.environ.get("VELK_HYPOTHESIS_PROFILE", "ci"))


def pytest_terminal_summary(terminalreporter):
    """Shows how many hostile-argument calls the run made."""
    hostile = sys.modules.get("test_hostile")
    if hostile is not None and getattr(hostile, "CASES_TRIED", 0):
        terminalreporter.write_line(f"hostile arguments: {hostile.CASES_TRIED} calls tried")
