"""Top-k over a dask array of embeddings, each block ranked where it lives.

The matrix must be chunked by rows only (one chunk across the columns). Each
block is ranked for the whole batch of queries at once, by the same batched
engine as `velk.search_many`, on the worker that holds it; it sends back at
most `k` (row, score) pairs per query. Those are merged into the global top
`k` by the order the engine uses: larger IEEE total-order key of the float32
score first, the lower global row first among equal scores. The result is
therefore bit-identical to `velk.search_many` (and `velk.search`) on the whole
matrix, tie order included.

Needs dask (`pip install 'velk[dask]'`); `import velk` does not.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

try:
    import dask.array
    from dask.delayed import Delayed, delayed
except ImportError as error:
    raise ImportError(
        "velk.dask needs dask, which is not installed; "
        "install it with: pip install 'velk[dask]'"
    ) from error

import numpy as np

from velk import _engine
from velk._arrays import as_float32, check_count, check_padded_width

if TYPE_CHECKING:
    from velk._arrays import FloatArray, IndexArray

__all__ = ["search", "search_many", "ranking_keys", "merge_top_k"]

# Partial results are merged in groups of this many, so that no single task
# gathers the pairs of every block of a very tall matrix.
_MERGE_FAN_IN = 8

# Below the key of every score (keys fit in 32 bits): padding sorts last.
_PADDING_KEY = -(1 << 40)

Ranked = tuple["IndexArray", "FloatArray"]


def ranking_keys(scores: FloatArray) -> np.ndarray[Any, np.dtype[np.int64]]:
    """The signed total-order key of each float32 score; a larger key ranks first.

    Orders positive NaN first, then +inf, the positive numbers, +0.0 before
    -0.0, the negative numbers, -inf, and negative NaN last.
    """
    bits = np.ascontiguousarray(scores, dtype=np.float32).view(np.int32)
    # Negative scores have their magnitude bits inverted so that the integer
    # order of the bit patterns becomes the order of the values.
    return (bits ^ ((bits >> 31) & np.int32(0x7FFFFFFF))).astype(np.int64)


def _merge_batches(parts: Sequence[Ranked], k: int) -> Ranked:
    """The best `k` per query of several (queries, width) results padded with -1 / NaN.

    Rows with bit-identical scores come out by ascending row number; the
    result is padded like its parts where they hold fewer than `k` rows.
    """
    indices = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    keys = ranking_keys(scores)
    keys[indices < 0] = _PADDING_KEY
    # lexsort sorts by its last key first: descending key, then ascending row.
    order = np.lexsort((indices, -keys), axis=-1)[:, :k]
    return (
        np.take_along_axis(indices, order, axis=-1),
        np.take_along_axis(scores, order, axis=-1),
    )


def merge_top_k(parts: Sequence[Ranked], k: int) -> Ranked:
    """The best `k` of several ranked (indices, scores) lists, best first.

    Rows with bit-identical scores come out by ascending row number.
    """
    if not parts:
        return np.empty(0, np.int64), np.empty(0, np.float32)
    indices, scores = _merge_batches([(p[0][None, :], p[1][None, :]) for p in parts], k)
    found = int(np.count_nonzero(indices[0] >= 0))
    return indices[0, :found], scores[0, :found]


def _rank_block(queries: FloatArray, block: Any, k: int, first_row: int) -> Ranked:
    """Ranks one block of rows for every query, returning global row numbers."""
    block = np.asarray(block)
    if block.dtype != np.float32:
        raise TypeError(f"a block of embeddings holds {block.dtype}, not float32")
    # A block cut out of a larger array may be strided, and arrays that come
    # out of the network buffers of a distributed worker may start at any
    # byte: only what is not already aligned and contiguous is copied here.
    block = np.require(block, requirements=["C", "A"])
    queries = np.require(queries, requirements=["C", "A"])
    batch = queries.shape[0]
    indices = np.empty((batch, k), dtype=np.int64)
    scores = np.empty((batch, k), dtype=np.float32)
    counts = np.empty(batch, dtype=np.uint64)
    _engine.search_batch(queries, block, queries.shape[1], k, indices, scores, counts)
    indices[indices >= 0] += first_row
    return indices, scores


def _merge_parts(k: int, *parts: Ranked) -> Ranked:
    return _merge_batches(parts, k)


def _only_row(ranked: Ranked) -> Ranked:
    """Row 0 of a batch result without its padding, as `velk.search` returns it."""
    indices, scores = ranked
    found = int(np.count_nonzero(indices[0] >= 0))
    return indices[0, :found].copy(), scores[0, :found].copy()


def _check_embeddings(embeddings: Any) -> int:
    """The row width of a dask matrix fit for ranking."""
    if not isinstance(embeddings, dask.array.Array):
        raise TypeError(
            f"embeddings must be a dask array, not {type(embeddings).__name__}; "
            "use velk.search for numpy arrays"
        )
    if embeddings.ndim != 2:
        raise ValueError(f"embeddings must be 2-D, got shape {embeddings.shape}")
    if embeddings.dtype != np.float32:
        raise TypeError(
            f"embeddings must be float32, not {embeddings.dtype}; "
            "convert with embeddings.astype(numpy.float32)"
        )
    row_chunks, column_chunks = embeddings.chunks
    if len(column_chunks) != 1:
        raise ValueError(
            "embeddings must be chunked by rows only; "
            "rechunk with embeddings.rechunk({1: -1})"
        )
    if any(np.isnan(c) for c in row_chunks):
        raise ValueError(
            "embeddings has unknown chunk sizes; call embeddings.compute_chunk_sizes() first"
        )
    width = int(column_chunks[0])
    if width == 0:
        raise ValueError("rows must have at least one value (embeddings has no columns)")
    return width


def _ranking_graph(queries: FloatArray, embeddings: Any, count: int) -> Delayed:
    """The delayed (queries, count) result of ranking every block and merging."""
    # The array API of dask is untyped: go on with a plain handle.
    array: Any = embeddings
    shared_queries = delayed(queries, pure=True)
    blocks = array.to_delayed().ravel()
    row_chunks = array.chunks[0]
    first_rows = np.concatenate(([0], np.cumsum(row_chunks)[:-1])).astype(int)
    rank_block = delayed(_rank_block, pure=True)
    level = [
        rank_block(shared_queries, block, count, int(first))
        for block, first in zip(blocks, first_rows)
    ]
    if not level:
        level = [rank_block(shared_queries, np.empty((0, queries.shape[1]), np.float32), count, 0)]
    merge = delayed(_merge_parts, pure=True)
    while len(level) > 1:
        level = [
            merge(count, *level[i : i + _MERGE_FAN_IN])
            for i in range(0, len(level), _MERGE_FAN_IN)
        ]
    result: Delayed = level[0]
    return result


@overload
def search_many(
    queries: Any, embeddings: Any, k: int, *, compute: Literal[True] = ...
) -> Ranked: ...
@overload
def search_many(queries: Any, embeddings: Any, k: int, *, compute: Literal[False]) -> Delayed: ...


def search_many(
    queries: Any, embeddings: Any, k: int, *, compute: bool = True
) -> Ranked | Delayed:
    """`velk.search_many` over the dask array `embeddings`, as two (queries, k) arrays.

    `embeddings` is a 2-D float32 dask array chunked by rows only; `queries` a
    float32 matrix (or list of lists) of shape (m, columns). Every block is
    ranked for all queries on the worker that holds it. Returns `(indices,
    scores)`, int64 and float32 arrays of shape (m, k), padded with -1 and NaN
    like `velk.search_many`, computed with the current dask scheduler (a
    `distributed.Client` if one is active); with `compute=False`, a
    `dask.delayed.Delayed` that yields them.

    The result is bit-identical to `velk.search_many` on the whole matrix,
    rows of tied scores included.

    Raises TypeError if `embeddings` is not a float32 dask array or `queries`
    not float32, ValueError for a shape mismatch, column chunking, unknown
    chunk sizes or no columns.
    """
    count = check_count(k, "k")
    width = _check_embeddings(embeddings)
    query_matrix = as_float32(queries, "queries", copy=False)
    if query_matrix.ndim != 2 or query_matrix.shape[1] != width:
        raise ValueError(
            f"queries must be a 2-D array of rows of {width} values, "
            f"got shape {query_matrix.shape}"
        )
    check_padded_width(count, query_matrix.shape[0])
    result = _ranking_graph(query_matrix, embeddings, count)
    if not compute:
        return result
    # Delayed.compute is untyped: the graph's last task returns a Ranked.
    untyped: Any = result
    ranked: Ranked = untyped.compute()
    return ranked


@overload
def search(query: Any, embeddings: Any, k: int, *, compute: Literal[True] = ...) -> Ranked: ...
@overload
def search(query: Any, embeddings: Any, k: int, *, compute: Literal[False]) -> Delayed: ...


def search(query: Any, embeddings: Any, k: int, *, compute: bool = True) -> Ranked | Delayed:
    """The `k` rows of the dask array `embeddings` most similar to `query`, best first.

    `embeddings` is a 2-D float32 dask array chunked by rows only; `query` a
    float32 vector (or list of numbers) of one value per column. Returns
    `(indices, scores)` as numpy int64 and float32 arrays, exactly as
    `velk.search` on the whole matrix returns them, computed with the current
    dask scheduler (a `distributed.Client` if one is active), or, with
    `compute=False`, a `dask.delayed.Delayed` that yields them.

    Raises TypeError if `embeddings` is not a float32 dask array, ValueError
    for a shape mismatch, column chunking, unknown chunk sizes or no columns.
    """
    count = check_count(k, "k")
    width = _check_embeddings(embeddings)
    query_array = as_float32(query, "query", copy=False)
    if query_array.shape != (width,):
        raise ValueError(
            f"query must be a 1-D array of {width} values, got shape {query_array.shape}"
        )
    # Every row is the most a search can return, whatever k asks for.
    count = min(count, int(embeddings.shape[0]))
    only_row = delayed(_only_row, pure=True)
    result: Delayed = only_row(_ranking_graph(query_array[None, :], embeddings, count))
    if not compute:
        return result
    # Delayed.compute is untyped: the graph's last task returns a Ranked.
    untyped: Any = result
    ranked: Ranked = untyped.compute()
    return ranked
