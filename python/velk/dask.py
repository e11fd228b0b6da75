"""Top-k over a dask array of embeddings, each block ranked where it lives.

The matrix must be chunked by rows only (one chunk across the columns). Each
block is ranked with `_velk.top_k_flat_np` on the worker that holds it, which
sends back at most `k` (row, score) pairs; those are merged into the global
top `k` by the same order the module uses: larger IEEE total-order key of the
float32 score first, the lower global row first among equal scores.

Needs dask (`pip install 'velk[dask]'`); `import velk` does not.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

try:
    import dask.array
    from dask.delayed import delayed
except ImportError as error:
    raise ImportError(
        "velk.dask needs dask, which is not installed; "
        "install it with: pip install 'velk[dask]'"
    ) from error

import numpy as np

from _velk import top_k_flat_np
from velk._arrays import as_float32, check_count, pairs_to_arrays

if TYPE_CHECKING:
    from velk._arrays import FloatArray, IndexArray

__all__ = ["search", "ranking_keys", "merge_top_k"]

# Partial results are merged in groups of this many, so that no single task
# gathers the pairs of every block of a very tall matrix.
_MERGE_FAN_IN = 8

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


def merge_top_k(parts: Sequence[Ranked], k: int) -> Ranked:
    """The best `k` of several ranked (indices, scores) lists, best first.

    Rows with bit-identical scores come out by ascending row number.
    """
    indices = np.concatenate([p[0] for p in parts]) if parts else np.empty(0, np.int64)
    scores = np.concatenate([p[1] for p in parts]) if parts else np.empty(0, np.float32)
    # lexsort sorts by its last key first: descending key, then ascending row.
    order = np.lexsort((indices, -ranking_keys(scores)))[:k]
    return indices[order], scores[order]


def _rank_block(query: FloatArray, block: Any, k: int, first_row: int) -> Ranked:
    """Ranks one block of rows, returning global row numbers."""
    block = np.asarray(block)
    if block.dtype != np.float32:
        raise TypeError(f"a block of embeddings holds {block.dtype}, not float32")
    # A block cut out of a larger array may be strided, and arrays that come
    # out of the network buffers of a distributed worker may start at any
    # byte: only what is not already aligned and contiguous is copied here.
    block = np.require(block, requirements=["C", "A"])
    query = np.require(query, requirements=["C", "A"])
    indices, scores = pairs_to_arrays(
        top_k_flat_np(query, block, block.shape[1], k)
    )
    indices += first_row
    return indices, scores


def _merge_parts(k: int, *parts: Ranked) -> Ranked:
    return merge_top_k(parts, k)


def search(query: Any, embeddings: Any, k: int, *, compute: bool = True) -> Any:
    """The `k` rows of the dask array `embeddings` most similar to `query`, best first.

    `embeddings` is a 2-D float32 dask array chunked by rows only; `query` a
    float32 vector (or list of numbers) of one value per column. Returns
    `(indices, scores)` as numpy int64 and float32 arrays, computed with the
    current dask scheduler (a `distributed.Client` if one is active), or, with
    `compute=False`, a `dask.delayed` object that yields them.

    The scores are bit-identical to those of `velk.search` on the whole
    matrix, and so are the rows unless several rows share a score: such rows
    always come out by ascending row here, which `velk.search` guarantees only
    in the cases listed in docs/guide.md.

    Raises TypeError if `embeddings` is not a float32 dask array, ValueError
    for a shape mismatch, column chunking, unknown chunk sizes or no columns.
    """
    count = check_count(k, "k")
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
    query_array = as_float32(query, "query", copy=False)
    if query_array.shape != (width,):
        raise ValueError(
            f"query must be a 1-D array of {width} values, got shape {query_array.shape}"
        )

    # The array API of dask is untyped: go on with a plain handle.
    array: Any = embeddings
    shared_query = delayed(query_array, pure=True)
    blocks = array.to_delayed().ravel()
    first_rows = np.concatenate(([0], np.cumsum(row_chunks)[:-1])).astype(int)
    rank_block = delayed(_rank_block, pure=True)
    level = [
        rank_block(shared_query, block, count, int(first))
        for block, first in zip(blocks, first_rows)
    ]
    merge = delayed(_merge_parts, pure=True)
    # Merge at least once, even a single block, so that ties always come out
    # by ascending row.
    while True:
        level = [
            merge(count, *level[i : i + _MERGE_FAN_IN])
            for i in range(0, len(level), _MERGE_FAN_IN)
        ] or [merge(count)]
        if len(level) == 1:
            break
    result: Any = level[0]
    if not compute:
        return result
    return result.compute()
