"""Coverage-guided fuzzer of every entry point of `_velk` and `velk`.

Run by tools/run-fuzz (`make fuzz`), under atheris against the module built
with AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
counters. Each input is decoded into one call: the entry point, its
arguments (see values.py) and how they are passed. The oracle, besides "no
crash, no sanitizer report, no hang":

- a call that returns gives exactly what the float32 model in model.py
  computes: the min(k, rows) best rows, best first, every score bit for bit,
  tied rows in row order wherever the guide promises that;
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
        call.check = pairs_check(call, lambda: model.flat_scores(query.values, values.values, d), V.count_value(k, kv), model.flat_is_stable)
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


def velk_values(arg, copy):
    """The float32 values velk searches for an argument, as its guide says:
    lists through a Python float (nearest binary32), float32 arrays as they
    are, other numeric arrays when `copy` allows it: integers and floats
    wider than a double through a double first, as lists go."""
    obj = arg.obj
    if isinstance(obj, (list, tuple)):
        flat = list(_flatten(obj))
        return model.to_f32([float(x) for x in flat])
    if arg.values is not None:
        return model.to_f32(arg.values)
    if copy and isinstance(obj, np.ndarray) and obj.dtype.kind in "biuf":
        with np.errstate(all="ignore"):
            if obj.dtype.kind in "biu" or obj.dtype.itemsize > 8:
                obj = obj.astype(np.float64)
            return obj.astype(np.float32).reshape(-1)
    return None


def _flatten(obj):
    for x in obj:
        if isinstance(x, (list, tuple)):
            yield from x
        else:
            yield x


def decode_search(fdp, ctx, many):
    matrix, width = decode_matrix(fdp, ctx)
    batch = fdp.ConsumeIntInRange(0, 4) if many else None
    query = decode_query(fdp, ctx, width, batch)
    k, kv = V.decode_count(fdp, ctx, 30)
    if many and k.clean and V.count_value(k, kv) > 4096 and V.count_value(k, kv) < 2**62:
        # search_many allocates (queries, k) results: keep that small.
        k, kv = V.Arg(3, clean=True), 3
    copy = fdp.ConsumeBool()
    dim_kind = fdp.ConsumeIntInRange(0, 5)
    keywords = {"copy": copy}
    if dim_kind == 1 and width is not None:
        keywords["dim"] = width
    elif dim_kind == 2:
        dim_arg, dim_value = V.decode_count(fdp, ctx, 9)
        keywords["dim"] = dim_arg.obj
        if not dim_arg.clean:
            dim_kind = -1
        else:
            keywords["dim"] = V.count_value(dim_arg, dim_value) if dim_value is not None else dim_arg.obj
    name = "search_many" if many else "search"
    call = Call(name, velk.search_many if many else velk.search,
                [("queries" if many else "query", query), ("embeddings", matrix), ("k", k)])
    call.positional = [query.obj, matrix.obj, k.obj]
    call.keywords = keywords
    call.allowed = {TypeError, ValueError, MemoryError}
    call.strict = False
    kval = V.count_value(k, kv) if k.clean else None
    if fdp.ConsumeIntInRange(0, 15) == 0:
        # A masked array: its mask would be dropped silently, so velk refuses it.
        target = [query, matrix][fdp.ConsumeBool()]
        if isinstance(target.obj, np.ndarray) and target.obj.dtype.kind != "O":
            target.obj = np.ma.masked_array(target.obj, mask=fdp.ConsumeBool())
            call.positional = [query.obj, matrix.obj, k.obj]
            call.must_raise = (TypeError, ValueError)
            return call
    dim = keywords.get("dim")
    if dim is not None:
        dim = operator.index(dim) if dim_kind != -1 else None
    shape = shape_of(matrix.obj)
    if kval is None or shape is None or dim_kind == -1:
        return call
    if len(shape) == 2:
        cols = shape[1]
        if dim is not None and dim != cols:
            return call
    elif len(shape) == 1 and type(dim) is int and dim > 0 and shape[0] % dim == 0:
        cols = dim
    else:
        return call
    if cols == 0:
        return call
    qv, mv = velk_values(query, copy), velk_values(matrix, copy)
    if qv is None or mv is None or shape_of(query.obj) != query.shape:
        return call
    if velk_ready(query) and velk_ready(matrix) and query.shape[-1] == cols and (batch is None or len(qv) == batch * cols) \
            and (batch is not None or len(qv) == cols) and (batch is None or kval <= 2**24):
        # (search_many's results are always k wide, even for no queries: a
        # huge k cannot be allocated.)
        call.must_succeed = True

    def check_one(indices, scores_f32, q):
        if len(q) != cols:
            return "accepted a query of the wrong length"
        scores = model.flat_scores(q, mv, cols)
        if scores is None:
            return None if len(indices) == 0 else "expected no rows for a zero query"
        # velk orders tied rows by row, always (a total order).
        return model.check_ranking(list(indices), scores_f32.view(np.uint32), scores, kval,
                                   stable=True)

    def check(result):
        if not (isinstance(result, tuple) and len(result) == 2):
            return f"not a pair of arrays: {result!r:.200}"
        indices, scores = result
        if indices.dtype != np.int64 or scores.dtype != np.float32:
            return f"dtypes {indices.dtype}, {scores.dtype}"
        if not many:
            if indices.shape != scores.shape or indices.ndim != 1:
                return f"shapes {indices.shape}, {scores.shape}"
            return check_one(indices, scores, qv)
        if indices.shape != (batch, kval) or scores.shape != (batch, kval):
            return f"shapes {indices.shape}, {scores.shape} for {batch} queries and k={kval}"
        for i in range(batch):
            got = int(np.count_nonzero(indices[i] != -1))
            if np.any(indices[i, got:] != -1) or not np.all(np.isnan(scores[i, got:])):
                return f"row {i}: padding not at the end"
            error = check_one(indices[i, :got], scores[i, :got], qv[i * cols:(i + 1) * cols])
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
    places = (nq * kval if batch else min(kval, rows)) if kval is not None and kval < 2**40 else 0
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
    if d != width or kval is None or query.values is None or matrix.values is None:
        return call
    mv, qv = model.to_f32(matrix.values), model.to_f32(query.values)
    if len(mv) != rows * width or len(qv) != nq * width:
        return call  # an exporter with data of its own size
    if all(a.clean for _, a in args[:4]):
        if all(a.clean for _, a in args[4:]):
            call.must_succeed = True
        elif any(a.bad for _, a in args[4:]):
            call.must_raise = (TypeError, ValueError, BufferError)

    def check(result):
        out_i, out_s = indices.obj, scores.obj
        for q in range(nq):
            want = min(kval, rows)
            scores_q = model.flat_scores(qv[q * width:(q + 1) * width], mv, width)
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
                error = model.check_ranking(got_i.tolist(), got_s.view(np.uint32), scores_q, kval, stable=True)
                if error:
                    return f"query {q}: {error}"
        return None
    call.check = check
    return call


TARGETS = [
    decode_cosine_similarity,
    decode_top_k,
    decode_top_k_flat,
    decode_top_k_flat_np,
    lambda fdp, ctx: decode_search(fdp, ctx, many=False),
    lambda fdp, ctx: decode_search(fdp, ctx, many=True),
    lambda fdp, ctx: decode_engine(fdp, ctx, batch=False),
    lambda fdp, ctx: decode_engine(fdp, ctx, batch=True),
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
    # The caller's rounding mode must not change _velk's results. (velk's
    # own conversions are numpy's, which follow the caller's mode.)
    rounding = 0
    if call.strict and fdp.ConsumeIntInRange(0, 7) == 0:
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
