"""velk.search and velk.search_many: argument checks, zero-copy reads, and
results that match _velk.top_k_flat_np bit for bit."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import _velk  # noqa: E402
import velk  # noqa: E402
from velk._arrays import as_float32  # noqa: E402


def matrix(rows, dim, seed=0):
    return np.random.default_rng(seed).standard_normal((rows, dim), dtype=np.float32)


def score_bits(scores):
    """Bit patterns of float32 scores widened to float64, NaN sign and payload kept."""
    return np.asarray(scores, dtype=np.float32).astype(np.float64).view(np.uint64)


def module_result(query, embeddings, dim, k):
    pairs = _velk.top_k_flat_np(query, embeddings, dim, k)
    rows = np.array([p[0] for p in pairs], dtype=np.int64)
    bits = np.array([p[1] for p in pairs], dtype=np.float64).view(np.uint64)
    return rows, bits


def assert_same_as_module(result, query, embeddings, dim, k):
    indices, scores = result
    assert indices.dtype == np.int64 and scores.dtype == np.float32
    rows, bits = module_result(query, embeddings, dim, k)
    np.testing.assert_array_equal(indices, rows)
    np.testing.assert_array_equal(score_bits(scores), bits)


@pytest.mark.parametrize("flat", [False, True])
@pytest.mark.parametrize(
    "rows, dim, k",
    [
        (1, 1, 1),
        (12, 4, 3),  # few rows: fully ordered by the module
        (12, 4, 40),  # k above the row count
        (300, 16, 25),
        (2000, 7, 300),  # odd width, large k
        (50, 3, 0),
        (0, 5, 4),  # no rows at all
    ],
)
def test_search_matches_module(rows, dim, k, flat):
    embeddings = matrix(rows, dim, seed=rows + dim)
    query = matrix(1, dim, seed=99)[0]
    if flat:
        result = velk.search(query, embeddings.ravel(), k, dim=dim)
    else:
        result = velk.search(query, embeddings, k)
    assert_same_as_module(result, query, embeddings, dim, k)
    assert result[0].shape == (min(k, rows),)


NAN, NEGATIVE_NAN = np.float32(np.nan), -np.float32(np.nan)


@pytest.mark.parametrize(
    "query, rows",
    [
        # NaN scores keep their sign; the zero row scores 0.0.
        ([NAN, 1, 0], [[1, 0, 0], [0, 0, 0], [0, 1, 0]]),
        ([NEGATIVE_NAN, 1, 0], [[1, 0, 0], [0, 0, 0], [0, 1, 0]]),
        # -0.0 (every product -0.0) after +0.0, both with their sign.
        ([-1, 0, 0], [[0, -1, 0], [1, 1, 0], [0, 0, 0], [0, 1, 0]]),
        # A zero query, or one whose squares underflow, finds nothing.
        ([0, 0, 0], [[1, 0, 0]]),
        ([1e-30, 1e-30, 1e-30], [[1, 0, 0]]),
    ],
)
def test_special_scores_keep_their_bits(query, rows):
    query = np.array(query, dtype=np.float32)
    embeddings = np.array(rows, dtype=np.float32)
    result = velk.search(query, embeddings, len(rows))
    assert_same_as_module(result, query, embeddings, 3, len(rows))


def test_lists_are_converted_like_the_module_converts_them():
    # Issue 14: integers above 2**53 round through a double, as in _velk.
    embeddings = [[0.1, 0.2, 0.3], [0.3, 0.2, 0.1], [1, 2, 3], [True, False, 1e300],
                  [2**60, 0, 2**70], [2**60, 2**60, -(2**64)]]
    query = [2**60 + 2**36 + 1, 2**60, 1]
    result = velk.search(query, embeddings, 4)
    pairs = _velk.top_k_flat(query, [x for row in embeddings for x in row], 3, 4)
    np.testing.assert_array_equal(result[0], [p[0] for p in pairs])
    np.testing.assert_array_equal(
        score_bits(result[1]), np.array([p[1] for p in pairs]).view(np.uint64)
    )


def test_float32_arrays_are_read_in_place():
    embeddings = matrix(8, 4)
    assert as_float32(embeddings, "embeddings", copy=False) is embeddings
    view = memoryview(embeddings)
    assert np.shares_memory(as_float32(view, "embeddings", copy=False), embeddings)


def bad_layouts(make):
    """Arrays that must not reach the module as they are, keyed by what is wrong."""
    return {
        "float64": lambda: make().astype(np.float64),
        "int32": lambda: make().astype(np.int32),
        "big-endian": lambda: make().astype(">f4"),
        "strided": lambda: np.repeat(make(), 2, axis=-1)[..., ::2],
        "reversed": lambda: make()[::-1],
        "misaligned": lambda: misaligned(make()),
    }


def misaligned(values):
    raw = np.zeros(values.size * 4 + 1, dtype=np.uint8)[1:]
    array = raw.view(np.float32).reshape(values.shape)
    array[...] = values
    return array


BAD_QUERIES = bad_layouts(lambda: matrix(1, 4, seed=5)[0])
BAD_MATRICES = bad_layouts(lambda: matrix(20, 4, seed=6))
BAD_MATRICES["column-major"] = lambda: np.asfortranarray(matrix(20, 4, seed=6))
BAD_CASES = [("query", name) for name in sorted(BAD_QUERIES)] + [
    ("embeddings", name) for name in sorted(BAD_MATRICES)
]


@pytest.mark.parametrize("argument, layout", BAD_CASES)
def test_bad_layouts_are_refused_or_copied_on_request(argument, layout):
    arguments = {"query": matrix(1, 4, seed=5)[0], "embeddings": matrix(20, 4, seed=6)}
    bad = (BAD_QUERIES if argument == "query" else BAD_MATRICES)[layout]()
    good = np.require(bad, dtype=np.float32, requirements=["C", "A"])
    wrong_type = bad.dtype != np.float32
    error = TypeError if wrong_type else ValueError
    hint = "numpy.asarray" if wrong_type else "numpy.ascontiguousarray"
    with pytest.raises(error, match=f"{argument} must .*{hint}.*copy=True"):
        velk.search(**{**arguments, argument: bad}, k=6)
    copied = velk.search(**{**arguments, argument: bad}, k=6, copy=True)
    expected = velk.search(**{**arguments, argument: good}, k=6)
    np.testing.assert_array_equal(copied[0], expected[0])
    np.testing.assert_array_equal(score_bits(copied[1]), score_bits(expected[1]))
    assert copied[0].shape == (6,)


E = matrix(10, 4)
Q = E[0]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: velk.search(Q, E[None], 1), ValueError, "2-D .* or 1-D"),
        (lambda: velk.search(Q, E.ravel(), 1), ValueError, "need dim="),
        (lambda: velk.search(Q, E.ravel()[:-1], 1, dim=4), ValueError, "whole number"),
        (lambda: velk.search(Q, E, 1, dim=5), ValueError, "disagrees"),
        (lambda: velk.search(E[0, :3], E, 1), ValueError, "query must be a 1-D array of 4"),
        (lambda: velk.search(E[:2], E, 1), ValueError, "query must be a 1-D array"),
        (lambda: velk.search(Q, np.zeros((3, 0), np.float32), 1), ValueError, "dim is 0"),
        (lambda: velk.search(Q, E.ravel(), 1, dim=0), ValueError, "dim is 0"),
        (lambda: velk.search(Q, E.ravel(), 1, dim=-4), ValueError, "dim must be non-negative"),
        (lambda: velk.search(Q, E, -1), ValueError, "k must be non-negative, got -1"),
        (lambda: velk.search(Q, E, 2.0), TypeError, "k must be an integer, not float"),
        (lambda: velk.search(Q, E, "3"), TypeError, "k must be an integer, not str"),
        (lambda: velk.search(Q, E.ravel(), 1, dim=4.0), TypeError, "dim must be an integer"),
        (lambda: velk.search(["a", "b", "c", "d"], E, 1), TypeError, "real numbers"),
        (lambda: velk.search(Q, E.astype(np.complex64), 1, copy=True), TypeError, "real numbers"),
        (lambda: velk.search_many(Q, E, 1), ValueError, "queries must be a 2-D array"),
        (lambda: velk.search_many(E[:, :3].copy(), E, 1), ValueError, "queries must be a 2-D array"),
        (lambda: velk.search_many(E, E, -2), ValueError, "k must be non-negative"),
        # Issue 14: masks are refused, not silently dropped; a padded k too
        # large to allocate is named.
        (lambda: velk.search(Q, np.ma.masked_array(E, mask=E > 0), 1), TypeError,
         "embeddings is a masked array.*numpy.ma.getdata"),
        (lambda: velk.search(np.ma.masked_array(Q), E, 1, copy=True), TypeError,
         "query is a masked array"),
        # Found by the fuzzer: the half-precision path took masked arrays too.
        (lambda: velk.search(Q, np.ma.masked_array(E.astype(np.float16), mask=True), 1),
         TypeError, "embeddings is a masked array"),
        (lambda: velk.search(np.ma.masked_array(Q.astype(np.float16)), E.astype(np.float16), 1),
         TypeError, "query is a masked array"),
        (lambda: velk.search_many(E, E, 2**64), ValueError, "k=18446744073709551616 is too large"),
        (lambda: velk.search([2**1024, 0, 0, 0], E, 1), OverflowError,
         "query holds an integer too large"),
        (lambda: velk.search(Q, [[1.0] * 4, [1.0] * 3], 1), ValueError,
         "embeddings must be a list of numbers or of rows of equal length"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("k", [0, 1, 7, 30])
def test_search_many_equals_a_loop_of_search(k):
    embeddings = matrix(25, 5, seed=3)
    queries = np.vstack([matrix(4, 5, seed=4), np.zeros((1, 5), np.float32)])
    indices, scores = velk.search_many(queries, embeddings, k)
    assert indices.shape == scores.shape == (5, k)
    assert indices.dtype == np.int64 and scores.dtype == np.float32
    for i, query in enumerate(queries):
        row_indices, row_scores = velk.search(query, embeddings, k)
        found = row_indices.shape[0]
        np.testing.assert_array_equal(indices[i, :found], row_indices)
        np.testing.assert_array_equal(score_bits(scores[i, :found]), score_bits(row_scores))
        # Missing places are padded: index -1, score NaN.
        assert np.all(indices[i, found:] == -1)
        assert np.all(np.isnan(scores[i, found:]))
    assert np.all(indices[4] == -1)  # the zero query finds nothing


def test_import_without_numpy_and_a_clear_error_from_search():
    # numpy is hidden from a fresh interpreter: the package must still import,
    # the module's own functions must still work, and search must say what to do.
    script = (
        "import sys; sys.modules['numpy'] = None\n"
        "import velk\n"
        "assert velk.top_k([1.0, 0.0], [[0.0, 1.0], [1.0, 0.0]], 1) == [(1, 1.0)]\n"
        "try:\n"
        "    velk.search([1.0], [[1.0]], 1)\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "velk[numpy]" in done.stdout


def test_version_is_the_one_pyproject_declares():
    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    declared = tomllib.loads(pyproject.read_text())["project"]["version"]
    assert velk.__version__ == declared


# Issue 14: velk checks every argument itself, so that `_velk` never raises for
# what passes, whatever the values; what passes gives what _velk.top_k_flat
# gives on the same values as lists. Its own errors begin with the argument's
# name or say what is wrong with the rows.
VELK_MESSAGE = re.compile(r"(k|dim|query|queries|embeddings)\b|rows must|\d+ values are not|1-D")

numbers = st.one_of(
    st.integers(-3, 3),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**53 + 1, 2**60 + 2**36 + 1, 2**64, -(2**63) - 1]),
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-4, 4, width=32),
)
good_counts = st.one_of(st.integers(0, 12), st.sampled_from([2**61, 2**64 - 1, 2**64, 2**70]),
                        st.just(np.uint64(2**64 - 1)), st.just(True))
bad_counts = st.sampled_from([-1, 3.0, None, "2", -(2**64)])


@st.composite
def search_arguments(draw):
    """Mostly arguments that pass, and now and then one that does not."""
    def rarely(strategy, otherwise):
        return draw(strategy) if draw(st.integers(0, 5)) == 5 else otherwise

    rows, width = draw(st.integers(0, 5)), rarely(st.just(0), draw(st.integers(1, 4)))
    values = draw(st.lists(st.lists(numbers, min_size=width, max_size=width),
                           min_size=rows, max_size=rows))
    query = draw(st.lists(numbers, min_size=width, max_size=width))
    query = rarely(st.sampled_from([query[:-1], query + [1.0]]), query)
    form = draw(st.sampled_from(["list", "float32", "flat", "float64", "int64"]))
    form = rarely(st.just("3-D"), form)
    dim = rarely(st.one_of(good_counts, bad_counts), draw(st.sampled_from([None, width])))
    if form == "list":
        embeddings = values
    else:
        with np.errstate(over="ignore", invalid="ignore"):
            array = np.array([[float(x) for x in row] for row in values],
                             dtype=np.float64).reshape(rows, width)
            if form == "int64":
                array = np.nan_to_num(array).clip(-(2**62), 2**62).astype(np.int64)
            elif form != "float64":
                array = array.astype(np.float32)
        embeddings = {"flat": array.ravel(), "3-D": array[None]}.get(form, array)
        if form == "flat":
            dim = rarely(st.none(), width)
    k = rarely(bad_counts, draw(good_counts))
    copy = rarely(st.just(False), True) if form in ("float64", "int64") else draw(st.booleans())
    return query, embeddings, k, dim, copy, draw(st.booleans())


@given(search_arguments())
def test_module_never_raises_after_velk_checks(arguments):
    query, embeddings, k, dim, copy, many = arguments
    try:
        if many:
            indices, scores = velk.search_many([query], embeddings, k, dim=dim, copy=copy)
        else:
            found = velk.search(query, embeddings, k, dim=dim, copy=copy)
            indices, scores = found[0][None], found[1][None]
    except (TypeError, ValueError, OverflowError) as error:
        assert VELK_MESSAGE.match(str(error)), repr(error)
        return
    matrix = np.asarray(embeddings if isinstance(embeddings, list) else embeddings, dtype=object)
    width = len(query)
    values = [x.item() if hasattr(x, "item") else x for x in matrix.ravel()]
    pairs = _velk.top_k_flat(query, values, width, min(int(k), len(values) // width))
    assert indices.shape[1] >= len(pairs)
    np.testing.assert_array_equal(indices[0, : len(pairs)], [p[0] for p in pairs])
    np.testing.assert_array_equal(score_bits(scores[0, : len(pairs)]),
                                  np.array([p[1] for p in pairs]).view(np.uint64))
    assert np.all(indices[0, len(pairs):] == -1)
