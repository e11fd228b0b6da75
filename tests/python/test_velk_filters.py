"""velk.search, search_many and search_range over float16 and bfloat16 matrices,
with row filters, thresholds and progress reports, judged by two models: the
float32 search of the exactly widened matrix, and the search over the allowed
rows alone with their row numbers mapped back."""

import signal
import sys

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import velk  # noqa: E402

ELEMENTS = ["float32", "float16", "bfloat16"]


def widened(bits, element):
    """The float32 value of each element, computed without velk."""
    if element == "float16":
        return bits.view(np.float16).astype(np.float32)
    return (bits.astype(np.uint32) << 16).view(np.float32)


def narrowed(values, element):
    """float32 values stored as `element`: (the array velk gets, its float32 model)."""
    if element == "float32":
        return values, values
    if element == "float16":
        stored = values.astype(np.float16)
        return stored, stored.astype(np.float32)
    bits = (values.view(np.uint32) >> 16).astype(np.uint16)
    return bits, widened(bits, element)


def assert_same(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        assert a.dtype == b.dtype
        np.testing.assert_array_equal(a.view(np.uint32) if a.dtype == np.float32 else a,
                                      b.view(np.uint32) if b.dtype == np.float32 else b)


@st.composite
def problems(draw):
    rows = draw(st.integers(0, 70))
    dim = draw(st.sampled_from([1, 3, 8, 17, 33]))
    element = draw(st.sampled_from(ELEMENTS))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if element != "float32" and draw(st.booleans()):
        # Any bits: subnormals, infinities and NaNs with payloads.
        stored = rng.integers(0, 2**16, size=(rows, dim), dtype=np.uint16)
        model = widened(stored, element)
    else:
        # Small integers make equal scores common; copied rows make them certain.
        values = rng.integers(-2, 3, size=(rows, dim)).astype(np.float32)
        for _ in range(draw(st.integers(0, 4)) if rows else 0):
            values[rng.integers(rows)] = values[rng.integers(rows)]
        if rows and draw(st.booleans()):
            values[rng.integers(rows)] = draw(st.sampled_from([0.0, np.nan, np.inf]))
        stored, model = narrowed(values, element)
    queries = rng.integers(-2, 3, size=(draw(st.integers(0, 4)), dim)).astype(np.float32)
    if len(queries) and rows and draw(st.booleans()):
        queries[0] = model[0]
    where = None
    if draw(st.booleans()):
        where = rng.random(rows) < draw(st.sampled_from([0.0, 0.1, 0.5, 1.0]))
    k = draw(st.integers(0, rows + 2))
    return element, stored, model, queries, where, k


def subset_top_k(queries, model, where, k):
    """The float32 search over the allowed rows, their indices mapped back."""
    allowed = np.arange(len(model)) if where is None else np.flatnonzero(where)
    indices, scores = velk.search_many(queries, np.ascontiguousarray(model[allowed]), k)
    mapped = np.append(allowed, -1)[indices]  # -1, the padding, stays -1
    return mapped.astype(np.int64), scores


def velk_matrix(stored, element, raw):
    """The matrix as a user passes it: its own dtype, or uint16 bits named by dtype=
    (float16 by numpy's type rather than its name)."""
    if element != "float32" and (raw or stored.dtype == np.uint16):
        return dict(embeddings=stored.view(np.uint16),
                    dtype=np.float16 if element == "float16" else element)
    return dict(embeddings=stored)


@given(problems(), st.booleans(), st.data())
def test_searches_equal_the_float32_search_over_the_allowed_rows(problem, raw, data):
    element, stored, model, queries, where, k = problem
    matrix = velk_matrix(stored, element, raw)
    got = velk.search_many(queries, k=k, where=where, **matrix)
    assert_same(got, subset_top_k(queries, model, where, k))
    for query in queries[:1]:
        single = velk.search(query, k=k, where=where, **matrix)
        found = np.count_nonzero(got[0][0] >= 0)
        assert_same(single, (got[0][0, :found], got[1][0, :found]))
    # Every allowed row at or above the threshold: the head of the full ranking.
    rows = len(model) if where is None else int(np.count_nonzero(where))
    full = subset_top_k(queries, model, where, rows)
    finite = full[1][np.isfinite(full[1])]
    threshold = data.draw(st.sampled_from(list(finite.astype(float)) or [0.5]))
    # A threshold just off a score in double precision: compared as real numbers.
    threshold = data.draw(st.sampled_from([threshold, np.nextafter(threshold, 2.0),
                                           np.nextafter(threshold, -2.0), -np.inf]))
    lims, indices, scores = velk.search_range(queries, threshold=threshold, where=where,
                                              **matrix)
    assert lims.dtype == np.int64 and lims.shape == (len(queries) + 1,) and lims[0] == 0
    for q in range(len(queries)):
        keep = (full[0][q] >= 0) & (full[1][q].astype(float) >= threshold)
        assert_same((indices[lims[q]:lims[q + 1]], scores[lims[q]:lims[q + 1]]),
                    (full[0][q][keep], full[1][q][keep]))
        if q == 0:
            assert_same(velk.search_range(queries[0], threshold=threshold, where=where,
                                          **matrix),
                        (indices[:lims[1]], scores[:lims[1]]))
    # The matrix's own type as the query: widened exactly before the call.
    if element != "float32" and len(queries):
        own = narrowed(queries, element)
        own_query = own[0]
        assert_same(velk.search_many(own_query, k=k, where=where, **matrix),
                    subset_top_k(own[1], model, where, k))


@given(st.integers(0, 60), st.sampled_from([1, 3, 16, 33]), st.sampled_from(ELEMENTS),
       st.integers(1, 9), st.integers(0, 2**32 - 1), st.data())
def test_a_matrix_against_itself_scores_each_pair_once_with_the_same_results(
        rows, dim, element, block, seed, data):
    rng = np.random.default_rng(seed)
    values = rng.integers(-2, 3, size=(rows, dim)).astype(np.float32)
    for _ in range(data.draw(st.integers(0, 5)) if rows else 0):
        values[rng.integers(rows)] = values[rng.integers(rows)]
    for special in data.draw(st.lists(st.sampled_from([0.0, np.nan, np.inf, 1e-45]), max_size=3)):
        if rows:
            values[rng.integers(rows), rng.integers(dim)] = special
    if rows and data.draw(st.booleans()):
        values[rng.integers(rows)] = 0.0
    stored, _ = narrowed(values, element)
    matrix = velk_matrix(stored, element, raw=False)
    threshold = data.draw(st.sampled_from([1e-30, 0.1, 0.5, 0.9, 1.0, 0.0, -0.5]))
    from velk import _self_join

    with pytest.MonkeyPatch.context() as patch:
        # Blocks of a few rows, so that small matrices take the paired path.
        patch.setattr(_self_join, "MIN_PASS", block)
        patch.setattr(_self_join, "MAX_PASS", block)
        patch.setattr(_self_join, "MIN_PAIRS", 0)
        # Where the first block finds many rows the others take the plain search.
        patch.setattr(_self_join, "DENSE_PER_VALUE", data.draw(st.sampled_from([0.0, 1e9])))
        paired, reports = [], []
        real = _self_join.search_range_self
        patch.setattr(_self_join, "search_range_self",
                      lambda *args: paired.append(1) or real(*args))
        got = velk.search_range(matrix["embeddings"], threshold=threshold,
                                progress=lambda d, t: reports.append((d, t)), **matrix)
    # The plain search: a copy of the matrix as the queries.
    expected = velk.search_range(matrix["embeddings"].copy(), threshold=threshold, **matrix)
    assert_same(got, expected)
    assert bool(paired) == (threshold > 0 and rows > block)
    assert reports[-1] == (rows * rows, rows * rows)
    assert [d for d, _ in reports] == sorted(d for d, _ in reports)


@given(st.integers(0, 1200), st.sampled_from([1, 3, 16, 33]), st.sampled_from(ELEMENTS),
       st.integers(0, 2**32 - 1), st.data())
def test_a_matrix_top_k_against_itself_scores_each_pair_once_with_the_same_results(
        rows, dim, element, seed, data):
    # The engine takes passes of 256 rows or more: hundreds of rows make
    # several, each offering its scores to the later rows' lists.
    rng = np.random.default_rng(seed)
    values = rng.integers(-2, 3, size=(rows, dim)).astype(np.float32)
    values[~values.any(axis=1), 0] = 1.0
    for _ in range(data.draw(st.integers(0, 50)) if rows else 0):
        values[rng.integers(rows)] = values[rng.integers(rows)]
    if rows and data.draw(st.booleans()):
        # A row the paired search cannot take: the plain search runs.
        values[rng.integers(rows), rng.integers(dim)] = data.draw(
            st.sampled_from([np.nan, np.inf]))
    stored, _ = narrowed(values, element)
    matrix = velk_matrix(stored, element, raw=data.draw(st.booleans()))
    k = data.draw(st.sampled_from([1, 3, 10, rows + 1]))
    from velk import _engine, _self_join

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_self_join, "MIN_PAIRS", 0)
        asked, reports = [], []
        real = _engine.search_batch
        patch.setattr(_engine, "search_batch",
                      lambda *args, **kw: asked.append(kw["paired"]) or real(*args, **kw))
        got = velk.search_many(matrix["embeddings"], k=k,
                               progress=lambda d, t: reports.append((d, t)), **matrix)
    expected = velk.search_many(matrix["embeddings"].copy(), k=k, **matrix)
    assert_same(got, expected)
    assert asked == [True]
    if rows:
        assert reports[-1] == (rows * rows, rows * rows)
        assert [d for d, _ in reports] == sorted(d for d, _ in reports)


def test_ml_dtypes_bfloat16_is_read_as_its_bits():
    ml_dtypes = pytest.importorskip("ml_dtypes")
    rng = np.random.default_rng(3)
    values = rng.standard_normal((300, 24)).astype(ml_dtypes.bfloat16)
    bits = values.view(np.uint16)
    model = widened(bits, "bfloat16")
    queries = rng.standard_normal((5, 24)).astype(ml_dtypes.bfloat16)
    expected = velk.search_many(queries.astype(np.float32), model, 7)
    assert_same(velk.search_many(queries, values, 7), expected)
    assert_same(velk.search_many(queries.view(np.uint16), bits, 7, dtype="bfloat16"), expected)
    assert_same(velk.search_many(queries, bits, 7, dtype=ml_dtypes.bfloat16), expected)
    assert_same(velk.search(queries[0], values, 7),
                velk.search(queries[0].astype(np.float32), model, 7))


def test_progress_reports_and_keeps_results(monkeypatch, capsys):
    rng = np.random.default_rng(5)
    matrix = rng.integers(-2, 3, size=(400, 16)).astype(np.float16)
    queries = rng.integers(-2, 3, size=(70, 16)).astype(np.float32)
    total = 70 * 400
    calls = []
    many = velk.search_many(queries, matrix, 5, progress=lambda d, t: calls.append((d, t)))
    assert_same(many, velk.search_many(queries, matrix, 5))
    assert calls[-1] == (total, total)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    calls.clear()
    ranged = velk.search_range(queries, matrix, 0.5, progress=lambda d, t: calls.append((d, t)))
    assert_same(ranged, velk.search_range(queries, matrix, 0.5))
    assert calls[-1] == (total, total)
    # Without tqdm: one line on standard error, rewritten in place.
    monkeypatch.setitem(sys.modules, "tqdm", None)
    velk.search_many(queries, matrix, 5, progress=True)
    err = capsys.readouterr().err
    assert err.startswith("\rvelk.search_many: ") and f"{total}/{total} pairs (100%)" in err
    assert err.endswith("\n") and err.count("\n") == 1

    # An exception from the report stops the call; the next one works.
    def refuse(done, total):
        raise LookupError("stop here")

    with pytest.raises(LookupError, match="stop here"):
        velk.search_range(queries, matrix, 0.5, progress=refuse)
    assert_same(velk.search_many(queries, matrix, 5), many)


@pytest.mark.parametrize("call", [
    lambda q, m, fn: velk.search_many(q, m, 3, progress=fn),
    lambda q, m, fn: velk.search_range(q, m, 0.2, progress=fn),
    lambda q, m, fn: velk.search_range(m, m, 0.2, progress=fn),  # in blocks, each pair once
    lambda q, m, fn: velk.search_many(m, m, 3, progress=fn),  # each pair once, in the engine
], ids=["search_many", "search_range", "search_range_itself", "search_many_itself"])
def test_ctrl_c_stops_a_call_between_steps_with_the_lock_given_up(call, sigint_raises):
    # Some 10**10 multiply-adds: the engine reports after each of a few steps.
    rng = np.random.default_rng(6)
    matrix = rng.standard_normal((20_000, 256)).astype(np.float16)
    queries = rng.standard_normal((2_000, 256)).astype(np.float32)
    calls = []

    def interrupt_once(done, total):
        calls.append((done, total))
        if len(calls) == 1:
            signal.raise_signal(signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        call(queries, matrix, interrupt_once)
    # The handler ran at the next step's report, before the call went on.
    assert len(calls) == 1 and calls[0][0] < calls[0][1]


def test_where_may_be_a_view_of_another_array():
    rng = np.random.default_rng(9)
    matrix = rng.standard_normal((50, 8)).astype(np.float32)
    query = matrix[3]
    mask = rng.random(100) < 0.5
    view = mask[::2]
    expected = velk.search(query, matrix, 10, where=np.ascontiguousarray(view))
    assert_same(velk.search(query, matrix, 10, where=view), expected)
    assert_same(velk.search(query, matrix, 10, where=list(view)), expected)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m, q: velk.search(q, m, 3, where=np.ones(9, bool)), ValueError,
         r"one entry per row \(10\)"),
        (lambda m, q: velk.search(q, m, 3, where=np.ones((10, 1), bool)), ValueError,
         "one entry per row"),
        (lambda m, q: velk.search_many(q[None], m, 3, where=np.ones(10, np.uint8)), TypeError,
         "boolean array"),
        (lambda m, q: velk.search_range(q, m, 0.5, where=np.ma.masked_array(np.ones(10, bool))),
         TypeError, "masked array"),
        (lambda m, q: velk.search_range(q, m, float("nan")), ValueError, "NaN"),
        (lambda m, q: velk.search_range(q, m, "high"), TypeError, "real number"),
        # Found by the fuzzer: a string that float() parses was taken as a number.
        (lambda m, q: velk.search_range(q, m, "0.5"), TypeError, "real number"),
        (lambda m, q: velk.search_range(q, m, b"1"), TypeError, "real number"),
        (lambda m, q: velk.search(q, m, 3, dtype="float64"), ValueError, "dtype must be"),
        (lambda m, q: velk.search(q, m, 3, dtype=np.float64), ValueError, "dtype must be"),
        (lambda m, q: velk.search(q, m, 3, dtype=">f2"), ValueError, "dtype must be"),
        (lambda m, q: velk.search(q, m, 3, dtype=3), ValueError, "dtype must be"),
        (lambda m, q: velk.search(q, m, 3, dtype="bfloat16"), TypeError, "not bfloat16"),
        (lambda m, q: velk.search(q, m.view(np.uint16), 3), TypeError,
         r"must be float32, float16 or bfloat16, not uint16.*dtype='bfloat16'"),
        (lambda m, q: velk.search(q.astype(np.float64), m, 3), TypeError,
         "float32 or float16"),
        (lambda m, q: velk.search(q, m[:, ::2], 3), ValueError, "C-contiguous"),
        (lambda m, q: velk.search(q, m.astype(">f2"), 3), TypeError, r"astype\('float16'\)"),
        (lambda m, q: velk.search(q, m.tolist(), 3, dtype="float16"), TypeError,
         "list of numbers, which is read as float32"),
        (lambda m, q: velk.search((x for x in q), m, 3), TypeError,
         "query must be a float32 array or a list of numbers, not generator"),
        (lambda m, q: velk.search_many({0: q}, m, 3), TypeError, "not dict"),
        (lambda m, q: velk.search_many(q[None], m, 3, progress="yes"), TypeError,
         "progress must be"),
    ],
)
def test_argument_errors(call, error, message):
    matrix = np.ones((10, 4), np.float16)
    with pytest.raises(error, match=message):
        call(matrix, np.ones(4, np.float32))


def test_thresholds_beyond_the_doubles_compare_as_real_numbers():
    matrix = np.array([[1, 0], [0, 1], [-1, 0]], np.float32)
    query = np.array([1, 0], np.float32)
    assert_same(velk.search_range(query, matrix, 10**400), velk.search_range(query, matrix, 2.0))
    assert_same(velk.search_range(query, matrix, -(10**400)),
                velk.search_range(query, matrix, -2.0))
