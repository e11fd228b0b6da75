"""velk: exact cosine-similarity top-k over embeddings, with numpy results.

`search` and `search_many` rank the rows of a matrix (float32, float16 or
bfloat16) against one query or a batch of queries and return numpy arrays of
row indices and scores; `search_range` returns every row at or above a score.
They take a row filter `where=`, read the arrays in place and score on the
batched engine of `velk._engine`, one pass over the matrix per block of
queries, with the interpreter lock given up while it scores. Every score is bit-identical to
`_velk.top_k_flat_np`'s, whatever the batch or the number of worker threads,
and results come in one total order: best score first by the IEEE total
order of the float32 score, the lower row first among equal scores.

numpy is needed only by `search`, `search_many` and `search_range` (`pip install
'velk[numpy]'`); the four functions of `_velk` are re-exported here and need
nothing but CPython. `velk.dask` ranks a dask array block by block.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any

from _velk import cosine_similarity, top_k, top_k_flat, top_k_flat_np

from velk import _engine, _self_join
from velk._arrays import (
    ELEMENT_CODES,
    as_matrix,
    as_query,
    check_count,
    check_padded_width,
    check_dtype_name,
    check_where,
    float32_threshold,
    import_numpy,
    matrix_width,
    range_arrays,
)
from velk._progress import reporting

if TYPE_CHECKING:
    from velk._arrays import FloatArray, IndexArray

try:
    # The version is written once, in pyproject.toml, and read from the
    # installed distribution's metadata.
    __version__: str = version("velk")
except PackageNotFoundError:  # a source tree put on the path without installing it
    __version__ = "0+unknown"
del version, PackageNotFoundError

__all__ = [
    "cosine_similarity",
    "search",
    "search_many",
    "search_range",
    "top_k",
    "top_k_flat",
    "top_k_flat_np",
]


# numpy's array type, empty and the two result dtypes, kept by the first call
# of `search` for the checks of the fast path (import velk needs no numpy).
_ndarray: Any = None
_empty: Any = None
_int64: Any = None
_float32: Any = None
_float16_dtype: Any = None
_uint16: Any = None


def _keep_numpy(np: Any) -> None:
    global _ndarray, _empty, _int64, _float32, _float16_dtype, _uint16
    _ndarray, _empty, _int64, _float32 = np.ndarray, np.empty, np.int64, np.float32
    _float16_dtype, _uint16 = np.dtype(np.float16), np.uint16


class _Problem:
    """The checked arguments of one call: the matrix as the engine reads it."""

    def __init__(
        self, queries: Any, embeddings: Any, name: str, *, dim: Any, dtype: Any, copy: bool,
        where: Any,
    ) -> None:
        named = check_dtype_name(dtype)
        self.matrix, element = as_matrix(embeddings, "embeddings", copy, named)
        self.width = matrix_width(self.matrix, dim)
        self.rows = self.matrix.size // self.width
        self.code = ELEMENT_CODES[element]
        raw_bits = named is not None and named != "float32"
        self.queries = as_query(queries, name, copy, element, raw_bits)
        self.allowed = check_where(where, self.rows)


def search(
    query: Any,
    embeddings: Any,
    k: int,
    *,
    where: Any = None,
    dim: int | None = None,
    dtype: Any = None,
    copy: bool = False,
) -> tuple[IndexArray, FloatArray]:
    """The `k` rows of `embeddings` most similar to `query`, best first.

    `embeddings` is a matrix of shape (rows, dim), or a flat array of
    rows * dim values together with `dim`: float32, float16, or bfloat16 (the
    ml_dtypes type, or a uint16 array of bfloat16 bits with dtype="bfloat16";
    `dtype` takes the three names or what numpy takes for those types, such
    as `numpy.float16`). 2-byte elements are read as they are and widened
    exactly to float32 while scoring, so the result is bit-identical to the
    same search over `embeddings.astype(numpy.float32)`. `query` is a vector
    of `dim` values, float32 or of the matrix's own type. Lists and tuples of
    numbers are converted to float32; arrays must already be aligned
    C-contiguous and are read in place, unless `copy=True` allows one
    conversion copy.

    `where`, a boolean array of one entry per row, restricts the search to the
    rows where it is True: the result is that of a search over those rows,
    with their row numbers in `embeddings`.

    Returns `(indices, scores)`: int64 row numbers and their float32 cosine
    scores, min(k, rows) of each, best first: by the IEEE total order of the
    score, and among equal scores by ascending row (so the rows kept at a tie
    at the k-th place are the lowest). Each score is bit-identical to
    `_velk.top_k_flat_np`'s. A query whose squared norm is zero returns two
    empty arrays.

    Raises TypeError for arrays of another dtype (or non-numeric values), a
    `where` that is not a plain boolean array (a masked array included), and
    a `k` or `dim` that is not an integer; ValueError for shapes that do not
    fit together (`where` included), negative `k` or `dim`, `dim` = 0, an
    unknown `dtype`, and arrays that are not aligned C-contiguous (without
    `copy=True`); OverflowError for an integer in a list too large for a
    float; ImportError without numpy. The engine itself raises nothing for
    arguments that pass these checks.
    """
    # Already usable arrays go straight to the engine, which reads them only
    # if they are aligned C-contiguous, the query float32 and the matrix
    # float32 (or float16, handed over as its bits); anything else it refuses,
    # and the checks below then say what is wrong or make the copy allowed.
    if (type(embeddings) is _ndarray and type(query) is _ndarray and type(k) is int
            and where is None and dtype is None):
        shape = embeddings.shape
        if dim is None and k >= 0 and len(shape) == 2 and shape[1] and query.shape == shape[1:]:
            places = k if k < shape[0] else shape[0]
            indices = _empty(places, _int64)
            scores = _empty(places, _float32)
            stored, code = embeddings, 0
            if embeddings.dtype is _float16_dtype:
                stored, code = embeddings.view(_uint16), 1
            try:
                found = _engine.search_one(
                    query, stored, shape[1], places, indices, scores, element_type=code)
            except (TypeError, ValueError, BufferError):
                pass
            else:
                if found < places:
                    return indices[:found].copy(), scores[:found].copy()
                return indices, scores
    np = import_numpy("velk.search")
    _keep_numpy(np)
    count = check_count(k, "k")
    problem = _Problem(query, embeddings, "query", dim=dim, dtype=dtype, copy=copy, where=where)
    if problem.queries.shape != (problem.width,):
        raise ValueError(
            f"query must be a 1-D array of {problem.width} values, "
            f"got shape {problem.queries.shape}"
        )
    places = min(count, problem.rows)
    indices = np.empty(places, dtype=np.int64)
    scores = np.empty(places, dtype=np.float32)
    # The top min(k, rows) is the top k: a k beyond any count of rows never
    # reaches the engine.
    found = _engine.search_one(
        problem.queries, problem.matrix, problem.width, places, indices, scores,
        element_type=problem.code, allowed=problem.allowed,
    )
    if found < places:
        # Only a zero query or a filter finds fewer rows than it asks for.
        return indices[:found].copy(), scores[:found].copy()
    return indices, scores


def _check_batch(problem: _Problem) -> None:
    if problem.queries.ndim != 2 or problem.queries.shape[1] != problem.width:
        raise ValueError(
            f"queries must be a 2-D array of rows of {problem.width} values, "
            f"got shape {problem.queries.shape}"
        )


def search_many(
    queries: Any,
    embeddings: Any,
    k: int,
    *,
    where: Any = None,
    dim: int | None = None,
    dtype: Any = None,
    copy: bool = False,
    progress: Any = None,
) -> tuple[IndexArray, FloatArray]:
    """`search` for each row of the 2-D `queries`, as two (queries, k) arrays.

    Row i of the result is `search(queries[i], embeddings, k, where=where)`,
    padded on the right with index -1 and score NaN where that search returned
    fewer than `k` rows (fewer than `k` allowed rows, or a zero query). Test
    for padding with `indices == -1`: NaN is also a genuine score for a query
    that holds NaN. Arguments and exceptions are those of `search`; `queries`
    must have shape (m, dim), and a `k` too large for the padded arrays to
    exist raises ValueError. The matrix is read once per block of queries,
    not once per query. A matrix against itself (`queries` the same array as
    `embeddings`, without `where`) scores each pair of rows once, in about
    half the time, with the same results.

    `progress=True` shows a tqdm bar (a line on standard error without tqdm)
    and `progress=fn` calls fn(done, total) from the calling thread, every
    few tens of milliseconds of work, where done of total (query, row) pairs
    are scored; the results are the same. An exception fn raises stops the
    call and propagates; so does Ctrl-C, which is then checked between those
    steps although the interpreter lock is given up while scoring.
    """
    np = import_numpy("velk.search_many")
    count = check_count(k, "k")
    problem = _Problem(queries, embeddings, "queries", dim=dim, dtype=dtype, copy=copy,
                       where=where)
    _check_batch(problem)
    batch = problem.queries.shape[0]
    check_padded_width(count, batch)
    indices = np.empty((batch, count), dtype=np.int64)
    scores = np.empty((batch, count), dtype=np.float32)
    found = np.empty(batch, dtype=np.uint64)
    # The matrix against itself scores each pair of rows once.
    paired = (_self_join.top_k_applies(problem.rows, problem.width, problem.allowed)
              and _self_join.same_matrix(queries, embeddings))
    # One pass over the matrix per block of queries; the padding is written there too.
    with reporting(progress, batch * problem.rows, "velk.search_many") as report:
        _engine.search_batch(problem.queries, problem.matrix, problem.width, count, indices,
                             scores, found, element_type=problem.code,
                             allowed=problem.allowed, progress=report, paired=paired)
    return indices, scores


def search_range(
    query_or_queries: Any,
    embeddings: Any,
    threshold: float,
    *,
    where: Any = None,
    dim: int | None = None,
    dtype: Any = None,
    copy: bool = False,
    progress: Any = None,
) -> Any:
    """Every row of `embeddings` whose score is at least `threshold`, best first.

    For a 1-D query, returns `(indices, scores)`: int64 rows and float32
    scores of every allowed row with score >= threshold, in the order of
    `search` (so they are the first results of `search` with a large enough
    k). For a 2-D batch of queries, returns `(lims, indices, scores)` as
    FAISS's `range_search` does: the results of query i are
    `indices[lims[i]:lims[i+1]]` and `scores[lims[i]:lims[i+1]]`; `lims` is
    int64 of length queries + 1.

    The comparison is exact: a float32 score s is kept when s >= threshold as
    real numbers; NaN scores are never kept, and a zero query keeps nothing.
    The matrix is read once per block of queries, and the memory used grows
    with the number of results, not of rows. The matrix against itself (the
    same array as `query_or_queries`, without `where`, threshold above 0)
    scores each pair of rows once, in about half the time where the results
    are few, with the same results. `where`, `dim`, `dtype`, `copy`
    and `progress` are those of `search` and `search_many`.

    Raises ValueError for a NaN threshold and TypeError for one that is not a
    real number, besides the exceptions of `search`.
    """
    import_numpy("velk.search_range")
    bound = float32_threshold(threshold)
    problem = _Problem(query_or_queries, embeddings, "queries", dim=dim, dtype=dtype, copy=copy,
                       where=where)
    single = problem.queries.ndim == 1
    if single:
        if problem.queries.shape != (problem.width,):
            raise ValueError(
                f"query must be a 1-D array of {problem.width} values, "
                f"got shape {problem.queries.shape}"
            )
        problem.queries = problem.queries[None, :]
    _check_batch(problem)
    batch = problem.queries.shape[0]
    # The matrix against itself scores each pair of rows once.
    paired = (not single and _self_join.applies(problem.rows, problem.width, bound, problem.allowed)
              and _self_join.same_matrix(query_or_queries, embeddings))
    with reporting(progress, batch * problem.rows, "velk.search_range") as report:
        if paired:
            return _self_join.search_range_self(problem.queries, problem.matrix, problem.width,
                                                bound, problem.code, report)
        raw = _engine.search_range(problem.queries, problem.matrix, problem.width, bound,
                                   element_type=problem.code, allowed=problem.allowed,
                                   progress=report)
    lims, indices, scores = range_arrays(raw)
    if single:
        return indices, scores
    return lims, indices, scores
