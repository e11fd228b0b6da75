"""Exact cosine-similarity top-k over float32 embeddings.

Every score is computed in binary32 arithmetic in one fixed order and returned
as a Python float that holds the binary32 value exactly, so results are
bit-identical whatever the number of worker threads.
"""

from collections.abc import Buffer, Sequence
from typing import Final, SupportsIndex

__all__: Final[list[str]]

def cosine_similarity(a: Sequence[float], b: Sequence[float]) -> float:
    """Cosine of the angle between `a` and `b`, computed in binary32.

    The dot product covers the shorter length; each norm covers its whole
    vector. A vector whose squared norm is zero (empty, all zeros, or
    underflowing) gives 0.0. NaN propagates. The result is not clamped to
    [-1, 1].

    Raises TypeError for a non-sequence, a `str`, or an element that is not a
    number ("argument 'a': ..." / "argument 'b': ...").
    """

def top_k(
    query: Sequence[float],
    embeddings: Sequence[Sequence[float]],
    k: SupportsIndex,
) -> list[tuple[int, float]]:
    """The best `k` rows of `embeddings` as `(row, score)` pairs, best first.

    Rows may differ in length; each is scored like `cosine_similarity(query,
    row)` on the calling thread. An empty or all-zero query scores every row
    0.0. Fewer than `k` rows returns all of them.

    Raises TypeError for malformed arguments, OverflowError for a negative `k`.
    """

def top_k_flat(
    query: Sequence[float],
    embeddings: Sequence[float],
    dim: SupportsIndex,
    k: SupportsIndex,
) -> list[tuple[int, float]]:
    """The best `k` rows of a flat row-major matrix with rows of `dim` values.

    Rows are scored in parallel on the module's worker pool; the trailing
    `len(embeddings) % dim` values belong to no row. An empty or all-zero
    query returns []. A row whose squared norm is zero or NaN scores 0.0.

    Raises TypeError for malformed arguments, OverflowError for a negative
    `dim` or `k`, and PanicException (a BaseException) for `dim` = 0.
    """

def top_k_flat_np(
    query: Buffer,
    embeddings: Buffer,
    dim: SupportsIndex,
    k: SupportsIndex,
) -> list[tuple[int, float]]:
    """Zero-copy variant — accepts numpy float32 arrays via the Python buffer protocol.
    The caller must ensure the arrays are C-contiguous float32.

    Same result as `top_k_flat` on the same values. `query` and `embeddings`
    are read in place as flat runs of native float32 values; a 2-D
    `(rows, dim)` array passed with its own `dim` gives `rows` rows.

    Raises BufferError ("buffer contents are not compatible with f32",
    "buffer contents are insufficiently aligned for f32", ...) for buffers
    that are not aligned C-contiguous float32, TypeError for objects without
    the buffer protocol, OverflowError for a negative `dim` or `k`, and
    PanicException (a BaseException) for `dim` = 0.
    """
