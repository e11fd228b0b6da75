"""velk: exact cosine-similarity top-k over float32 embeddings, with numpy results.

`search` and `search_many` rank the rows of a float32 matrix against one query
or a batch of queries and return numpy arrays of row indices and scores. They
read the arrays in place and score on the batched engine of `velk._engine`,
one pass over the matrix per block of queries, with the interpreter lock
given up while it scores. Every score is bit-identical to
`_velk.top_k_flat_np`'s, whatever the batch or the number of worker threads,
and results come in one total order: best score first by the IEEE total
order of the float32 score, the lower row first among equal scores.

numpy is needed only by `search` and `search_many` (`pip install
'velk[numpy]'`); the four functions of `_velk` are re-exported here and need
nothing but CPython. `velk.dask` ranks a dask array block by block.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any

from _velk import cosine_similarity, top_k, top_k_flat, top_k_flat_np

from velk import _engine
from velk._arrays import (
    as_float32,
    check_count,
    check_padded_width,
    import_numpy,
    matrix_width,
)

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


def _keep_numpy(np: Any) -> None:
    global _ndarray, _empty, _int64, _float32
    _ndarray, _empty, _int64, _float32 = np.ndarray, np.empty, np.int64, np.float32


def search(
    query: Any,
    embeddings: Any,
    k: int,
    *,
    dim: int | None = None,
    copy: bool = False,
) -> tuple[IndexArray, FloatArray]:
    """The `k` rows of `embeddings` most similar to `query`, best first.

    `embeddings` is a float32 matrix of shape (rows, dim), or a flat float32
    array of rows * dim values together with `dim`. `query` is a float32
    vector of `dim` values. Lists and tuples of numbers are converted to
    float32; arrays must already be aligned C-contiguous float32 and are read
    in place, unless `copy=True` allows one conversion copy.

    Returns `(indices, scores)`: int64 row numbers and their float32 cosine
    scores, min(k, rows) of each, best first: by the IEEE total order of the
    score, and among equal scores by ascending row (so the rows kept at a tie
    at the k-th place are the lowest). Each score is bit-identical to
    `_velk.top_k_flat_np`'s. A query whose squared norm is zero returns two
    empty arrays.

    Raises TypeError for arrays of another dtype (or non-numeric values), for
    masked arrays, and for a `k` or `dim` that is not an integer; ValueError
    for shapes that do not fit together, negative `k` or `dim`, `dim` = 0,
    and arrays that are not aligned C-contiguous (without `copy=True`);
    OverflowError for an integer in a list too large for a float; ImportError
    without numpy. The engine itself raises nothing for arguments that pass
    these checks.
    """
    # Already usable arrays go straight to the engine, which reads them only
    # if they are aligned C-contiguous float32; anything else it refuses, and
    # the checks below then say what is wrong or make the copy allowed.
    if type(embeddings) is _ndarray and type(query) is _ndarray and type(k) is int:
        shape = embeddings.shape
        if dim is None and k >= 0 and len(shape) == 2 and shape[1] and query.shape == shape[1:]:
            places = k if k < shape[0] else shape[0]
            indices = _empty(places, _int64)
            scores = _empty(places, _float32)
            try:
                found = _engine.search_one(query, embeddings, shape[1], places, indices, scores)
            except (TypeError, ValueError):
                pass
            else:
                if found < places:
                    return indices[:found].copy(), scores[:found].copy()
                return indices, scores
    np = import_numpy("velk.search")
    _keep_numpy(np)
    count = check_count(k, "k")
    query_array = as_float32(query, "query", copy)
    matrix = as_float32(embeddings, "embeddings", copy)
    width = matrix_width(matrix, dim)
    if query_array.shape != (width,):
        raise ValueError(
            f"query must be a 1-D array of {width} values, got shape {query_array.shape}"
        )
    places = min(count, matrix.size // width)
    indices = np.empty(places, dtype=np.int64)
    scores = np.empty(places, dtype=np.float32)
    # The top min(k, rows) is the top k: a k beyond any count of rows never
    # reaches the engine.
    found = _engine.search_one(query_array, matrix, width, places, indices, scores)
    if found < places:
        # Only a query of squared norm zero finds fewer rows than it asks for.
        return indices[:found].copy(), scores[:found].copy()
    return indices, scores


def search_many(
    queries: Any,
    embeddings: Any,
    k: int,
    *,
    dim: int | None = None,
    copy: bool = False,
) -> tuple[IndexArray, FloatArray]:
    """`search` for each row of the 2-D `queries`, as two (queries, k) arrays.

    Row i of the result is `search(queries[i], embeddings, k)`, padded on the
    right with index -1 and score NaN where that search returned fewer than
    `k` rows (fewer than `k` rows in `embeddings`, or a zero query). Test for
    padding with `indices == -1`: NaN is also a genuine score for a query that
    holds NaN. Arguments and exceptions are those of `search`; `queries` must
    have shape (m, dim), and a `k` too large for the padded arrays to exist
    raises ValueError. The matrix is read once per block of queries, not
    once per query.
    """
    np = import_numpy("velk.search_many")
    count = check_count(k, "k")
    query_matrix = as_float32(queries, "queries", copy)
    matrix = as_float32(embeddings, "embeddings", copy)
    width = matrix_width(matrix, dim)
    if query_matrix.ndim != 2 or query_matrix.shape[1] != width:
        raise ValueError(
            f"queries must be a 2-D array of rows of {width} values, "
            f"got shape {query_matrix.shape}"
        )
    batch = query_matrix.shape[0]
    check_padded_width(count, batch)
    indices = np.empty((batch, count), dtype=np.int64)
    scores = np.empty((batch, count), dtype=np.float32)
    found = np.empty(batch, dtype=np.uint64)
    # One pass over the matrix per block of queries; the padding is written there too.
    _engine.search_batch(query_matrix, matrix, width, count, indices, scores, found)
    return indices, scores
