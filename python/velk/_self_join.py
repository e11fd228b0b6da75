"""A matrix's search against itself, each pair of rows scored once.

For a top k (`search_many(X, X, k)`) the engine does it all: it checks that
the queries are the rows and that every row has a finite, nonzero norm, and
offers each score of a later row to that row's own list as it goes. Only the
choice of asking for it is made here. The threshold search is done here, in
blocks, as follows.

`search_range(X, X, t)` asks for every pair of rows (i, j) whose score reaches
t. The score of query i against row j has the bits of query j against row i:
both dot products multiply the same two values at each column, in the same
column order (a product does not depend on the order of its factors, but for
the payload of a NaN, and a NaN score is never kept), and both divide by the
product of the same two norms, each the root of the same chain. So each block
of queries [a, b) is scored against rows [a, rows) only, and every row j >= b
it finds is also a result of query j, with the same score. About half the
pairs are scored.

Only for a threshold above zero: a row whose squared norm is zero or NaN
scores +0.0 as a row but keeps nothing as a query, so the rule would fail for
it at a threshold of zero or below; above zero neither side keeps it.

The results are then put in the order of a plain call: by query, the higher
score first, and the lower row first among equal scores. That costs about
150 ns a row found, so where the first block finds many, the plain search
runs instead.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from velk import _engine
from velk._arrays import range_arrays

# Queries per block: about a 32nd of the rows, within these bounds. Each
# block scores its own square of pairs whole, so smaller blocks score fewer
# pairs twice; fewer than a few hundred queries keep the batch kernel from
# its speed.
MIN_PASS = 256
MAX_PASS = 4096
# Below this many (query, row) multiply-add pairs (some 20 ms of work) the
# plain search is as fast: the blocks' own costs take what the pairs save.
MIN_PAIRS = 1 << 31
# Ordering a row found costs about 150 ns here, and a multiply-add of the
# scan about 0.01 ns on 2 threads, so the pairs saved pay for the rows found
# up to about 3.3e-5 x width of the pairs (30,000 x 48 at 0.69% of the pairs
# took 1.1-1.6 s paired against 0.75-0.9 s plain). Where the first block
# finds more than half that share, the other queries take the plain search.
DENSE_PER_VALUE = 1.6e-5


def same_matrix(queries: Any, embeddings: Any) -> bool:
    """Whether `queries` and `embeddings` are one 2-D numpy array (or views of
    the same memory with the same shape, strides and dtype)."""
    import numpy as np

    if not (isinstance(queries, np.ndarray) and isinstance(embeddings, np.ndarray)):
        return False
    return bool(
        queries.ndim == 2
        and queries.shape == embeddings.shape
        and queries.strides == embeddings.strides
        and queries.dtype == embeddings.dtype
        and queries.__array_interface__["data"][0] == embeddings.__array_interface__["data"][0]
    )


def top_k_applies(rows: int, width: int, allowed: Any) -> bool:
    """Whether a top-k search of a matrix against itself asks the engine to
    score each pair once (below MIN_PAIRS the plain search is as fast)."""
    return allowed is None and rows * rows * width >= MIN_PAIRS


def applies(rows: int, width: int, bound: float, allowed: Any) -> bool:
    """Whether a search of a matrix against itself takes the paired path."""
    return (allowed is None and bound > 0.0 and MIN_PASS < rows < 1 << 32
            and rows * rows * width >= MIN_PAIRS)


def pass_queries(rows: int) -> int:
    """The queries of each block for a matrix of `rows` rows."""
    return min(MAX_PASS, max(MIN_PASS, -(-rows // 32)))


def _shifted(report: Callable[..., None] | None, base: int, scale: tuple[int, int] = (1, 1)
             ) -> Callable[[int, int], None] | None:
    """The engine's progress for one block: its pairs scored, times
    scale[0] / scale[1], after `base` pairs already done."""
    if report is None:
        return None
    covers, scored = scale
    return lambda done, total: report(base + done * covers // scored)


def search_range_self(
    queries: Any, matrix: Any, width: int, bound: float, code: int,
    report: Callable[..., None] | None,
) -> tuple[Any, Any, Any]:
    """(lims, indices, scores) of `queries` (the rows of `matrix` as float32)
    against `matrix` at the float32 threshold `bound` > 0, in blocks of
    pass_queries(rows) queries. `report` gets the (query, row) pairs of the result covered so
    far, of rows * rows: a pair scored once covers two."""
    import numpy as np

    rows = queries.shape[0]
    matrix = matrix.reshape(rows, width)
    step = pass_queries(rows)
    # The first block against every row, as the plain search runs it.
    first = min(rows, step)
    lims, found_rows, found_scores = range_arrays(_engine.search_range(
        queries[:first], matrix, width, bound, element_type=code, allowed=None,
        progress=_shifted(report, 0)))
    if first < rows and lims[-1] > DENSE_PER_VALUE * width * first * rows:
        # So many rows found that ordering them would take more than the
        # pairs save: the plain search, the first block again (a 32nd of the
        # work where the matrix is large; joining two results would copy
        # every row found).
        return range_arrays(_engine.search_range(
            queries, matrix, width, bound, element_type=code, allowed=None,
            progress=_shifted(report, first * rows, (rows - first, rows))))
    owners, found, kept = [], [], []
    done = 0
    for a in range(0, rows, step):
        b = min(rows, a + step)
        if a > 0:
            lims, found_rows, found_scores = range_arrays(_engine.search_range(
                queries[a:b], matrix[a:], width, bound, element_type=code, allowed=None,
                progress=_shifted(report, done, (2 * rows - a - b, rows - a))))
        found_rows = found_rows + a
        owner = np.repeat(np.arange(a, b, dtype=np.int64), lims[1:] - lims[:-1])
        beyond = found_rows >= b
        owners += [owner, found_rows[beyond]]
        found += [found_rows, owner[beyond]]
        kept += [found_scores, found_scores[beyond]]
        # This block's pairs, each scored once, cover its queries' rows from a
        # on and the later rows' queries within the block.
        done += (b - a) * (2 * rows - a - b)
        if report is not None:
            report(done)
    owner = np.concatenate(owners)
    del owners
    # Every kept score is above zero (NaN is never kept), so the order of its
    # bits as an integer is the order of the scores: one key sorts by query,
    # then the higher score first. Equal keys keep the order of the parts,
    # which is already by row: a query's rows from earlier blocks (in block
    # order, each block's by row) come before those of its own block, which
    # the engine sorted.
    key = owner << 31
    key |= 0x7FFFFFFF - np.concatenate(kept).view(np.int32).astype(np.int64)
    order = np.argsort(key, kind="stable")
    del key
    lims_out = np.zeros(rows + 1, dtype=np.int64)
    np.cumsum(np.bincount(owner, minlength=rows), out=lims_out[1:])
    del owner
    row = np.concatenate(found)[order]
    del found
    score = np.concatenate(kept)[order]
    return lims_out, row, score
