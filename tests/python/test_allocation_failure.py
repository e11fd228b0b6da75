"""Allocation failure during a call (issue #14): each site where a call's
memory can be refused raises MemoryError in the caller, prints nothing, and
leaves the process and the worker pool working.

Each case runs in its own interpreter under an address-space limit set just
above what the process already maps, so that the one allocation under test
(its size is in the message) is the one refused."""

import os
import textwrap

import pytest

pytest.importorskip("numpy")

# The sanitizer reserves terabytes of shadow memory up front.
pytestmark = pytest.mark.skipif(os.environ.get("VELK_UNDER_ASAN") == "1",
                                reason="an address-space limit cannot hold under ASan")

MiB = 2**20
N = 8_000_000  # rows of the large inputs below

CHILD = """
    import resource, numpy as np, _velk

    q = [1.0, 2.0, 0.5]
    rows = [[1.0, 0.0, 0.0], [0.0, 2.0, 1.0], [3.0, 1.0, 1.0], [0.0, 0.0, 0.0]]
    flat = [x for r in rows for x in r]
    def normal_calls():
        return (_velk.cosine_similarity(q, rows[2]), _velk.top_k(q, rows, 3),
                _velk.top_k_flat(q, flat, 3, 3),
                _velk.top_k_flat_np(np.array(q, np.float32), np.array(flat, np.float32), 3, 3))
    expected = normal_calls()  # starts the pool too

    {setup}

    def mapped_bytes():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + {budget}, hard))
    try:
        {call}
    except MemoryError as error:
        message = str(error)
    else:
        raise SystemExit("no MemoryError")
    assert normal_calls() == expected  # still under the limit
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert normal_calls() == expected
    print("message:", message)
"""

# (call, setup, address-space budget, message or None for the interpreter's own).
# One case per site: the arguments that share a conversion share a case.
CASES = {
    # A sequence converted to a vector, grown step by step.
    "vector conversion": ("_velk.cosine_similarity(range(10**10), [1.0])", "", 32 * MiB, ...),
    # A list of rows: the values, then the row ends.
    "row values": ("_velk.top_k([1.0], [range(10**10)], 1)", "", 32 * MiB, ...),
    "row ends": ("_velk.top_k([1.0], empty_rows, 1)", "empty_rows = [[]] * (2 * N)",
                 64 * MiB, 16 * N),
    # The pair array, one 16-byte pair per row, made after the conversions: by
    # rows, and flat while the buffers are held (a flat call keeps it only
    # where it cannot rank the rows as they are scored: here a query wider
    # than the rows).
    "top_k pairs": ("_velk.top_k([1.0], one_value_rows, 1)", "one_value_rows = [[1.0]] * N",
                    200 * MiB, 16 * N),
    "top_k_flat_np pairs": ("_velk.top_k_flat_np(np.ones(2, np.float32), m, 1, 3)",
                            "m = np.ones(N, np.float32)", 100 * MiB, 16 * N),
    # The result list, then its tuples: the interpreter's own MemoryError.
    "result list": ("_velk.top_k_flat_np(np.ones(1, np.float32), m, 1, N)",
                    "m = np.ones(N // 4, np.float32)", 32 * MiB + 8 * MiB, None),
    "result tuples": ("_velk.top_k_flat_np(np.ones(1, np.float32), m, 1, N)",
                      "m = np.ones(N // 4, np.float32)", 32 * MiB + 16 * MiB + 64 * MiB, None),
}


@pytest.mark.parametrize("case", CASES)
def test_refused_allocation_raises_memory_error(run_python, case):
    call, setup, budget, message = CASES[case]
    code = textwrap.dedent(CHILD).format(setup=f"N = {N}; {setup}", budget=budget, call=call)
    # One malloc arena: a worker thread's first allocation would otherwise
    # reserve an arena of its own (64 MiB of address space), sometimes inside
    # the call, and take the budget meant for the allocation under test.
    done = run_python(code, env={"MALLOC_ARENA_MAX": "1"})
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    printed = done.stdout.split("message: ", 1)[1].rstrip("\n")
    if message is ...:  # a growing array: its size depends on the growth steps
        assert printed.startswith("memory allocation of ") and printed.endswith(" bytes failed")
    elif message is None:
        assert printed == ""
    else:
        assert printed == f"memory allocation of {message} bytes failed"


ENGINE_CHILD = """
    import resource, numpy as np, velk

    rng = np.random.default_rng(0)
    M = rng.standard_normal(({rows}, {dim})).astype(np.float32)
    Q = rng.standard_normal(({queries}, {dim})).astype(np.float32)
    def small_calls():
        return velk.search_many(Q[:2], M[:100], 5) + velk.search_range(Q[:2], M[:1000], 0.5)
    expected = small_calls()
    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped + {budget}, hard))
    for _ in range({repeats}):
        try:
            {call}
        except MemoryError as error:
            print("message:", error)
    assert all(np.array_equal(a, b) for a, b in zip(expected, small_calls()))
"""

# (rows, dim, queries, call, address-space budget, calls).
ENGINE_CASES = {
    # Room for the results of every row, not for the engine's working memory.
    "top k": (200_000, 4, 32, "velk.search_many(Q, M, 200_000)", 32 * 200_000 * 12 + 10 * MiB, 1),
    # The candidates of a threshold search (here all 128,000,000 pairs) grow
    # on the workers: a worker whose growth is refused goes on to run other
    # rows of the same call before the failure reaches the caller, and must
    # not score them into what the failed rows left behind.
    "range": (2_000_000, 2, 64, "velk.search_range(Q, M, -1.0)", 256 * MiB, 3),
}


@pytest.mark.parametrize("case", ENGINE_CASES)
def test_refused_engine_memory_raises_memory_error(run_python, case):
    rows, dim, queries, call, budget, calls = ENGINE_CASES[case]
    code = textwrap.dedent(ENGINE_CHILD).format(rows=rows, dim=dim, queries=queries,
                                                budget=budget, repeats=calls, call=call)
    done = run_python(code, env={"MALLOC_ARENA_MAX": "1"})
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout.count("message: memory allocation of ") == calls
