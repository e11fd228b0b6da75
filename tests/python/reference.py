"""A slow, independent model of the module's scores and ranking, in numpy float32.

Every sum is one chain from -0.0, one element at a time per row; rows may be
processed side by side (one numpy lane per row), which changes no rounding.
NaN operands are resolved explicitly the way the x86 scalar unit does (the
first operand's NaN wins, quieted; an invalid operation gives the negative
default NaN), so the model does not depend on the operand order numpy's own
loops happen to use.
"""

import numpy as np

F32 = np.float32
QUIET_BIT = np.uint32(0x00400000)


def f32_array(values):
    """Narrows Python numbers to binary32 (nearest, ties to even; overflow to inf)."""
    with np.errstate(all="ignore"):
        return np.array([float(v) for v in values], dtype=np.float64).astype(F32)


def f32_bits(value):
    """The 32-bit pattern of a score given as a Python float (a widened binary32)."""
    # Through numpy rather than struct: the hardware narrowing keeps a NaN's
    # sign and payload, which ranking depends on.
    return int(np.array([value], dtype=np.float64).astype(F32).view(np.uint32)[0])


def _resolve_nans(result, a, b):
    """Replaces NaN results by the NaN an x86 scalar op yields for operands a, b."""
    a = np.broadcast_to(a, result.shape)
    b = np.broadcast_to(b, result.shape)
    a_nan = np.isnan(a)
    b_nan = np.isnan(b) & ~a_nan
    out = result.copy()
    out_bits = out.view(np.uint32)
    out_bits[a_nan] = a.view(np.uint32)[a_nan] | QUIET_BIT
    out_bits[b_nan] = b.view(np.uint32)[b_nan] | QUIET_BIT
    invalid = np.isnan(result) & ~a_nan & ~b_nan
    out_bits[invalid] = np.uint32(0xFFC00000)
    return out


def add(a, b):
    with np.errstate(all="ignore"):
        return _resolve_nans(np.add(a, b, dtype=F32), a, b)


def mul(a, b):
    with np.errstate(all="ignore"):
        return _resolve_nans(np.multiply(a, b, dtype=F32), a, b)


def div(a, b):
    with np.errstate(all="ignore"):
        return _resolve_nans(np.divide(a, b, dtype=F32), a, b)


def sqrt(a):
    with np.errstate(all="ignore"):
        a = np.asarray(a, dtype=F32)
        return _resolve_nans(np.sqrt(a, dtype=F32), a, a)


def dot_rows(query, matrix):
    """Per row of matrix (n, dim): the chain of query[j] * row[j] over the common prefix."""
    n, dim = matrix.shape
    acc = np.full(n, -0.0, dtype=F32)
    for j in range(min(len(query), dim)):
        acc = add(acc, mul(np.full(n, query[j], dtype=F32), matrix[:, j]))
    return acc


def squared_norm_rows(matrix):
    n, dim = matrix.shape
    acc = np.full(n, -0.0, dtype=F32)
    for j in range(dim):
        column = matrix[:, j]
        acc = add(acc, mul(column, column))
    return acc


def list_scores(query, rows):
    """pair_cosine(query, row) for every row of a ragged list, rows side by side:
    a lane only takes the steps its own length allows."""
    query = np.asarray(query, dtype=F32)
    n = len(rows)
    if isinstance(rows, np.ndarray) and rows.ndim == 2:  # rows of one length
        matrix = rows.astype(F32)
        lengths = np.full(n, matrix.shape[1], dtype=np.int64)
        width = matrix.shape[1]
    else:
        lengths = np.array([len(r) for r in rows], dtype=np.int64)
        width = int(lengths.max()) if n else 0
        matrix = np.zeros((n, width), dtype=F32)
        for i, row in enumerate(rows):
            matrix[i, : len(row)] = row
    d = np.full(n, -0.0, dtype=F32)
    sr = np.full(n, -0.0, dtype=F32)
    for j in range(width):
        live = lengths > j
        column = matrix[:, j]
        if j < len(query):
            d = np.where(live, add(d, mul(np.full(n, query[j], dtype=F32), column)), d)
        sr = np.where(live, add(sr, mul(column, column)), sr)
    sq = squared_norm_rows(query[None, :])
    scores = div(d, mul(np.broadcast_to(sqrt(sq), sr.shape), sqrt(sr)))
    scores[(sr == 0) | (sq[0] == 0)] = F32(0.0)
    return scores


def pair_cosine(a, b):
    """Cosine of two 1-D float32 arrays as cosine_similarity and top_k compute it."""
    a = np.asarray(a, dtype=F32)
    b = np.asarray(b, dtype=F32)
    d = dot_rows(a, b[None, :])
    sa = squared_norm_rows(a[None, :])
    sb = squared_norm_rows(b[None, :])
    if sa[0] == 0 or sb[0] == 0:
        return F32(0.0)
    return div(d, mul(sqrt(sa), sqrt(sb)))[0]


def row_scores(query, values, dim):
    """Scores of the flat matrix rows as top_k_flat computes them, or None when
    the query is empty or has a zero squared norm (those calls return [])."""
    query = np.asarray(query, dtype=F32)
    values = np.asarray(values, dtype=F32)
    n = len(values) // dim
    if len(query) == 0:
        return None
    s = squared_norm_rows(query[None, :])
    if s[0] == 0:
        return None
    query_norm = sqrt(s)
    matrix = values[: n * dim].reshape(n, dim)
    d = dot_rows(query, matrix)
    sr = squared_norm_rows(matrix)
    scores = div(d, mul(sqrt(sr), np.broadcast_to(query_norm, sr.shape)))
    scores[~(sr > 0)] = F32(0.0)
    return scores


def ranking_key(score):
    """totalOrder key of a binary32 score: larger ranks earlier."""
    x = int(np.array([score], dtype=F32).view(np.int32)[0])
    return x ^ ((x >> 31) & 0x7FFFFFFF)


def stable_ranking(scores):
    """(index, score) pairs best first, ties in row order."""
    keyed = [(i, F32(s)) for i, s in enumerate(scores)]
    return sorted(keyed, key=lambda pair: -ranking_key(pair[1]))


def non_increasing(scores):
    keys = [ranking_key(F32(s)) for s in scores]
    return all(x >= y for x, y in zip(keys, keys[1:]))


def as_bits(pairs):
    """Result pairs as (index, 32-bit pattern) for exact comparison."""
    return [(int(i), f32_bits(float(s))) for i, s in pairs]
