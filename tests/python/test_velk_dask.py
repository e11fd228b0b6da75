"""velk.dask.search and search_many: block-wise ranking merged into the same
top k as velk.search and velk.search_many over the whole matrix, bit for bit,
tie order and padding included."""

import logging

import pytest

np = pytest.importorskip("numpy")
da = pytest.importorskip("dask.array")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import dask  # noqa: E402
import velk  # noqa: E402
import velk.dask  # noqa: E402


def matrix(rows, dim, seed=0):
    return np.random.default_rng(seed).standard_normal((rows, dim), dtype=np.float32)


def score_bits(scores):
    return np.asarray(scores, dtype=np.float32).view(np.uint32)


def assert_identical(got, expected):
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(score_bits(got[1]), score_bits(expected[1]))
    assert got[0].dtype == np.int64 and got[1].dtype == np.float32


@pytest.mark.parametrize(
    "rows, chunk, k",
    [
        (200, 200, 10),  # a single block
        (200, 64, 10),  # uneven last block
        (200, 5, 10),  # blocks smaller than k
        (997, 7, 25),  # 143 blocks: more than one level of merging
        (300, 40, 1),
        (60, 16, 100),  # k above the row count: every row, ranked
        (60, 16, 0),
    ],
)
def test_same_result_as_one_search(rows, chunk, k):
    data = matrix(rows, 12, seed=rows)
    query = matrix(1, 12, seed=1)[0]
    embeddings = da.from_array(data, chunks=(chunk, 12))
    with dask.config.set(scheduler="synchronous"):
        got = velk.dask.search(query, embeddings, k)
    assert_identical(got, velk.search(query, data, k))


def misaligned(values):
    raw = np.zeros(values.size * 4 + 1, dtype=np.uint8)[1:]
    array = raw.view(np.float32).reshape(values.shape)
    array[...] = values
    return array


@pytest.mark.parametrize(
    "layout",
    [
        lambda data: misaligned(data),
        lambda data: np.repeat(data, 2, axis=1)[:, ::2],
        lambda data: np.asfortranarray(data),
    ],
    ids=["misaligned", "strided", "column-major"],
)
def test_blocks_of_any_layout_are_ranked(layout):
    data = matrix(120, 6, seed=4)
    query = data[17].copy()
    embeddings = da.from_array(layout(data), chunks=(25, 6))
    with dask.config.set(scheduler="synchronous"):
        got = velk.dask.search(query, embeddings, 9)
    assert_identical(got, velk.search(query, data, 9))


def test_tied_rows_in_different_blocks_come_out_by_row():
    data = matrix(400, 8, seed=2)
    query = data[0].copy()
    for row in (390, 77, 5, 200):
        data[row] = query
    embeddings = da.from_array(data, chunks=(50, 8))
    with dask.config.set(scheduler="synchronous"):
        indices, scores = velk.dask.search(query, embeddings, 6)
    assert list(indices[:5]) == [0, 5, 77, 200, 390]
    assert len(set(score_bits(scores[:5]))) == 1
    assert scores[5] < scores[4]


@pytest.mark.parametrize("shuffle_seed", [0, 1, 2])
def test_merge_follows_the_total_order_of_scores(shuffle_seed):
    # Best first: +NaN, +inf, positives, +0.0, -0.0, negatives, -inf, -NaN;
    # equal bit patterns by ascending row.
    negative_nan = np.float32(-np.nan)
    assert np.signbit(negative_nan)
    ranked = [
        (3, np.float32(np.nan)),
        (9, np.float32(np.inf)),
        (1, np.float32(2.5)),
        (4, np.float32(2.5)),
        (0, np.float32(1e-40)),
        (2, np.float32(0.0)),
        (8, np.float32(-0.0)),
        (6, np.float32(-1e-40)),
        (5, np.float32(-3.0)),
        (7, np.float32(-np.inf)),
        (10, negative_nan),
    ]
    shuffled = np.random.default_rng(shuffle_seed).permutation(len(ranked))
    parts = [
        (
            np.array([ranked[i][0] for i in part], dtype=np.int64),
            np.array([ranked[i][1] for i in part], dtype=np.float32),
        )
        for part in np.array_split(shuffled, 3)
    ]
    indices, scores = velk.dask.merge_top_k(parts, 8)
    assert list(indices) == [row for row, _ in ranked[:8]]
    expected = np.array([score for _, score in ranked[:8]], dtype=np.float32)
    np.testing.assert_array_equal(score_bits(scores), score_bits(expected))


def test_lazy_result_on_request():
    data = matrix(50, 4)
    embeddings = da.from_array(data, chunks=(10, 4))
    lazy = velk.dask.search(data[7], embeddings, 3, compute=False)
    (got,) = dask.compute(lazy, scheduler="synchronous")
    assert_identical(got, velk.search(data[7], data, 3))


GOOD = da.from_array(matrix(20, 4), chunks=(5, 4))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: velk.dask.search(np.ones(4, np.float32), matrix(20, 4), 1), TypeError, "must be a dask array"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD.astype(np.float64), 1), TypeError, "astype"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD.rechunk((5, 2)), 1), ValueError, "rechunk"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD[GOOD[:, 0] > 0], 1), ValueError, "compute_chunk_sizes"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD.ravel(), 1), ValueError, "2-D"),
        (lambda: velk.dask.search(np.ones(3, np.float32), GOOD, 1), ValueError, "query must be a 1-D array of 4"),
        (lambda: velk.dask.search(np.ones(4), GOOD, 1), TypeError, "query must be float32"),
        (lambda: velk.dask.search(np.ones(0, np.float32), GOOD[:, :0], 1), ValueError, "no columns"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD, -1), ValueError, "k must be non-negative"),
        # Filters, thresholds, element types and progress.
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD, 1, where=np.ones(19, bool)),
         ValueError, "one entry per row"),
        (lambda: velk.dask.search_many(np.ones((1, 4), np.float32), GOOD, 1,
                                       where=da.ones(20, dtype=int, chunks=5)),
         TypeError, "boolean array"),
        (lambda: velk.dask.search_range(np.ones(4, np.float32), GOOD, float("nan")),
         ValueError, "NaN"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD, 1, dtype="bfloat16"),
         TypeError, "not bfloat16"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD, 1, progress=True, compute=False),
         ValueError, "compute=True"),
        # A masked dask array's blocks are masked arrays: their masks would be ignored.
        (lambda: velk.dask.search(np.ones(4, np.float32), da.ma.masked_less(GOOD, 0), 1),
         TypeError, "masked array"),
        (lambda: velk.dask.search(np.ones(4, np.float32), GOOD, 1,
                                  where=da.ma.masked_equal(da.ones(20, dtype=bool, chunks=5), 0)),
         TypeError, "masked array"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_copy_converts_queries_as_the_single_process_calls_do():
    data = matrix(20, 4)
    query = data[3].astype(np.float64)
    assert_identical(velk.dask.search(query, GOOD, 3, copy=True),
                     velk.search(query, data, 3, copy=True))
    assert_identical(velk.dask.search_range(query, GOOD, 0.1, copy=True),
                     velk.search_range(query, data, 0.1, copy=True))
    reports = []
    velk.dask.search_many(data[:2], GOOD, 3, progress=lambda done, total: reports.append(done))
    assert reports[-1] == 40 and reports.count(40) == 1


def tied_matrix(rows, dim, seed):
    """Small integers, with rows copied across the matrix: many exact ties."""
    rng = np.random.default_rng(seed)
    data = rng.integers(-2, 3, size=(rows, dim)).astype(np.float32)
    for target in rng.integers(0, rows, size=rows // 5):
        data[target] = data[rng.integers(0, rows)]
    return data


@given(
    rows=st.integers(0, 150),
    dim=st.sampled_from([1, 5, 16]),
    chunk=st.integers(1, 60),
    batch=st.integers(0, 4),
    k=st.integers(0, 40),
    seed=st.integers(0, 2**16),
)
def test_search_many_equals_the_single_process_batch(rows, dim, chunk, batch, k, seed):
    data = tied_matrix(rows, dim, seed)
    queries = tied_matrix(batch, dim, seed + 1)
    embeddings = da.from_array(data, chunks=(chunk, dim))
    with dask.config.set(scheduler="synchronous"):
        got = velk.dask.search_many(queries, embeddings, k)
    expected = velk.search_many(queries, data, k)
    assert got[0].shape == (batch, k)
    assert_identical(got, expected)


def test_process_cluster_gives_the_single_process_result():
    distributed = pytest.importorskip("distributed")
    data = tied_matrix(3000, 24, seed=11)
    queries = np.vstack([data[:2], matrix(3, 24, seed=12)])
    embeddings = da.from_array(data, chunks=(450, 24))
    with distributed.LocalCluster(
        processes=True,
        n_workers=2,
        threads_per_worker=1,
        dashboard_address=":0",
        silence_logs=logging.ERROR,
    ) as cluster, distributed.Client(cluster):
        # Scatter the blocks first so that each is ranked on the worker that holds it.
        embeddings = embeddings.persist()
        batch = velk.dask.search_many(queries, embeddings, 40)
        results = [velk.dask.search(q, embeddings, 40) for q in queries]
        # Half precision, a filter and a threshold, with progress from the futures.
        half = embeddings.astype(np.float16).persist()
        where = np.arange(3000) % 3 != 0
        calls = []
        ranged = velk.dask.search_range(queries, half, 0.5, where=where,
                                        progress=lambda d, t: calls.append((d, t)))
    assert_identical(batch, velk.search_many(queries, data, 40))
    for query, got in zip(queries, results):
        assert_identical(got, velk.search(query, data, 40))
    expected = velk.search_range(queries, data.astype(np.float16), 0.5, where=where)
    np.testing.assert_array_equal(ranged[0], expected[0])
    assert_identical(ranged[1:], expected[1:])
    assert calls[-1] == (3000 * len(queries), 3000 * len(queries))


@given(
    rows=st.integers(0, 120),
    dim=st.sampled_from([1, 5, 16]),
    chunk=st.integers(1, 50),
    batch=st.integers(0, 3),
    k=st.integers(0, 30),
    element=st.sampled_from(["float32", "float16", "bfloat16"]),
    filtered=st.sampled_from([None, "numpy", "dask"]),
    seed=st.integers(0, 2**16),
    threshold=st.sampled_from([-1.0, 0.0, 0.3, 0.7, 1.0]),
)
def test_dtypes_filters_and_ranges_equal_the_single_process_calls(
    rows, dim, chunk, batch, k, element, filtered, seed, threshold
):
    data = tied_matrix(rows, dim, seed)
    if element == "float16":
        data = data.astype(np.float16)
    elif element == "bfloat16":
        data = (data.view(np.uint32) >> 16).astype(np.uint16)
    dtype = "bfloat16" if element == "bfloat16" else None
    queries = tied_matrix(batch, dim, seed + 1)
    where = np.random.default_rng(seed).random(rows) < 0.4 if filtered else None
    embeddings = da.from_array(data, chunks=(chunk, dim))
    dask_where = da.from_array(where, chunks=7) if filtered == "dask" else where
    calls = []
    with dask.config.set(scheduler="synchronous"):
        many = velk.dask.search_many(queries, embeddings, k, where=dask_where, dtype=dtype,
                                     progress=lambda d, t: calls.append((d, t)))
        ranged = velk.dask.search_range(queries, embeddings, threshold, where=dask_where,
                                        dtype=dtype)
        single = [velk.dask.search_range(q, embeddings, threshold, where=dask_where, dtype=dtype)
                  for q in queries[:1]]
    assert_identical(many, velk.search_many(queries, data, k, where=where, dtype=dtype))
    expected = velk.search_range(queries, data, threshold, where=where, dtype=dtype)
    np.testing.assert_array_equal(ranged[0], expected[0])
    assert_identical(ranged[1:], expected[1:])
    for got in single:
        assert_identical(got, (expected[1][:expected[0][1]], expected[2][:expected[0][1]]))
    assert calls[-1] == (rows * batch, rows * batch)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)

