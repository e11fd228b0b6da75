"""Coverage-guided fuzzer of every entry point of `_velk` and `velk`.

Run by tools/run-fuzz (`make fuzz`), under atheris against the module built
with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
counters. Each input is decoded into one call: the entry point, its
arguments (see values.py) and how they are passed. The oracle, besides "no
crash, no sanitizer report, no hang":

- a call that returns gives exactly what the float32 model in model.py
  computes: the min(k, rows) best rows, best first, every score bit for bit,
  tied rows in row order wherever the guide promises that; over a float16 or
  bfloat16 matrix, what the model gives over the matrix widened to float32;
  with a filter, what it gives over the allowed rows, their row numbers
  mapped back; for a threshold, exactly the allowed rows whose float32 score
  is at or above it as real numbers, in the total order (best score first,
  the lower row first among equal bits);
- a call that raises raises one of the documented exception types (or the
  hostile argument's own), with a message; a call whose arguments are all
  plain and valid never raises, and one with an argument the guide says is
  refused never returns;
- the reference counts of the arguments, and of the items of the lists
  passed, are the same afterwards.

A violation raises OracleError, which atheris reports as a crash with the
input saved. To fuzz another entry point, add a decoder to TARGETS.
"""

from __future__ import annotations

import ctypes
import gc
import math
import operator
import os
import sys
import warnings

import atheris
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import model  # noqa: E402
import values as V  # noqa: E402

with atheris.instrument_imports(include=["velk"]):
    import velk  # noqa: E402
import _velk  # noqa: E402

warnings.simplefilter("ignore")

LIBC = ctypes.CDLL(None)
ROUNDING_MODES = [0x000, 0x400, 0x800, 0xC00]  # nearest, down, up, toward zero
PANIC = "PanicException"
# The entry points whose every TypeError after binding comes from converting
# an argument (top_k_flat_np's buffer errors keep their own text).
PREFIXED = ("cosine_similarity", "top_k", "top_k_flat")


class OracleError(AssertionError):
    pass


def describe(call):
    """The call as text, for the crash report."""
    def show(o):
        if isinstance(o, np.ndarray):
            return (f"{type(o).__name__}(dtype={o.dtype.str}, shape={o.shape}, strides={o.strides}, "
                    f"address%4={o.ctypes.data % 4}, {o.tolist()!r:.300})")
        if isinstance(o, memoryview):
            if "released" in repr(o):
                return "memoryview(released)"
            return f"memoryview(format={o.format!r}, shape={o.shape}, strides={o.strides})"
        try:
            return f"{type(o).__name__}({o!r:.300})"
        except Exception as e:  # noqa: BLE001 - a hostile repr
            return f"{type(o).__name__}(<repr raised {type(e).__name__}>)"
    pos = ", ".join(show(o) for o in call.positional)
    kw = ", ".join(f"{k}={show(v)}" for k, v in call.keywords.items())
    return f"{call.target}({pos}{', ' if pos and kw else ''}{kw})"


class Call:
    """One decoded call and what the oracle needs to judge it."""

    def __init__(self, target, function, args):
        self.target = target
        self.function = function
        self.args = args            # list of (parameter name, Arg)
        self.positional = []
        self.keywords = {}
        self.layout_bad = False
        self.allowed = set()
        self.check = None           # check(result) -> error text or None
        self.must_panic = False
        self.must_succeed = False
        self.must_raise = None      # exception types one of which the call must raise
        self.strict = True          # arguments marked bad must be refused
        self.any_rounding = False   # may run in another rounding mode (strict calls always may)


def bind(fdp, call, ctx):
    """Passes the arguments by position, by keyword, mixed, or wrongly: one
    too many, one missing, an unknown keyword, or one given twice."""
    names = [n for n, _ in call.args]
    objs = [a.obj for _, a in call.args]
    layout = fdp.ConsumeIntInRange(0, 15)
    if layout <= 6:
        call.positional = objs
    elif layout == 8:
        call.keywords = dict(zip(names, objs))
    elif layout == 9:
        cut = fdp.ConsumeIntInRange(0, len(objs))
        call.positional = objs[:cut]
        call.keywords = dict(zip(names[cut:], objs[cut:]))
    elif layout == 7:
        # A known name given as a str subclass: matched by its text.
        call.positional = objs[:-1]
        call.keywords = {V.StrSub(names[-1]): objs[-1]}
    else:
        call.layout_bad = True
        if layout == 10:
            call.positional = objs + [1]
        elif layout == 11:
            call.positional = objs[: fdp.ConsumeIntInRange(0, len(objs) - 1)]
        elif layout == 12:
            # Unknown keywords: a lone surrogate (no UTF-8 form), an embedded
            # NUL, a str subclass that cannot be printed or compared.
            unknown = ["query" if "query" not in names else "c", "\ud800", names[0] + "\x00",
                       V.StrSub("zz"), V.StrSub(names[-1] + "_")][fdp.ConsumeIntInRange(0, 4)]
            call.positional = objs
            call.keywords = {unknown: 1}
            ctx.extra.add(V.HostileError)

        elif layout == 13 and objs:
            call.positional = objs
            call.keywords = {names[0]: objs[0]}
        elif layout == 14:
            call.keywords = dict(zip(names, objs))
            call.keywords["extra"] = None
        else:
            call.positional = objs + objs


# --- the _velk entry points --------------------------------------------------

def pairs_check(call, score_model, k, stable):
    """Judges a list of pairs; the model runs only for calls that return."""
    def check(result):
        if not isinstance(result, list) or not all(
                type(p) is tuple and len(p) == 2 and type(p[0]) is int and type(p[1]) is float
                for p in result):
            return f"not a list of (int, float) pairs: {result!r:.200}"
        scores = score_model()
        if scores is None:
            return None if result == [] else f"expected [], got {result!r:.200}"
        indices = [p[0] for p in result]
        bits = [model.bits_of(p[1]) for p in result]
        return model.check_ranking(indices, bits, scores, k, stable(len(scores), k, scores))
    return check


def decode_cosine_similarity(fdp, ctx):
    a = V.decode_vector(fdp, ctx)
    b = V.decode_vector(fdp, ctx)
    call = Call("cosine_similarity", _velk.cosine_similarity, [("a", a), ("b", b)])
    call.allowed = {TypeError, OverflowError, MemoryError}
    if a.values is not None and b.values is not None:
        def check(result):
            want = model.pair_cosine(a.values, b.values)
            if type(result) is not float:
                return f"not a float: {result!r}"
            if model.bits_of(result) != int(np.array([want], dtype=np.float32).view(np.uint32)[0]):
                return f"score {result!r}, model {float(want)!r}"
            return None
        call.check = check
    return call


def decode_top_k(fdp, ctx):
    query = V.decode_vector(fdp, ctx)
    rows = V.decode_rows(fdp, ctx)
    k, kv = V.decode_count(fdp, ctx, 12)
    call = Call("top_k", _velk.top_k, [("query", query), ("embeddings", rows), ("k", k)])
    call.allowed = {TypeError, OverflowError, MemoryError}
    if query.values is not None and rows.values is not None and k.clean:
        call.check = pairs_check(call, lambda: model.list_scores(query.values, rows.values), V.count_value(k, kv), lambda n, k, s: model.list_is_stable(n, s))
    return call


def decode_flat(fdp, ctx, name, function, vector):
    query = vector(fdp, ctx)
    values = vector(fdp, ctx)
    dim, dv = V.decode_count(fdp, ctx, 6)
    k, kv = V.decode_count(fdp, ctx, 24)
    call = Call(name, function, [("query", query), ("embeddings", values), ("dim", dim), ("k", k)])
    call.allowed = {TypeError, OverflowError, MemoryError, BufferError}
    if dim.clean and V.count_value(dim, dv) == 0:
        call.must_panic = True
    elif query.values is not None and values.values is not None and dim.clean and k.clean:
        d = V.count_value(dim, dv)
        width = len(query.values)
        call.check = pairs_check(
            call, lambda: model.flat_scores(query.values, values.values, d), V.count_value(k, kv),
            lambda n, k, s: model.flat_is_stable(n, k, s, width, d))
    return call


def decode_top_k_flat(fdp, ctx):
    return decode_flat(fdp, ctx, "top_k_flat", _velk.top_k_flat, V.decode_vector)


def decode_top_k_flat_np(fdp, ctx):
    return decode_flat(fdp, ctx, "top_k_flat_np", _velk.top_k_flat_np, V.decode_buffer)


# --- velk ----------------------------------------------------------------------

def decode_matrix(fdp, ctx):
    """velk's embeddings: an array (any dtype and layout, 2-D mostly), a list
    of rows, or a flat array for dim=."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 4:
        rows = fdp.ConsumeIntInRange(0, 2000 if fdp.ConsumeIntInRange(0, 15) == 0 else 24)
        width = fdp.ConsumeIntInRange(0, 9)
        shape = [(rows, width), (rows, width), (rows, width), (rows * width,), (rows, width, 2)][kind]
        return V.decode_buffer(fdp, ctx, shape=shape, others=False), width
    if kind == 5:
        return V.decode_buffer(fdp, ctx), None
    rows = fdp.ConsumeIntInRange(0, 12)
    width = fdp.ConsumeIntInRange(0, 6)
    lists = [plain_list(fdp, width) for _ in range(rows)]
    values = [x for r in lists for x in r]
    arg = V.Arg(lists if kind == 6 else tuple(lists), values, clean=True, shape=(rows, width))
    return arg, width


def plain_list(fdp, n):
    """Plain Python numbers, the only ones velk converts from lists."""
    out = []
    for _ in range(n):
        c = fdp.ConsumeIntInRange(0, 9)
        if c < 7:
            out.append(V.PALETTE[fdp.ConsumeIntInRange(0, len(V.PALETTE) - 1)])
        elif c < 9:
            out.append(V.INTS[fdp.ConsumeIntInRange(0, len(V.INTS) - 2)])
        else:
            out.append(fdp.ConsumeBool())
    return out


def decode_query(fdp, ctx, width, batch):
    """A query vector (or a batch of them) of `width` values mostly."""
    if width is None or fdp.ConsumeIntInRange(0, 9) == 0:
        width = fdp.ConsumeIntInRange(0, 9)
    shape = (width,) if batch is None else (batch, width)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        if batch is None:
            q = plain_list(fdp, width)
            return V.Arg(q, q, clean=True, shape=shape)
        rows = [plain_list(fdp, width) for _ in range(batch)]
        return V.Arg(rows, [x for r in rows for x in r], clean=True, shape=shape)
    arg = V.decode_buffer(fdp, ctx, shape=shape, others=fdp.ConsumeIntInRange(0, 7) == 0)
    arg.shape = shape
    return arg


def shape_of(obj):
    """The shape numpy sees, or None for what it cannot or should not read."""
    if isinstance(obj, V.Exporter):
        return None
    try:
        return np.shape(obj)
    except Exception:  # noqa: BLE001 - ragged lists and the like
        return None


def velk_ready(arg):
    """Whether velk must take the argument as it is: a list of plain numbers,
    or an aligned C-contiguous native float32 array."""
    if not arg.clean:
        return False
    if isinstance(arg.obj, (list, tuple)):
        return True
    if isinstance(arg.obj, (np.ndarray, memoryview)) and shape_of(arg.obj) is not None:
        a = np.asarray(arg.obj)
        return a.dtype == np.float32 and a.flags.c_contiguous and a.flags.aligned
    return False


def velk_values(arg, copy, element="float32", raw_bits=False):
    """The float32 values velk searches for an argument it accepts, as its
    guide says: lists through a Python float (nearest binary32), float32
    arrays as they are, float16 and bfloat16 arrays widened exactly, uint16
    arrays as the bits of the matrix's type when dtype= names it, other
    numeric arrays when `copy` allows it: integers and floats wider than a
    double through a double first, as lists go. None when unknown."""
    obj = arg.obj
    if isinstance(obj, (list, tuple)):
        flat = list(_flatten(obj))
        return model.to_f32([float(x) for x in flat])
    if arg.values is not None:
        return model.to_f32(arg.values)
    if not isinstance(obj, (np.ndarray, memoryview)) or shape_of(obj) is None:
        return None
    a = np.asarray(obj)
    if raw_bits and a.dtype == np.uint16:
        return V.widen(a, element).reshape(-1)
    if a.dtype == np.float32:
        return a.reshape(-1)
    if a.dtype == np.float16 or (V.BFLOAT16 is not None and a.dtype == V.BFLOAT16):
        return a.astype(np.float32).reshape(-1)
    if copy and a.dtype.kind in "biuf":
        if a.dtype.kind in "biu" or a.dtype.itemsize > 8:
            a = a.astype(np.float64)
        return a.astype(np.float32).reshape(-1)
    return None


def _flatten(obj):
    for x in obj:
        if isinstance(x, (list, tuple)):
            yield from x
        else:
            yield x


def half_ready(matrix, element, keyword):
    """Whether velk must read a 2-byte matrix in place as `element`."""
    a = matrix.obj
    if not (isinstance(a, np.ndarray) and a.flags.c_contiguous and a.flags.aligned):
        return False
    if a.dtype == np.uint16:
        return keyword == element
    return keyword in (None, element) and (a.dtype == np.float16 or a.dtype == V.BFLOAT16)


def decode_typed_query(fdp, ctx, matrix, width, batch):
    """A query (or batch) in the matrix's own 2-byte type: the same dtype, or
    uint16 bits."""
    shape = (width,) if batch is None else (batch, width)
    a = matrix.obj
    element = "float16" if a.dtype == np.float16 or a.dtype.str == ">f2" else "bfloat16"
    bits = V.half_bits(fdp, int(np.prod(shape)), element).reshape(shape)
    return V.Arg(bits.view(a.dtype) if a.dtype.itemsize == 2 else bits, shape=shape)


def filtered_ranking(indices, bits, scores, k, allowed):
    """check_ranking over the allowed rows, with the indices mapped back."""
    if allowed is None:
        return model.check_ranking(list(indices), bits, scores, k, stable=True)
    rows = np.flatnonzero(allowed)
    idx = np.asarray(indices, dtype=np.int64)
    if len(rows) == 0:
        return None if len(idx) == 0 else f"returned rows the filter excludes: {idx.tolist()}"
    pos = np.searchsorted(rows, idx)
    if np.any(pos >= len(rows)) or np.any(rows[np.minimum(pos, max(len(rows) - 1, 0))] != idx):
        return f"returned rows the filter excludes: {idx.tolist()}"
    return model.check_ranking(pos.tolist(), bits, scores[rows], k, stable=True)


def range_rows(scores, allowed, threshold):
    """The rows a threshold search returns, in order: every allowed row whose
    float32 score is >= threshold as real numbers, by the total order of the
    score, lower row first among equal bits."""
    if scores is None:
        return np.zeros(0, dtype=np.int64)
    keep = scores.astype(np.float64) >= threshold
    if allowed is not None:
        keep &= allowed
    rows = np.flatnonzero(keep)
    keys = model.ranking_keys(scores[rows])
    return rows[np.lexsort((rows, -keys))]


def check_range_rows(indices, scores_f32, model_scores, allowed, threshold):
    want = range_rows(model_scores, allowed, threshold)
    if indices.dtype != np.int64 or scores_f32.dtype != np.float32 or indices.shape != scores_f32.shape:
        return f"dtypes {indices.dtype}, {scores_f32.dtype}, shapes {indices.shape}, {scores_f32.shape}"
    if not np.array_equal(indices, want):
        return f"rows {indices.tolist()[:20]}, expected {want.tolist()[:20]} (threshold {threshold!r})"
    if len(want) and not np.array_equal(scores_f32.view(np.uint32), model_scores[want].view(np.uint32)):
        return "score bits differ from the model's"
    return None


def check_lims(lims, total, batch):
    if lims.dtype != np.int64 or lims.shape != (batch + 1,):
        return f"lims of dtype {lims.dtype} and shape {lims.shape} for {batch} queries"
    if lims[0] != 0 or lims[-1] != total or np.any(np.diff(lims) < 0):
        return f"lims {lims.tolist()[:10]} for {total} results"
    return None


def decode_progress(fdp, ctx, scribbled=()):
    """progress=: None mostly, a callable that does nothing, one that raises,
    or one that overwrites the arrays in `scribbled` (the matrix, the filter)
    while they are being read: the results are then anything, but the call
    must stay within its buffers."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 5:
        ctx.unknown = True

        def scribble(done, total):
            for a in scribbled:
                if isinstance(a, np.ndarray) and a.flags.writeable:
                    a.fill(done % 2)
        return scribble, False
    if kind == 6:
        return (lambda done, total: None), False
    if kind == 7:
        ctx.extra.add(V.HostileError)

        def refuse(done, total):
            raise V.HostileError("hostile progress")
        return refuse, True
    return None, False


def decode_velk(fdp, ctx, target):
    """velk.search, search_many and search_range: float32 or 2-byte matrices,
    queries of any kind, k or a threshold, where=, dim=, dtype=, copy= and
    progress=."""
    many = target == "search_many"
    ranged = target == "search_range"
    keywords = {}
    if fdp.ConsumeIntInRange(0, 2) == 0:
        rows = fdp.ConsumeIntInRange(0, 600 if fdp.ConsumeIntInRange(0, 15) == 0 else 24)
        width = fdp.ConsumeIntInRange(1, 9)
        flat = fdp.ConsumeIntInRange(0, 5) == 5
        matrix, element, dtype_kw = V.decode_half_matrix(fdp, ctx, (rows * width,) if flat else (rows, width))
        if flat:
            keywords["dim"] = width
    else:
        matrix, width = decode_matrix(fdp, ctx)
        element, dtype_kw = "float32", ([None] * 7 + ["float32"])[fdp.ConsumeIntInRange(0, 7)]
    if dtype_kw is not None:
        keywords["dtype"] = dtype_kw
    raw_bits = dtype_kw in ("float16", "bfloat16")
    batch = fdp.ConsumeIntInRange(0, 4) if many or (ranged and fdp.ConsumeBool()) else None
    if element != "float32" and width is not None and fdp.ConsumeIntInRange(0, 2) == 0:
        query = decode_typed_query(fdp, ctx, matrix, width, batch)
    else:
        query = decode_query(fdp, ctx, width, batch)
    kval = None
    if not ranged:
        k, kv = V.decode_count(fdp, ctx, 30)
        if many and k.clean and V.count_value(k, kv) > 4096 and V.count_value(k, kv) < 2**62:
            # search_many allocates (queries, k) results: keep that small.
            k, kv = V.Arg(3, clean=True), 3
        kval = V.count_value(k, kv) if k.clean else None
    copy = fdp.ConsumeBool()
    keywords["copy"] = copy
    dim_kind = fdp.ConsumeIntInRange(0, 5)
    if "dim" in keywords:
        dim_kind = 1
    elif dim_kind == 1 and width is not None:
        keywords["dim"] = width
    elif dim_kind == 2:
        dim_arg, dim_value = V.decode_count(fdp, ctx, 9)
        keywords["dim"] = dim_arg.obj
        if not dim_arg.clean:
            dim_kind = -1
        else:
            keywords["dim"] = V.count_value(dim_arg, dim_value) if dim_value is not None else dim_arg.obj
    dim = keywords.get("dim")
    if dim is not None:
        dim = operator.index(dim) if dim_kind != -1 else None
    shape = shape_of(matrix.obj)
    cols = None
    if shape is not None and dim_kind != -1:
        if len(shape) == 2 and (dim is None or dim == shape[1]):
            cols = shape[1]
        elif len(shape) == 1 and type(dim) is int and dim > 0 and shape[0] % dim == 0:
            cols = dim
    # A filter of one entry per row, mostly.
    nrows = shape[0] if cols and len(shape) == 2 else shape[0] // cols if cols else fdp.ConsumeIntInRange(0, 3)
    where, allowed, where_status = V.decode_where(fdp, nrows)
    if where is not None:
        keywords["where"] = where
    progress, progress_raises = (None, False)
    if many or ranged:
        progress, progress_raises = decode_progress(fdp, ctx, [matrix.obj, where])
        if progress is not None:
            keywords["progress"] = progress
    function = {"search": velk.search, "search_many": velk.search_many,
                "search_range": velk.search_range}[target]
    args = [("queries" if many else "query", query), ("embeddings", matrix)]
    if where is not None:
        args.append(("where", V.Arg(where)))
    if progress is not None:
        args.append(("progress", V.Arg(progress)))
    call = Call(target, function, args)
    call.keywords = keywords
    call.allowed = {TypeError, ValueError, MemoryError}
    call.strict = False
    if where_status:
        call.must_raise = (TypeError, ValueError)
    if fdp.ConsumeIntInRange(0, 15) == 15:
        # A masked array: its mask would be dropped silently, so velk refuses it.
        target_arg = [query, matrix][fdp.ConsumeBool()]
        if isinstance(target_arg.obj, np.ndarray) and target_arg.obj.dtype.kind != "O":
            target_arg.obj = np.ma.masked_array(target_arg.obj, mask=fdp.ConsumeBool())
            call.must_raise = (TypeError, ValueError)
    qv = velk_values(query, copy, element, raw_bits)
    queries = 1 if batch is None else batch
    mv = velk_values(matrix, copy, element, raw_bits)
    if (cols == 0 or qv is None or mv is None or shape_of(query.obj) != query.shape
            or where_status is None or call.must_raise):
        cols = None
    if cols is not None and (query.shape[-1] != cols or len(qv) != queries * cols):
        cols = None
    # The model's scores for each query, before the call: thresholds are
    # chosen around them.
    model_scores = None
    if cols is not None:
        model_scores = model.FlatScores(qv, mv, cols)
    threshold = threshold_value = None
    if ranged:
        near = model_scores[0] if model_scores is not None and queries else None
        threshold, threshold_value, status = V.decode_threshold(fdp, ctx, near)
        if type(threshold) is int and abs(threshold) >= 2**1024:
            # velk compares an integer beyond the doubles as the real number it
            # is, as an infinity would (the engine's own entry refuses it).
            threshold_value, status = (math.inf if threshold > 0 else -math.inf), False
        call.args.append(("threshold", V.Arg(threshold)))
        if status:
            call.must_raise = (call.must_raise or ()) + (TypeError, ValueError, OverflowError)
            call.allowed = call.allowed | {OverflowError}
        elif status is None or threshold_value is None:
            cols = None
        call.positional = [query.obj, matrix.obj, threshold]
    else:
        call.positional = [query.obj, matrix.obj, k.obj]
        call.args.append(("k", k))
        if kval is None:
            cols = None
    if cols is None or call.must_raise:
        return call
    ready = velk_ready(query) and (velk_ready(matrix) if element == "float32" else half_ready(matrix, element, dtype_kw))
    if ready and (batch is None or kval is None or kval <= 2**24) and not progress_raises:
        # (search_many's results are always k wide, even for no queries: a
        # huge k cannot be allocated.)
        call.must_succeed = True

    def check_one(indices, scores_f32, i):
        scores = model_scores[i]
        if scores is None:
            return None if len(indices) == 0 else "expected no rows for a zero query"
        # velk orders tied rows by row, always (a total order).
        return filtered_ranking(indices, scores_f32.view(np.uint32), scores, kval, allowed)

    def check(result):
        if not isinstance(result, tuple) or len(result) != (3 if ranged and batch is not None else 2):
            return f"not a tuple of arrays: {result!r:.200}"
        if ranged:
            if batch is None:
                return check_range_rows(result[0], result[1], model_scores[0], allowed, threshold_value)
            lims, indices, scores = result
            error = check_lims(lims, len(indices), batch)
            for i in range(batch):
                error = error or check_range_rows(indices[lims[i]:lims[i + 1]], scores[lims[i]:lims[i + 1]],
                                                  model_scores[i], allowed, threshold_value)
                if error:
                    return f"query {i}: {error}"
            return error
        indices, scores = result
        if indices.dtype != np.int64 or scores.dtype != np.float32:
            return f"dtypes {indices.dtype}, {scores.dtype}"
        if not many:
            if indices.shape != scores.shape or indices.ndim != 1:
                return f"shapes {indices.shape}, {scores.shape}"
            return check_one(indices, scores, 0)
        if indices.shape != (batch, kval) or scores.shape != (batch, kval):
            return f"shapes {indices.shape}, {scores.shape} for {batch} queries and k={kval}"
        for i in range(batch):
            got = int(np.count_nonzero(indices[i] != -1))
            if np.any(indices[i, got:] != -1) or not np.all(np.isnan(scores[i, got:])):
                return f"row {i}: padding not at the end"
            error = check_one(indices[i, :got], scores[i, :got], i)
            if error:
                return f"query {i}: {error}"
        return None
    call.check = check
    return call


# --- velk._engine, the module under velk.search ----------------------------------

def decode_output(fdp, ctx, dtype, needed, inputs):
    """An output array for the engine: mostly right; else too small, of
    another dtype, read-only, misaligned, strided, or one of the inputs."""
    kind = fdp.ConsumeIntInRange(0, 15)
    size = needed + (fdp.ConsumeIntInRange(0, 3) if kind == 1 else 0)
    if kind == 2 and needed:
        return V.Arg(np.zeros(needed - 1, dtype=dtype), bad=True)
    if kind == 3:
        return V.Arg(np.zeros(size, dtype=[np.float64, np.int32, np.float32, np.uint64][
            fdp.ConsumeIntInRange(0, 3)]), bad=None)
    if kind == 4:
        a = np.zeros(size, dtype=dtype)
        a.flags.writeable = False
        return V.Arg(a, bad=True)
    if kind == 5 and size:
        raw = np.zeros(size * np.dtype(dtype).itemsize + 8, dtype=np.uint8)
        return V.Arg(raw[1:1 + size * np.dtype(dtype).itemsize].view(dtype), bad=True)
    if kind == 6 and size > 1:
        return V.Arg(np.zeros(2 * size, dtype=dtype)[::2], bad=True)
    if kind == 7 and inputs:
        # Writing over what is being read: the results are anything, but the
        # call must stay within the buffers.
        ctx.unknown = True
        return V.Arg(inputs[fdp.ConsumeIntInRange(0, len(inputs) - 1)], bad=None)
    return V.Arg(np.zeros(size, dtype=dtype), clean=True)


def malform(fdp, call):
    """Now and then a call of an engine function that its argument binding
    must refuse: one argument too many or too few, an unknown keyword, or
    one given twice."""
    if fdp.ConsumeIntInRange(0, 15) != 15:
        return
    call.layout_bad = True
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        call.positional = call.positional + [None]
    elif kind == 1:
        call.positional = call.positional[:-1]
    elif kind == 2:
        call.keywords = dict(call.keywords, bogus=1)
    else:
        call.keywords = dict(call.keywords, **{call.args[0][0]: call.positional[0]})


def decode_allowed(fdp, rows):
    """The engine's allowed=: (object, the rows it allows, status), status
    True when the rows are known, "bad" when it must be refused, None when
    either may happen. The filters of decode_where, and uint8 bytes, any
    non-zero one of which allows its row."""
    where, mask, status = V.decode_where(fdp, rows)
    if fdp.ConsumeIntInRange(0, 3) == 3 and isinstance(where, np.ndarray) and where.dtype == np.bool_ \
            and not status:
        where = where.astype(np.uint8) * np.uint8(fdp.ConsumeIntInRange(1, 255))
    elif isinstance(where, (list, np.ma.MaskedArray)) or (
            isinstance(where, np.ndarray) and where.dtype == np.uint8):
        status = None  # a list exports no buffer; masks and uint8 are bytes
    elif isinstance(where, np.ndarray) and where.ndim != 1:
        status = None  # the engine counts entries, whatever the shape
    elif isinstance(where, np.ndarray) and not where.flags.c_contiguous:
        status = True
    elif where is not None and not isinstance(where, np.ndarray):
        status = None
    return where, mask, ("bad" if status else status is False)


def decode_engine(fdp, ctx, batch):
    """search_one(query, embeddings, dim, k, indices, scores) and
    search_batch(queries, embeddings, dim, k, indices, scores, counts)."""
    from velk import _engine
    rows = fdp.ConsumeIntInRange(0, 40 if fdp.ConsumeIntInRange(0, 7) else 2000)
    width = fdp.ConsumeIntInRange(1, 9)
    matrix = V.decode_buffer(fdp, ctx, shape=(rows, width), others=fdp.ConsumeIntInRange(0, 7) == 0)
    nq = fdp.ConsumeIntInRange(0, 4) if batch else 1
    query = V.decode_buffer(fdp, ctx, shape=(nq, width) if batch else (width,),
                            others=fdp.ConsumeIntInRange(0, 7) == 0)
    if fdp.ConsumeIntInRange(0, 3) != 3:  # (also when the input is used up)
        dim, dv = V.Arg(width, clean=True), width
    else:
        dim, dv = V.decode_count(fdp, ctx, 10)
    k, kv = V.decode_count(fdp, ctx, 12)
    d = V.count_value(dim, dv) if dim.clean else None
    kval = V.count_value(k, kv) if k.clean else None
    if kval is not None and kval > 4096 and batch:
        k, kval = V.Arg(3, clean=True), 3
    # One query keeps at most a row each, however large k is; a batch's k was
    # kept small above.
    places = 0 if kval is None else nq * kval if batch else min(kval, rows)
    inputs = [a.obj for a in (query, matrix) if isinstance(a.obj, np.ndarray)]
    indices = decode_output(fdp, ctx, np.int64, places, inputs)
    scores = decode_output(fdp, ctx, np.float32, places, inputs)
    args = [("queries" if batch else "query", query), ("embeddings", matrix), ("dim", dim),
            ("k", k), ("indices", indices), ("scores", scores)]
    if batch:
        counts = decode_output(fdp, ctx, np.uint64, nq, inputs)
        args.append(("counts", counts))
    call = Call("search_batch" if batch else "search_one",
                _engine.search_batch if batch else _engine.search_one, args)
    call.allowed = {TypeError, ValueError, OverflowError, BufferError, MemoryError}
    call.strict = False
    # Now and then a filter, or the matrix as the bits of a 2-byte type.
    extra = fdp.ConsumeIntInRange(0, 7)
    allowed, where_ok = None, True
    if extra in (5, 7):
        where, allowed, where_ok = decode_allowed(fdp, rows)
        if where is not None:
            call.keywords["allowed"] = where
            args.append(("allowed", V.Arg(where, clean=where_ok is True)))
    if extra in (6, 7):
        code = fdp.ConsumeIntInRange(1, 2)
        element = ["float16", "bfloat16"][code - 1]
        bits = V.half_bits(fdp, rows * width, element).reshape(rows, width)
        matrix.obj, matrix.values = bits, V.widen(bits, element).reshape(-1)
        matrix.clean, matrix.bad = True, False
        call.keywords["element_type"] = code
    call.positional = [a.obj for _, a in call.args[:7 if batch else 6]]
    malform(fdp, call)
    if where_ok == "bad" and all(a.clean for _, a in args[:4]):
        call.must_raise = (TypeError, ValueError)
    if where_ok is not True or d != width or kval is None or query.values is None or matrix.values is None:
        return call
    mv, qv = model.to_f32(matrix.values), model.to_f32(query.values)
    if len(mv) != rows * width or len(qv) != nq * width:
        return call  # an exporter with data of its own size
    if all(a.clean for _, a in args[:4]):
        if all(a.clean for _, a in args[4:]):
            call.must_succeed = True
        elif any(a.bad for _, a in args[4:]):
            call.must_raise = (TypeError, ValueError, BufferError)

    all_scores = model.FlatScores(qv, mv, width)

    def check(result):
        out_i, out_s = indices.obj, scores.obj
        for q in range(nq):
            want = min(kval, rows if allowed is None else int(np.count_nonzero(allowed)))
            scores_q = all_scores[q]
            found = result if not batch else int(args[6][1].obj[q])
            expected = 0 if scores_q is None else want
            if found != expected:
                return f"query {q}: found {found} rows, expected {expected}"
            if batch:
                got_i, got_s = out_i[q * kval:q * kval + found], out_s[q * kval:q * kval + found]
                pad_i, pad_s = out_i[q * kval + found:(q + 1) * kval], out_s[q * kval + found:(q + 1) * kval]
                if np.any(pad_i != -1) or not np.all(np.isnan(pad_s)):
                    return f"query {q}: padding is not -1 and NaN"
            else:
                got_i, got_s = out_i[:found], out_s[:found]
            if scores_q is not None:
                error = filtered_ranking(got_i.tolist(), got_s.view(np.uint32), scores_q, kval, allowed)
                if error:
                    return f"query {q}: {error}"
        return None
    call.check = check
    return call


def decode_engine_range(fdp, ctx):
    """search_range(queries, embeddings, dim, threshold, *, element_type,
    allowed, progress): float32 or 2-byte bits, an allowed buffer of bool or
    uint8 (any non-zero byte allows the row), or of another type or length."""
    from velk import _engine
    # Now and then enough work for the lock to be given up while scoring.
    size = fdp.ConsumeIntInRange(0, 15)
    rows = fdp.ConsumeIntInRange(0, 9000 if size == 15 else 1500 if size == 14 else 40)
    width = fdp.ConsumeIntInRange(1, 9)
    code = fdp.ConsumeIntInRange(0, 2)
    keywords = {}
    if code == 0:
        matrix = V.decode_buffer(fdp, ctx, shape=(rows, width), others=fdp.ConsumeIntInRange(0, 7) == 0)
        mv = None if matrix.values is None else model.to_f32(matrix.values)
    else:
        element = ["float16", "bfloat16"][code - 1]
        bits = V.half_bits(fdp, rows * width, element).reshape(rows, width)
        matrix = V.Arg(bits, clean=True)
        if fdp.ConsumeIntInRange(0, 7) == 7:
            # Not uint16: the engine reads the bits of a uint16 buffer only.
            matrix = V.Arg(bits.view(np.float16) if fdp.ConsumeBool() else bits.astype(np.float32), bad=True)
        mv = V.widen(bits, element).reshape(-1)
    element_kind = fdp.ConsumeIntInRange(0, 15)
    element_arg = V.Arg(code, clean=True)
    if code or element_kind == 14:
        keywords["element_type"] = code
    if element_kind == 15:
        # An unknown code, or no integer at all.
        element_arg = V.Arg([3, -1, 2**64, "float16", 1.0][fdp.ConsumeIntInRange(0, 4)], bad=True)
        keywords["element_type"] = element_arg.obj
    nq = fdp.ConsumeIntInRange(0, 4)
    if fdp.ConsumeIntInRange(0, 3) != 3:  # (also when the input is used up)
        values = np.array(V.decode_array_values(fdp, nq * width), dtype=np.float64).astype(np.float32)
        query = V.Arg(values.reshape(nq, width), values, clean=True)
    else:
        query = V.decode_buffer(fdp, ctx, shape=(nq, width), others=fdp.ConsumeIntInRange(0, 7) == 0)
    dim = V.Arg(width, clean=True)
    if fdp.ConsumeIntInRange(0, 7) == 7:
        dim, dv = V.decode_count(fdp, ctx, 10)
        if dim.clean and V.count_value(dim, dv) != width:
            dim = V.Arg(dim.obj)  # another row width: refused or read otherwise
    allowed, where_ok = None, True
    if fdp.ConsumeIntInRange(0, 7) >= 4:
        where, allowed, where_ok = decode_allowed(fdp, rows)
        if where is not None:
            keywords["allowed"] = where
    scores = None
    qv = None if query.values is None else model.to_f32(query.values)
    checkable = (mv is not None and qv is not None and dim.clean and element_arg.clean and where_ok is True
                 and len(mv) == rows * width and len(qv) == nq * width)
    if checkable:
        scores = model.FlatScores(qv, mv, width)
    near = scores[0] if scores is not None and nq else None
    threshold, threshold_value, status = V.decode_threshold(fdp, ctx, near)
    progress, progress_raises = decode_progress(fdp, ctx, [matrix.obj, keywords.get("allowed")])
    if progress is not None:
        keywords["progress"] = progress
    args = [("queries", query), ("embeddings", matrix), ("dim", dim), ("threshold", V.Arg(threshold))]
    args += [(name, V.Arg(keywords[name])) for name in ("allowed", "progress") if name in keywords]
    call = Call("_engine.search_range", _engine.search_range, args)
    call.positional = [query.obj, matrix.obj, dim.obj, threshold]
    call.keywords = keywords
    call.allowed = {TypeError, ValueError, OverflowError, BufferError, MemoryError}
    call.strict = False
    call.any_rounding = True
    malform(fdp, call)
    if status or where_ok == "bad" or matrix.bad or element_arg.bad:
        call.must_raise = (TypeError, ValueError, OverflowError, BufferError)
        return call
    if not checkable or status is None or threshold_value is None:
        return call
    if query.clean and not progress_raises:
        call.must_succeed = True

    def check(result):
        if not (isinstance(result, tuple) and len(result) == 3
                and all(type(b) is bytearray for b in result)):
            return f"not three bytearrays: {result!r:.200}"
        lims = np.frombuffer(result[0], dtype=np.uint64).astype(np.int64)
        indices = np.frombuffer(result[1], dtype=np.int64)
        found = np.frombuffer(result[2], dtype=np.float32)
        error = check_lims(lims, len(indices), nq)
        for i in range(nq):
            if error:
                return error
            error = check_range_rows(indices[lims[i]:lims[i + 1]], found[lims[i]:lims[i + 1]],
                                     scores[i], allowed, threshold_value)
            if error:
                error = f"query {i}: {error}"
        return error
    call.check = check
    return call


TARGETS = [
    decode_cosine_similarity,
    decode_top_k,
    decode_top_k_flat,
    decode_top_k_flat_np,
    lambda fdp, ctx: decode_velk(fdp, ctx, "search"),
    lambda fdp, ctx: decode_velk(fdp, ctx, "search_many"),
    lambda fdp, ctx: decode_velk(fdp, ctx, "search_range"),
    lambda fdp, ctx: decode_engine(fdp, ctx, batch=False),
    lambda fdp, ctx: decode_engine(fdp, ctx, batch=True),
    decode_engine_range,
]


# --- the oracle ------------------------------------------------------------------

def tracked_objects(call, ctx):
    """The objects whose reference counts must survive the call."""
    objs = [a.obj for _, a in call.args]
    if ctx.unknown:
        # A Mutator drops and adds references to the numbers it replaces,
        # which may be the very constants passed as other arguments.
        objs = [o for o in objs if not isinstance(o, (int, float, str))]
    else:
        for _, a in call.args:
            if isinstance(a.obj, list):
                objs.extend(list.__iter__(a.obj))  # not the hostile __iter__ or __len__
            elif isinstance(a.obj, tuple):
                objs.extend(tuple.__iter__(a.obj))
    seen, out = set(), []
    for o in objs:
        if id(o) not in seen:
            seen.add(id(o))
            out.append(o)
    return out


def judge_exception(call, ctx, error):
    name = type(error).__name__
    try:
        message = str(error.args[0]) if error.args else ""
    except V.HostileError:
        message = None  # a hostile object's exception, unprintable on purpose
    if not message and not ctx.unprintable:
        raise OracleError(f"{call.target}: {name} without a message")
    if name == PANIC:
        if not call.must_panic:
            raise OracleError(f"{call.target}: unexpected panic: {message}")
        if message != "attempt to divide by zero":
            raise OracleError(f"{call.target}: panic {message!r} for dim=0")
        return
    if call.must_panic and not call.layout_bad and not ctx.extra and not ctx.unknown:
        if all(not a.bad for _, a in call.args):
            raise OracleError(f"{call.target}: dim=0 raised {name}: {message}, not a panic")
    if type(error) not in call.allowed | ctx.extra:
        raise OracleError(f"{call.target}: undocumented {name}: {message}")
    if type(error) is TypeError and not call.layout_bad and call.target in PREFIXED and message is not None:
        # A conversion's TypeError names the argument it came from.
        if not any(message.startswith(f"argument '{n}': ") for n, _ in call.args):
            raise OracleError(f"{call.target}: TypeError without the argument's name: {message}")
    if call.must_raise is not None and not isinstance(error, call.must_raise + tuple(ctx.extra)):
        raise OracleError(f"{call.target}: raised {name}: {message}")
    if call.must_succeed and not call.layout_bad:
        raise OracleError(f"{call.target}: refused valid arguments with {name}: {message}")
    if not call.layout_bad and not ctx.unknown and not ctx.extra and call.strict:
        if all(a.clean for _, a in call.args) and not call.must_panic:
            raise OracleError(f"{call.target}: refused valid arguments with {name}: {message}")


def judge_result(call, ctx, result):
    if call.layout_bad:
        raise OracleError(f"{call.target}: accepted a malformed call")
    if call.must_raise is not None:
        raise OracleError(f"{call.target}: returned instead of raising")
    if call.must_panic:
        raise OracleError(f"{call.target}: dim=0 returned {result!r:.200}")
    if call.strict and not ctx.unknown and any(a.bad for _, a in call.args):
        bad = [n for n, a in call.args if a.bad]
        raise OracleError(f"{call.target}: accepted invalid {bad}: {result!r:.200}")
    if call.check is not None and not ctx.unknown:
        error = call.check(result)
        if error:
            raise OracleError(f"{call.target}: {error}")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    ctx = V.Context()
    target = TARGETS[fdp.ConsumeIntInRange(0, len(TARGETS) - 1)]
    call = target(fdp, ctx)
    if call.strict:
        bind(fdp, call, ctx)
    else:
        call.positional = call.positional or [a.obj for _, a in call.args]
    V.link_mutators(fdp, ctx)
    # The caller's rounding mode must not change _velk's results, nor the
    # engine's threshold search (which narrows a double threshold). (velk's
    # own conversions are numpy's, which follow the caller's mode.)
    rounding = 0
    if (call.strict or call.any_rounding) and fdp.ConsumeIntInRange(0, 7) == 0:
        rounding = ROUNDING_MODES[fdp.ConsumeIntInRange(0, 3)]

    tracked = tracked_objects(call, ctx)
    # No collection during the call: freeing an earlier input's cycles would
    # change the counts of the objects it shares with this one.
    gc.disable()
    before = [sys.getrefcount(o) for o in tracked]
    result = error = None
    if rounding:
        LIBC.fesetround(rounding)
    try:
        result = call.function(*call.positional, **call.keywords)
    except BaseException as e:  # noqa: B036 - PanicException and Halt included
        error = e
    finally:
        if rounding:
            LIBC.fesetround(0)
    try:
        if error is not None:
            judge_exception(call, ctx, error)
            error = None
        else:
            judge_result(call, ctx, result)
    except OracleError as e:
        raise OracleError(f"{e}\n  call: {describe(call)}") from None
    result = None
    after = [sys.getrefcount(o) for o in tracked]
    gc.enable()
    if after != before:
        changed = [(type(o).__name__, b, a) for o, b, a in zip(tracked, before, after) if a != b]
        raise OracleError(f"{call.target}: reference counts changed: {changed}\n  call: {describe(call)}")


def main():
    # libFuzzer runs argv[0] through the shell for -merge: make it a command
    # that starts this interpreter on this file.
    argv = [f"{sys.executable} {os.path.abspath(__file__)}"] + sys.argv[1:]
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
