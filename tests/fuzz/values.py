"""Decoding fuzzer bytes into arguments: numbers, sequences, buffers, counts.

Every decoder returns an `Arg`: the object to pass, the float32 values the
module will read from it when the call succeeds (None when they cannot be
known in advance, e.g. when a hostile element changes its container), and
what the object allows the call to do:

- `clean`: a plain, valid argument; a call whose arguments are all clean
  must succeed.
- `bad`: an argument the module must refuse; the call must raise.
- `extra`: exception types the object itself may raise or provoke (its own
  HostileError, numpy's ValueError for a buffer it will not export, ...).

Decoding stays cheap: sizes are small, values come from a palette that is
rich in ties, zeros, subnormals, infinities and NaNs, and the only numpy work
is building the arrays themselves.
"""

from __future__ import annotations

import struct
from array import array
from collections import deque

import numpy as np

F32 = np.float32


class HostileError(Exception):
    """Raised by the fuzzer's own hostile objects."""


class Halt(BaseException):
    """Raised by hostile objects that bypass `except Exception`."""


def _f32_from_bits(bits: int) -> float:
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFFFFFF))[0]


def _f64_from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits & 0xFFFFFFFFFFFFFFFF))[0]


# Values that reach the corners of the arithmetic: signed zeros, values whose
# squares underflow or overflow, binary32 subnormals, the largest finite
# values, doubles that round to the binary32 boundary, NaNs with payloads.
PALETTE = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, -3.0, 0.1, 1.0e-20, -1.0e-20, 1.0e20,
    1.0e-45, 1.0e-40, 3.4028234663852886e38, -3.4028234663852886e38,
    3.4028235677973366e38, 1.0e39, 1.17549435e-38, float("inf"), float("-inf"),
    float("nan"), -float("nan"), _f32_from_bits(0x7FC00001), _f32_from_bits(0xFFA00000),
    _f64_from_bits(0x7FF0000000000001), 16777217.0, 0.30000001192092896,
]

# Integers around the exactness limits of binary32 and binary64, and beyond
# the range of a double (converting those raises OverflowError).
INTS = [0, 1, -1, 7, 2**24 + 1, 2**53 + 1, 2**60 + 2**36 + 1, -(2**63), 2**64 + 1, 2**1024]

# Counts (k and dim) at every boundary of the 64-bit conversion.
COUNTS = [2**31, 2**32 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**64 + 5, 2**100, -1, -(2**64)]


class Arg:
    __slots__ = ("obj", "values", "clean", "bad", "extra", "shape")

    def __init__(self, obj, values=None, clean=False, bad=False, extra=(), shape=None):
        self.obj = obj
        self.values = values      # list of floats the module reads, or None
        self.clean = clean
        self.bad = bad
        self.extra = frozenset(extra)
        self.shape = shape        # row lengths, for lists of rows


# --- hostile numbers -------------------------------------------------------

class FloatSub(float):
    """A float subclass: the module reads its stored value, never __float__."""

    def __float__(self):
        raise HostileError("FloatSub.__float__ must not be called")


class IntSub(int):
    pass


class WithFloat:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class WithIndex:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Unprintable:
    """An object whose str() and repr() raise: as an exception's argument it
    makes the exception's own message unprintable."""

    def __str__(self):
        raise HostileError("hostile __str__")

    def __repr__(self):
        raise HostileError("hostile __repr__")


class TypeErrorSub(TypeError):
    pass


class StrSub(str):
    """A keyword name whose str() raises and whose comparisons lie."""

    def __str__(self):
        raise HostileError("hostile keyword __str__")

    def __eq__(self, other):
        raise HostileError("hostile keyword __eq__")

    __hash__ = str.__hash__


# What the hostile conversions raise: the fuzzer's own errors, a
# BaseException, TypeErrors (which the module rewords with the argument's
# name) whose message is a subclass, not a str, or cannot be printed.
ERRORS = [
    lambda: HostileError("hostile conversion"),
    lambda: Halt("hostile conversion"),
    lambda: TypeErrorSub("hostile conversion"),
    lambda: TypeError(Unprintable()),
    lambda: TypeError(12345),
    lambda: TypeError(),
    lambda: OverflowError("hostile conversion"),
]


class Raising:
    """__float__ and __index__ raise one of ERRORS."""

    __slots__ = ("error",)

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error()

    def __index__(self):
        raise self.error()


class WrongType:
    """__float__ returns an int and __index__ a float: both are refused."""

    def __float__(self):
        return 1

    def __index__(self):
        return 1.5


class Mutator:
    """A number that changes a container of the same call, once, while it is
    being converted: clears it, grows it, shrinks it or replaces it."""

    __slots__ = ("target", "action", "fired")

    def __init__(self, action):
        self.target = None
        self.action = action
        self.fired = False

    def __float__(self):
        if not self.fired and self.target is not None:
            self.fired = True
            t = self.target
            if self.action == 0:
                t.clear()
            # Fresh objects: shared constants would be counted by the oracle.
            elif self.action == 1:
                t.extend([float(1), float(2), float(-1)])
            elif self.action == 2:
                try:
                    t.pop()
                except IndexError:
                    pass
            elif self.action == 3 and isinstance(t, list):
                t[:] = [float(4) for _ in range(40)]
            elif self.action == 4 and isinstance(t, list):
                t.insert(0, [float(1), float(2)])
        return float(3)


def decode_element(fdp, ctx):
    """One number-like element: (object, its value or None, clean, bad)."""
    kind = fdp.ConsumeIntInRange(0, 31)
    if kind < 16:
        v = PALETTE[fdp.ConsumeIntInRange(0, len(PALETTE) - 1)] if kind < 10 else fdp.ConsumeFloat()
        return v, v, True, False
    if kind < 19:
        i = INTS[fdp.ConsumeIntInRange(0, len(INTS) - 1)] if kind == 16 else fdp.ConsumeIntInRange(-5, 5)
        if abs(i) >= 2**1024:
            return i, None, False, True  # OverflowError: too large for a float
        return i, float(i), True, False
    if kind == 19:
        b = fdp.ConsumeBool()
        return b, float(b), True, False
    v = PALETTE[fdp.ConsumeIntInRange(0, len(PALETTE) - 1)]
    if kind == 20:
        return FloatSub(v), v, True, False
    if kind == 21:
        i = INTS[fdp.ConsumeIntInRange(0, 8)]
        return IntSub(i), float(i), True, False
    if kind == 22:
        return WithFloat(v), v, True, False
    if kind == 23:
        i = fdp.ConsumeIntInRange(-3, 3)
        return WithIndex(i), float(i), True, False
    if kind == 24:
        ctx.extra.update((HostileError, Halt, TypeErrorSub, OverflowError))
        ctx.unprintable = True
        return Raising(ERRORS[fdp.ConsumeIntInRange(0, len(ERRORS) - 1)]), None, False, True
    if kind == 25:
        ctx.extra.add(HostileError)
        return Raising(ERRORS[0]), None, False, True
    if kind == 26:
        return WrongType(), None, False, True
    if kind == 27:
        m = Mutator(fdp.ConsumeIntInRange(0, 4))
        ctx.mutators.append(m)
        return m, None, False, False
    if kind == 28:
        scalar = [np.float32, np.float16, np.float64, np.int64, np.uint8, np.bool_][fdp.ConsumeIntInRange(0, 5)]
        with np.errstate(all="ignore"):
            s = scalar(v) if scalar not in (np.int64, np.uint8) else scalar(fdp.ConsumeIntInRange(0, 200))
        return s, float(s), True, False
    if kind == 29:
        return "1.0", None, False, True
    if kind == 30:
        return None, None, False, True
    return complex(v, 1.0), None, False, True


class Context:
    """What one call's decoding collected: hostile objects and exception types
    they may raise or provoke."""

    __slots__ = ("extra", "mutators", "containers", "unknown", "unprintable")

    def __init__(self):
        self.unprintable = False  # an exception message may be empty or unprintable
        self.extra = set()
        self.mutators = []
        self.containers = []
        self.unknown = False


# --- sequences -------------------------------------------------------------

class ListSub(list):
    """A list whose __len__ and __iter__ can lie or raise."""

    def __init__(self, items, length=None, iterate=None):
        super().__init__(items)
        self.length = length
        self.iterate = iterate

    def __len__(self):
        if self.length is None:
            return list.__len__(self)
        if isinstance(self.length, type):
            raise self.length("hostile __len__")
        return self.length

    def __iter__(self):
        if self.iterate is None:
            return list.__iter__(self)
        return self.iterate(self)


class ByIndex:
    """A sequence known only by __len__ and __getitem__ (IndexError ends it)."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def _iter_then_raise(seq):
    yield from list.__iter__(seq)
    raise HostileError("hostile __iter__")


def _iter_twice(seq):
    yield from list.__iter__(seq)
    yield from list.__iter__(seq)


def _iter_not_iterator(seq):
    return 42


def decode_vector(fdp, ctx, max_len=12, allow_odd=True):
    """A sequence of numbers: a list, tuple, subclass with a lying __len__ or
    __iter__, a sequence known by __getitem__ only, deque, array, range,
    numpy array, bytes, memoryview; or something that is not a sequence."""
    n = fdp.ConsumeIntInRange(0, max_len)
    items, values, clean, bad = [], [], True, False
    for _ in range(n):
        obj, v, c, b = decode_element(fdp, ctx)
        items.append(obj)
        values.append(v)
        clean &= c
        bad |= b
    if not clean:
        values = None
    form = fdp.ConsumeIntInRange(0, 23) if allow_odd else fdp.ConsumeIntInRange(0, 5)
    if form <= 3:
        obj = items
    elif form <= 5:
        obj = tuple(items)
    elif form == 6:
        # __len__ is only a size hint: lying or raising must not matter.
        length = [2**62, -1, HostileError, 0, 10**6][fdp.ConsumeIntInRange(0, 4)]
        obj = ListSub(items, length=length)
    elif form == 7:
        obj = ListSub(items, iterate=_iter_then_raise)
        ctx.extra.add(HostileError)
        bad, values = True, None
    elif form == 8:
        obj = ListSub(items, iterate=_iter_twice)
        values = None if values is None else values + values
    elif form == 9:
        obj = ListSub(items, iterate=_iter_not_iterator)
        bad, values = True, None
    elif form == 10:
        obj = ByIndex(items, fdp.ConsumeIntInRange(0, 2 * max_len))
    elif form == 11:
        obj = deque(items)
    elif form == 12 and clean:
        obj = array("fd"[fdp.ConsumeIntInRange(0, 1)], values)
        values = list(obj)
    elif form == 13:
        start = fdp.ConsumeIntInRange(-3, 3)
        obj = range(start, start + n)
        values, clean, bad = [float(i) for i in obj], True, False
    elif form == 14:
        dtype = [np.float32, np.float64, np.float16][fdp.ConsumeIntInRange(0, 2)]
        with np.errstate(all="ignore"):
            obj = np.array(values if values is not None else [], dtype=dtype)
        values, clean, bad = [float(x) for x in obj], True, False
    elif form == 15:
        obj = fdp.ConsumeBytes(n)
        values, clean, bad = [float(x) for x in obj], True, False
    elif form == 16:
        obj = memoryview(array("f", [0.5, -2.0, 0.0][: n % 4]))
        values, clean, bad = [float(x) for x in obj], True, False
    elif form == 17:
        obj = (x for x in items)  # an iterator is not a sequence
        bad, values = True, None
    elif form == 18:
        obj = set(range(n))
        bad, values = True, None
    elif form == 19:
        obj = "0.5" * (n % 3)
        bad, values = True, None
    elif form == 20:
        obj = {i: 1.0 for i in range(n)}
        bad, values = True, None
    elif form == 21:
        obj = [1.5, None, 2**70][fdp.ConsumeIntInRange(0, 2)]
        bad, values = True, None
    else:
        obj = items
    if isinstance(obj, (list, deque)):
        ctx.containers.append(obj)
    return Arg(obj, values, clean=clean and not bad, bad=bad)


def decode_rows(fdp, ctx, max_rows=10, max_dim=8):
    """A sequence of rows for top_k: rows may differ in length."""
    n = fdp.ConsumeIntInRange(0, max_rows)
    rows, values, shape, clean, bad = [], [], [], True, False
    for _ in range(n):
        r = decode_vector(fdp, ctx, max_len=max_dim, allow_odd=fdp.ConsumeIntInRange(0, 7) == 0)
        rows.append(r.obj)
        clean &= r.clean
        bad |= r.bad
        if r.values is None or values is None:
            values = None
        else:
            values.append(r.values)
    form = fdp.ConsumeIntInRange(0, 7)
    if form <= 4:
        obj = rows
        ctx.containers.append(obj)
    elif form == 5:
        obj = tuple(rows)
    elif form == 6:
        obj = ListSub(rows, length=[2**62, -1, 0][fdp.ConsumeIntInRange(0, 2)])
        clean = False
    else:
        # A flat vector or a str where rows are expected.
        obj = [[1.0, 2.0], "rows", (0.5,), 3][fdp.ConsumeIntInRange(0, 3)]
        clean, bad, values = False, True, None
    return Arg(obj, values, clean=clean and not bad, bad=bad)


# --- counts ----------------------------------------------------------------

def decode_count(fdp, ctx, small_max):
    """k or dim: a small int mostly; else a boundary int, an int-like object,
    a bool, a numpy integer, or something that is no integer at all."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind < 9:
        return Arg(fdp.ConsumeIntInRange(0, small_max), clean=True), None
    if kind == 9:
        v = COUNTS[fdp.ConsumeIntInRange(0, len(COUNTS) - 1)]
        ok = 0 <= v < 2**64
        return Arg(v, clean=ok, bad=not ok), v
    if kind == 10:
        v = fdp.ConsumeIntInRange(0, small_max)
        return Arg([IntSub(v), WithIndex(v), np.int64(v), np.uint64(v)][fdp.ConsumeIntInRange(0, 3)], clean=True), v
    if kind == 11:
        b = fdp.ConsumeBool()
        return Arg(b, clean=True), int(b)
    if kind == 12:
        ctx.extra.update((HostileError, Halt, TypeErrorSub, OverflowError))
        ctx.unprintable = True
        return Arg(Raising(ERRORS[fdp.ConsumeIntInRange(0, len(ERRORS) - 1)]), bad=True), None
    if kind == 13:
        v = 2**64 + fdp.ConsumeIntInRange(0, 3)
        return Arg(WithIndex(v), bad=True), v
    v = [2.0, "3", None, WrongType(), complex(1, 0)][fdp.ConsumeIntInRange(0, 4)]
    return Arg(v, bad=True), None


def count_value(arg: Arg, decoded):
    """The integer value of a clean count argument."""
    if decoded is not None:
        return decoded
    return int(arg.obj)


def link_mutators(fdp, ctx):
    """Points each Mutator at one of the call's containers (or none)."""
    for m in ctx.mutators:
        if ctx.containers:
            m.target = ctx.containers[fdp.ConsumeIntInRange(0, len(ctx.containers) - 1)]
    if ctx.mutators:
        ctx.extra.update((RuntimeError, HostileError, IndexError))
        ctx.unknown = True


# --- buffers ---------------------------------------------------------------

DTYPES = ["<f4", "<f4", "<f4", "<f4", ">f4", "<f8", "<f2", "<i4", "<u4", "|u1", "?", "<c8",
          "|V4", "|S4", "O", "<i8"]


class Exporter:
    """A buffer exporter written in Python (__buffer__): hands out a view of
    float32 data, of bytes, or raises; its release may raise too."""

    def __init__(self, data, behaviour, release_raises):
        self.data = data
        self.behaviour = behaviour
        self.release_raises = release_raises

    def __buffer__(self, flags):
        if self.behaviour == 1:
            raise HostileError("hostile __buffer__")
        if self.behaviour == 2:
            return memoryview(b"abcd")
        return memoryview(self.data)

    def __release_buffer__(self, view):
        view.release()
        if self.release_raises:
            raise HostileError("hostile __release_buffer__")


def decode_array_values(fdp, n):
    return [PALETTE[fdp.ConsumeIntInRange(0, len(PALETTE) - 1)] if fdp.ConsumeIntInRange(0, 3)
            else fdp.ConsumeFloat() for _ in range(n)]


def decode_buffer(fdp, ctx, rows_max=20, dim_max=9, shape=None, others=True):
    """A buffer exporter for top_k_flat_np: numpy arrays of every dtype, byte
    order, alignment, stride and shape, memoryviews of them (also cast or
    released), array.array, bytes, Python-level exporters, or no buffer at all.

    `values` are the float32 values read when the module accepts it; `clean`
    means it must be accepted, `bad` that it must be refused."""
    kind = fdp.ConsumeIntInRange(0, 15) if others else 0
    if kind >= 13:
        if kind == 13:
            vals = decode_array_values(fdp, fdp.ConsumeIntInRange(0, 6))
            with np.errstate(all="ignore"):
                data = array("f", np.array(vals, dtype=np.float64).astype(np.float32).tolist())
            behaviour = fdp.ConsumeIntInRange(0, 2)
            release_raises = fdp.ConsumeBool()
            if behaviour == 1 or release_raises:
                ctx.extra.add(HostileError)
            if release_raises:
                # The error of a failing release is unraisable at best.
                ctx.unknown = True
            ok = behaviour == 0 and not release_raises
            return Arg(Exporter(data, behaviour, release_raises), [float(x) for x in data] if ok else None,
                       clean=ok, bad=behaviour != 0)
        if kind == 14:
            obj = [array("d", [1.0, 2.0]), b"abcdefgh", bytearray(8)][fdp.ConsumeIntInRange(0, 2)]
            return Arg(obj, bad=True)
        obj = [[1.0, 2.0], 3.0, None, "abcd"][fdp.ConsumeIntInRange(0, 3)]
        return Arg(obj, bad=True)
    if shape is None:
        if fdp.ConsumeIntInRange(0, 15) == 0:
            # Now and then a matrix big enough to be split over the workers,
            # with the row scorer's full blocks and its tails.
            rows_max, dim_max = 3000, 40
        ndim = [1, 1, 1, 2, 2, 0, 3][fdp.ConsumeIntInRange(0, 6)]
        shape = tuple(fdp.ConsumeIntInRange(0, rows_max if i == 0 else dim_max) for i in range(ndim))
    ndim = len(shape)
    size = int(np.prod(shape)) if shape else 1
    dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
    offset = fdp.ConsumeIntInRange(0, 3) if fdp.ConsumeIntInRange(0, 3) == 0 else 0
    vals = decode_array_values(fdp, min(size, 64))
    if size > 64:
        # The decoded values repeated: a period that rarely divides the row
        # width, so rows differ, and many exact ties.
        vals = np.resize(np.array(vals or [0.0], dtype=np.float64), size)
    # Place the data `offset` bytes past an aligned start.
    raw = np.zeros(size * dtype.itemsize + offset + 8, dtype=np.uint8)
    with np.errstate(all="ignore"):
        if dtype.kind == "O":
            arr = np.array(vals, dtype=object).reshape(shape)
        else:
            arr = raw[offset: offset + size * dtype.itemsize].view(dtype).reshape(shape)
            if dtype.kind in "fiub?":
                arr[...] = np.array(vals, dtype=np.float64).astype(dtype).reshape(shape)
            elif dtype.kind == "c":
                arr[...] = np.array(vals, dtype=np.float64).reshape(shape)
            if dtype.kind == "f" and dtype.itemsize == 4 and size and fdp.ConsumeIntInRange(0, 7) == 0:
                # Signaling NaNs, which no conversion from a double can make.
                bits = arr.reshape(-1).view(np.uint32)
                bits[fdp.ConsumeIntInRange(0, size - 1)] = [0x7F800001, 0xFFA00000][fdp.ConsumeBool()]
    layout = fdp.ConsumeIntInRange(0, 9)
    if layout == 1 and ndim >= 1:
        arr = arr[::2]
    elif layout == 2 and ndim >= 1:
        arr = arr[::-1]
    elif layout == 3 and ndim >= 2:
        arr = arr.T
    elif layout == 4 and ndim >= 2:
        arr = arr[:, ::2]
    elif layout == 5 and ndim >= 1:
        arr = np.broadcast_to(arr[:1], arr.shape)
    native_f32 = dtype.kind == "f" and dtype.itemsize == 4 and dtype.byteorder in "=<|"
    wrap = fdp.ConsumeIntInRange(0, 7)
    obj = arr
    if dtype.kind == "O":
        ctx.extra.add(ValueError)
    elif wrap == 1:
        obj = memoryview(arr)
    elif wrap == 2 and arr.flags.c_contiguous and arr.size:
        obj = memoryview(arr).cast("B")
        native_f32 = False
    elif wrap == 3 and arr.flags.c_contiguous and arr.size and native_f32 and arr.ctypes.data % 4 == 0:
        # A float32 view made by casting bytes: format "f", shape of its own.
        obj = memoryview(arr).cast("B").cast("f")
    elif wrap == 4:
        obj = memoryview(arr)
        obj.release()
        ctx.extra.add(ValueError)
        return Arg(obj, bad=True)
    contiguous = arr.flags.c_contiguous or arr.size == 0
    aligned = arr.size == 0 or arr.ctypes.data % 4 == 0
    # A 0-d export has no shape ("shape is null"): refused, as documented.
    has_shape = arr.ndim > 0 or (isinstance(obj, memoryview) and obj.ndim > 0)
    if native_f32 and contiguous and aligned and has_shape:
        # The values as stored: float32 bits, signaling NaNs included.
        return Arg(obj, arr.reshape(-1).astype(np.float32), clean=True)
    return Arg(obj, bad=True)


# --- half-precision matrices, row filters, thresholds ---------------------

try:  # the ml_dtypes type, when the fuzzer's environment has it
    import ml_dtypes

    BFLOAT16 = np.dtype(ml_dtypes.bfloat16)
except ImportError:
    BFLOAT16 = None

# Values at the corners of binary16: the largest finite, the first value that
# rounds to infinity, the smallest normal and subnormal, a tie of rounding.
HALF_PALETTE = [65504.0, 65520.0, 6.103515625e-05, 5.960464477539063e-08, 2049.0, -65504.0]


def widen(bits, element):
    """uint16 bits of float16 or bfloat16 values as float32, exactly."""
    bits = np.asarray(bits, dtype=np.uint16)
    if element == "float16":
        return bits.view(np.float16).astype(F32)
    return (bits.astype(np.uint32) << np.uint32(16)).view(F32)


def half_bits(fdp, n, element):
    """n bit patterns of `element`: palette values narrowed (many ties, zeros,
    subnormals, infinities, NaNs) or, now and then, arbitrary bits."""
    k = min(n, 64)
    if fdp.ConsumeIntInRange(0, 3):
        vals = [HALF_PALETTE[fdp.ConsumeIntInRange(0, len(HALF_PALETTE) - 1)]
                if fdp.ConsumeIntInRange(0, 5) == 0 else v for v in decode_array_values(fdp, k)]
        with np.errstate(all="ignore"):
            wide = np.array(vals, dtype=np.float64).astype(F32)
            if element == "float16":
                bits = wide.astype(np.float16).view(np.uint16)
            else:
                bits = (wide.view(np.uint32) >> np.uint32(16)).astype(np.uint16)
    else:
        bits = np.array([fdp.ConsumeIntInRange(0, 0xFFFF) for _ in range(k)], dtype=np.uint16)
    if n > k:
        bits = np.resize(bits if k else np.zeros(1, np.uint16), n)
    return bits


def _placed(fdp, bits, shape, dtype):
    """The bits as an array of `dtype` and `shape`: aligned and contiguous
    mostly, else 1 byte off, strided, reversed or transposed."""
    offset = 1 if fdp.ConsumeIntInRange(0, 7) == 7 else 0
    size = bits.size
    raw = np.zeros(2 * size + offset + 8, dtype=np.uint8)
    arr = raw[offset:offset + 2 * size].view(np.uint16).reshape(shape)
    arr[...] = bits.reshape(shape)
    if dtype is not None:
        arr = arr.view(dtype)
    layout = fdp.ConsumeIntInRange(0, 9)
    if layout == 1 and arr.ndim and arr.shape[0] > 1:
        arr = arr[::2]
    elif layout == 2:
        arr = arr[::-1]
    elif layout == 3 and arr.ndim == 2:
        arr = arr.T
    return arr


def decode_half_matrix(fdp, ctx, shape):
    """A float16 or bfloat16 matrix: (Arg, element type, dtype= keyword).

    numpy's float16 (also byte-swapped), ml_dtypes' bfloat16 when installed,
    or a raw uint16 array of bits with dtype= naming the type; now and then a
    dtype= that does not fit the array."""
    element = ["float16", "bfloat16"][fdp.ConsumeBool()]
    bits = half_bits(fdp, int(np.prod(shape)), element)
    form = fdp.ConsumeIntInRange(0, 9)
    keyword = None
    if form <= 3 and (element == "float16" or BFLOAT16 is not None):
        arr = _placed(fdp, bits, shape, np.float16 if element == "float16" else BFLOAT16)
        if fdp.ConsumeIntInRange(0, 3) == 0:
            keyword = element
    elif form <= 6 or element == "bfloat16" and form <= 8:
        arr = _placed(fdp, bits, shape, None)
        keyword = element
    elif form == 7:
        arr = _placed(fdp, bits, shape, ">f2")
        element = "float16"
    else:
        # A dtype= that names another type than the array's.
        arr = _placed(fdp, bits, shape, np.float16)
        element = "float16"
        keyword = ["bfloat16", "float32", "half", np.float16, ""][fdp.ConsumeIntInRange(0, 4)]
    return Arg(arr), element, keyword


def decode_where(fdp, rows):
    """A row filter: (object, the rows it allows as a bool array or None,
    bad). Mostly None or a bool array; also a list of bools, a view of
    another array, a memoryview; a wrong length, shape or dtype, a masked
    array, a scalar."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 4:
        return None, None, False

    def mask(n):
        form = fdp.ConsumeIntInRange(0, 4)
        if form == 0:
            return np.ones(n, dtype=bool)
        if form == 1:
            return np.zeros(n, dtype=bool)
        if form == 2 and n:
            m = np.zeros(n, dtype=bool)
            m[fdp.ConsumeIntInRange(0, n - 1)] = True
            return m
        pattern = np.frombuffer(fdp.ConsumeBytes(min(n, 32)) or b"\x01", dtype=np.uint8)
        return np.resize(pattern & 1 if form == 3 else pattern & 3 == 0, n).astype(bool)

    if kind <= 8:
        m = mask(rows)
        return m, m, False
    if kind == 9:
        # (An empty list is numpy's float64: refused or not, it says nothing.)
        m = mask(rows)
        return m.tolist(), m, None if rows == 0 else False
    if kind == 10:
        # A strided or reversed view into a larger array, or a memoryview.
        m = mask(2 * rows)
        view = [m[::2], m[1::2], m[::-1][:rows], memoryview(m[:rows])][fdp.ConsumeIntInRange(0, 3)]
        return view, np.asarray(view).copy(), False
    if kind == 11:
        return mask(rows + [-1 if rows else 2, 1, 5][fdp.ConsumeIntInRange(0, 2)]), None, True
    if kind == 12:
        m = mask(rows)
        return np.ma.masked_array(m, mask=fdp.ConsumeBool()), None, True
    if kind == 13:
        dtype = [np.uint8, np.int64, np.float32, object][fdp.ConsumeIntInRange(0, 3)]
        return mask(rows).astype(dtype), None, True
    if kind == 14:
        return [mask(rows).reshape(rows, 1), np.bool_(True), True][fdp.ConsumeIntInRange(0, 2)], None, True
    return [int(x) for x in mask(rows)], None, True


def _next_f32(x, up):
    return float(np.nextafter(F32(x), F32(np.inf if up else -np.inf)))


def decode_threshold(fdp, ctx, scores):
    """A threshold: (object, its value as a double or None, status), status
    False for a valid one, True for one that must be refused, None when
    either may happen. Mostly a value at, just above or just below one of
    the actual `scores` (float32 neighbours, and doubles between two
    float32s); else a palette value (NaN, infinities, signed zeros,
    subnormals), an int, a numpy scalar, an object with __float__, or no
    number at all."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 5 and scores is not None and len(scores):
        s = float(scores[fdp.ConsumeIntInRange(0, len(scores) - 1)])
        if s == s:
            variant = fdp.ConsumeIntInRange(0, 5)
            if variant == 1:
                s = _next_f32(s, True)
            elif variant == 2:
                s = _next_f32(s, False)
            elif variant in (3, 4) and abs(s) != float("inf"):
                # Halfway to a float32 neighbour, or just past the score: no float32.
                n = _next_f32(s, variant == 3)
                s = (s + n) / 2 if fdp.ConsumeBool() else float(np.nextafter(s, n))
            elif variant == 5:
                s = -s
            return s, s, False
    if kind <= 9:
        v = PALETTE[fdp.ConsumeIntInRange(0, len(PALETTE) - 1)]
        return v, v, v != v
    if kind == 10:
        i = [0, 1, -1, 2**53 + 1, 2**1024][fdp.ConsumeIntInRange(0, 4)]
        return i, (float(i) if i < 2**1024 else None), i >= 2**1024
    if kind == 11:
        v = PALETTE[fdp.ConsumeIntInRange(0, len(PALETTE) - 1)]
        with np.errstate(all="ignore"):
            s = [np.float32, np.float16, np.float64][fdp.ConsumeIntInRange(0, 2)](v)
        return s, float(s), s != s
    if kind == 12:
        if fdp.ConsumeBool():
            v = PALETTE[fdp.ConsumeIntInRange(0, len(PALETTE) - 1)]
            return WithFloat(v), v, v != v
        ctx.extra.update((HostileError, Halt, TypeErrorSub, OverflowError))
        ctx.unprintable = True
        return Raising(ERRORS[fdp.ConsumeIntInRange(0, len(ERRORS) - 1)]), None, True
    if kind == 13:
        b = fdp.ConsumeBool()
        return b, float(b), False
    if kind == 14:
        return ["0.5", None, complex(0.5, 0), [0.5], b"1"][fdp.ConsumeIntInRange(0, 4)], None, True
    v = fdp.ConsumeFloat()
    return v, v, v != v
