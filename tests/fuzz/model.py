"""The fuzzer's oracle for scores and ranking, on top of the suite's float32
model (tests/python/reference.py).

The reference resolves NaN operands the way the x86 scalar unit does, which
costs a dozen numpy calls per operation; here each operation runs plainly and
falls back to the reference only when its result holds a NaN, so a call
without NaNs costs a few numpy operations per column.
"""

from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import reference as ref  # noqa: E402

F32 = np.float32

# Overflow, underflow and invalid operations are the point here: no warnings
# (set once; an errstate context per operation costs more than the operation).
np.seterr(all="ignore")


def _plain(op, name):
    slow = getattr(ref, name)

    def run(a, b):
        r = op(a, b, dtype=F32)
        if np.isnan(r).any():
            return slow(a, b)
        return r

    return run


add = _plain(np.add, "add")
mul = _plain(np.multiply, "mul")
div = _plain(np.divide, "div")


def sqrt(a):
    r = np.sqrt(a, dtype=F32)
    if np.isnan(r).any():
        return ref.sqrt(a)
    return r


def to_f32(values):
    """Values as the module reads them: float32 arrays as they are, Python
    numbers narrowed from their double (nearest, ties to even, overflow to inf)."""
    if isinstance(values, np.ndarray) and values.dtype == F32:
        return values
    return np.array(values, dtype=np.float64).reshape(-1).astype(F32)


def _chain(n, terms):
    acc = np.full(n, -0.0, dtype=F32)
    for t in terms:
        acc = add(acc, t)
    return acc


def dot_rows(query, matrix):
    n, dim = matrix.shape
    return _chain(n, (mul(np.full(n, query[j], dtype=F32), matrix[:, j])
                      for j in range(min(len(query), dim))))


def squared_norm_rows(matrix):
    n, dim = matrix.shape
    return _chain(n, (mul(matrix[:, j], matrix[:, j]) for j in range(dim)))


def pair_cosine(a, b):
    """cosine_similarity: dot over the common prefix, each norm over its whole vector."""
    a, b = to_f32(a), to_f32(b)
    d = dot_rows(a, b[None, :])
    sa = squared_norm_rows(a[None, :])
    sb = squared_norm_rows(b[None, :])
    if sa[0] == 0 or sb[0] == 0:
        return F32(0.0)
    return div(d, mul(sqrt(sa), sqrt(sb)))[0]


def list_scores(query, rows):
    """top_k: every row of a ragged list scored like pair_cosine(query, row)."""
    query = to_f32(query)
    rows = [to_f32(r) for r in rows]
    n = len(rows)
    lengths = np.array([len(r) for r in rows], dtype=np.int64)
    width = int(lengths.max()) if n else 0
    matrix = np.zeros((n, width), dtype=F32)
    for i, r in enumerate(rows):
        matrix[i, : len(r)] = r
    d = np.full(n, -0.0, dtype=F32)
    sr = np.full(n, -0.0, dtype=F32)
    for j in range(width):
        live = lengths > j
        column = matrix[:, j]
        if j < len(query):
            d = np.where(live, add(d, mul(np.full(n, query[j], dtype=F32), column)), d)
        sr = np.where(live, add(sr, mul(column, column)), sr)
    sq = squared_norm_rows(query[None, :])
    scores = div(d, mul(np.full(n, sqrt(sq)[0], dtype=F32), sqrt(sr)))
    scores[(sr == 0) | (sq[0] == 0)] = F32(0.0)
    return scores


def flat_scores(query, values, dim, norms=None):
    """top_k_flat / top_k_flat_np: rows of `dim` values (a trailing partial row
    belongs to none), the query's dot over its first `dim` values and its norm
    over all of them. None for an empty or zero query (the call returns []).
    `norms` holds the rows' squared norms if already known (see FlatScores)."""
    query, values = to_f32(query), to_f32(values)
    if len(query) == 0:
        return None
    sq = squared_norm_rows(query[None, :])
    if sq[0] == 0:
        return None
    n = len(values) // dim
    if n == 0:
        return np.zeros(0, dtype=F32)
    matrix = values[: n * dim].reshape(n, dim)
    d = dot_rows(query, matrix)
    sr = squared_norm_rows(matrix) if norms is None else norms
    scores = div(d, mul(sqrt(sr), np.full(n, sqrt(sq)[0], dtype=F32)))
    scores[~(sr > 0)] = F32(0.0)
    return scores


class FlatScores:
    """flat_scores of each query of a batch (rows of `dim` values) over one
    matrix, computed when first asked for, the matrix's norms once."""

    def __init__(self, queries, values, dim):
        self.queries, self.values, self.dim = to_f32(queries), to_f32(values), dim
        self.norms = None
        self.done = {}

    def __len__(self):
        return len(self.queries) // self.dim

    def __getitem__(self, i):
        if i not in self.done:
            if self.norms is None:
                n = len(self.values) // self.dim
                self.norms = squared_norm_rows(self.values[: n * self.dim].reshape(n, self.dim))
            q = self.queries[i * self.dim:(i + 1) * self.dim]
            self.done[i] = flat_scores(q, self.values, self.dim, self.norms)
        return self.done[i]


def ranking_keys(scores):
    """IEEE totalOrder keys of float32 scores: larger ranks earlier."""
    x = np.asarray(scores, dtype=F32).view(np.int32).astype(np.int64)
    return x ^ ((x >> 31) & 0x7FFFFFFF)


def bits_of(value):
    """The binary32 bits of a score returned as a Python float (exactly widened)."""
    return int(np.array([value], dtype=np.float64).astype(F32).view(np.uint32)[0])


def check_ranking(indices, score_bits, scores, k, stable):
    """The returned (row, score bits) pairs against the model's scores:
    exactly the min(k, rows) best by the total order, best first, each score
    bit-identical to the model's; in ascending row order among ties when
    `stable`. Returns an error text, or None."""
    n = len(scores)
    want = min(k, n)
    if len(indices) != want:
        return f"{len(indices)} results, expected {want} of {n} rows"
    if want == 0:
        return None
    idx = np.asarray(indices, dtype=np.int64)
    if idx.min() < 0 or idx.max() >= n or len(set(indices)) != want:
        return f"row numbers out of range or repeated: {indices}"
    model_bits = scores.view(np.uint32)[idx]
    got_bits = np.asarray(score_bits, dtype=np.uint32)
    if not np.array_equal(model_bits, got_bits):
        bad = int(np.flatnonzero(model_bits != got_bits)[0])
        return (f"row {indices[bad]}: score bits {int(got_bits[bad]):#010x}, "
                f"model {int(model_bits[bad]):#010x}")
    keys = ranking_keys(scores)
    got_keys = keys[idx]
    if np.any(got_keys[1:] > got_keys[:-1]):
        return "results not in ranking order"
    best = np.sort(keys)[::-1][:want]
    if not np.array_equal(got_keys, best):
        return "the returned scores are not the best ones"
    if stable:
        expected = np.lexsort((np.arange(n), -keys))[:want]
        if not np.array_equal(idx, expected):
            return f"tied rows out of row order: {indices}, expected {expected.tolist()}"
    return None


def flat_is_stable(n, k, scores, query_size=None, dim=None):
    """Where the order of tied rows is promised for top_k_flat and its users
    (a query as wide as the rows and k at most a quarter of them: ranked as
    the rows are scored, by score and then by row)."""
    if n <= 16 or k == 1 or (query_size == dim and 1 <= k <= n // 4):
        return True
    if k >= n:
        keys = ranking_keys(scores)
        return n <= 32 or bool(np.all(keys[1:] <= keys[:-1]))
    return False


def list_is_stable(n, scores):
    if n <= 32:
        return True
    keys = ranking_keys(scores)
    return bool(np.all(keys[1:] <= keys[:-1]))
