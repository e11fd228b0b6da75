"""Argument checks and result conversion shared by `velk` and `velk.dask`.

numpy is imported here only inside functions, so that `import velk` works on
an interpreter without numpy.
"""

from __future__ import annotations

import math
import numbers
import operator
from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    FloatArray = npt.NDArray[np.float32]
    IndexArray = npt.NDArray[np.int64]


def import_numpy(caller: str) -> ModuleType:
    """Returns the numpy module, or raises an ImportError that says how to get it."""
    try:
        import numpy
    except ImportError as error:
        raise ImportError(
            f"{caller} needs numpy, which is not installed; "
            "install it with: pip install 'velk[numpy]'"
        ) from error
    return numpy


def check_count(value: Any, name: str) -> int:
    """`value` as a non-negative int: TypeError if it is no integer, ValueError if negative."""
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(
            f"{name} must be an integer, not {type(value).__name__}"
        ) from None
    if count < 0:
        raise ValueError(f"{name} must be non-negative, got {count}")
    return count


def check_padded_width(k: int, queries: int) -> None:
    """Refuses a `k` too large for two (queries, k) result arrays to exist at all.

    search_many pads its results to `k` columns, so `k` sizes what it
    allocates; numpy cannot even describe an array past this bound.
    """
    import numpy as np

    # Both arrays have 8-byte or smaller items, and numpy limits the byte size
    # of one array to the largest intp.
    limit = int(np.iinfo(np.intp).max) // 8 // max(queries, 1)
    if k > limit:
        raise ValueError(
            f"k={k} is too large: search_many returns two arrays of shape "
            f"(queries, k), padded past the last row; pass a k of at most the "
            f"number of rows"
        )


def refuse_masked(value: Any, name: str, library: str = "numpy") -> None:
    """Refuses a numpy masked array, whose mask numpy.asarray would silently drop.

    `library` names the module whose `ma` functions the message suggests (a
    masked dask array's blocks, its `_meta` included, are numpy masked arrays).
    """
    import numpy as np

    if isinstance(value, np.ma.MaskedArray):
        if name == "where":
            raise TypeError(
                "where must be a plain boolean array, not a masked array; "
                f"pass where={library}.ma.filled(where, False) to treat masked rows as excluded"
            )
        raise TypeError(
            f"{name} is a masked array, and velk does not support masks: they would "
            f"be ignored and the masked values scored; pass {library}.ma.getdata({name}) "
            f"to score every value, or only the rows you want searched"
        )


def _item_as_double(item: Any, name: str) -> float:
    """One item of a list as the module reads it: float(item), but never a parsed string."""
    if isinstance(item, (str, bytes, bytearray)):
        raise TypeError(f"{name} must hold real numbers, got {type(item).__name__}")
    try:
        return float(item)
    except TypeError:
        dimensions: Any = getattr(item, "ndim", 0)
        if isinstance(item, (list, tuple)) or dimensions:
            raise ValueError(
                f"{name} must be a list of numbers or of rows of equal length"
            ) from None
        raise TypeError(
            f"{name} must hold real numbers, got {type(item).__name__}"
        ) from None
    except OverflowError:
        raise OverflowError(
            f"{name} holds an integer too large to convert to float"
        ) from None


def list_as_float32(value: list[Any] | tuple[Any, ...], name: str) -> FloatArray:
    """A list or tuple of numbers (or of equal-length rows of them) as float32.

    Converted exactly as `_velk` converts a sequence: each item through
    Python's float(), then rounded to the nearest float32 (values beyond its
    range become infinities). An integer therefore rounds twice, first to a
    double: 2**60 + 2**36 + 1 becomes 2**60, not the nearer 2**60 + 2**37.
    """
    import numpy as np

    try:
        array: npt.NDArray[Any] = np.asarray(value)
    except ValueError:
        # Rows of different lengths; the item conversion names the problem.
        array = np.empty(len(value), dtype=object)
        for i, row in enumerate(value):
            array[i] = row
    if array.dtype.kind in "biu" or array.dtype in (np.float16, np.float32, np.float64):
        # What float() gives for every item: ints are rounded correctly to
        # double (as Python rounds them) and narrower floats widen exactly.
        doubles = array.astype(np.float64)
    elif array.dtype.kind in "Of":
        # Integers beyond 64 bits, objects with __float__ or __index__, and
        # floats wider than a double, which float() rounds to one.
        doubles = np.empty(array.shape, dtype=np.float64)
        flat = doubles.reshape(-1)
        for i, item in enumerate(array.reshape(-1)):
            flat[i] = _item_as_double(item, name)
    else:
        # Strings, bytes and complex numbers.
        raise TypeError(f"{name} must hold real numbers, got a {array.dtype} array")
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(doubles.astype(np.float32))


def refuse_non_numbers(value: Any, array: Any, name: str) -> None:
    """Refuses what numpy.asarray made no numbers of (a generator, a set, a
    string...), naming what it is rather than the dtype numpy gave it."""
    import numpy as np

    if not isinstance(value, np.ndarray) and array.dtype.kind in "OUS":
        raise TypeError(
            f"{name} must be a float32 array or a list of numbers, not {type(value).__name__}"
        )


def as_float32(
    value: Any, name: str, copy: bool, accepted: str = "float32", advice: str = ""
) -> FloatArray:
    """`value` as an aligned C-contiguous float32 array, read in place when it already is one.

    Plain lists and tuples carry no dtype and are converted as `_velk`
    converts them (list_as_float32; that is a copy in any case). Anything
    else must already hold native float32 values in aligned C order: a
    float64 matrix is refused rather than silently converted on every call,
    unless `copy` is true. Masked arrays are refused. `accepted` names the
    types the caller reads, for the message that refuses another one, and
    `advice` ends that message.
    """
    import numpy as np

    if isinstance(value, (list, tuple)):
        return list_as_float32(value, name)
    refuse_masked(value, name)
    array: npt.NDArray[Any] = np.asarray(value)
    if array.dtype != np.float32:
        # Byte-swapped float16 is a type velk reads, in the wrong byte order: say so.
        native = array.dtype.newbyteorder("=")
        if not copy and native != array.dtype and element_type_of(native) == "float16":
            raise TypeError(
                f"{name} holds {native} in non-native byte order ({array.dtype.str}); "
                f"convert it once with {name}.astype({native.name!r}), or pass copy=True "
                f"for a float32 copy"
            )
        refuse_non_numbers(value, array, name)
        if not copy:
            raise TypeError(
                f"{name} must be {accepted}, not {array.dtype}; convert it once with "
                f"numpy.asarray({name}, dtype=numpy.float32), or pass copy=True{advice}"
            )
        if array.dtype.kind not in "biuf":
            raise TypeError(
                f"{name} must hold real numbers, got a {array.dtype} array"
            )
    else:
        ready: FloatArray = _aligned_contiguous(array, name, copy)
        return ready
    if array.dtype.kind in "biu" or (array.dtype.kind == "f" and array.dtype.itemsize > 8):
        # Through a double first, as every number the module converts goes.
        array = array.astype(np.float64)
    # np.require also copies a contiguous array whose start is misaligned,
    # which ascontiguousarray would hand back as it is.
    with np.errstate(over="ignore"):
        return np.require(array, dtype=np.float32, requirements=["C", "A"])


def matrix_width(embeddings: FloatArray, dim: Any) -> int:
    """The row width of `embeddings`: its second axis, or `dim` for a flat array.

    Refuses what the ranking would otherwise take silently: a `dim` that
    disagrees with a 2-D array, a flat array that is not a whole number of
    rows, and rows of width zero.
    """
    if embeddings.ndim == 2:
        width = int(embeddings.shape[1])
        if dim is not None and check_count(dim, "dim") != width:
            raise ValueError(
                f"dim={dim} disagrees with embeddings of shape {embeddings.shape}"
            )
    elif embeddings.ndim == 1:
        if dim is None:
            raise ValueError(
                "1-D embeddings need dim= to say how many values make a row"
            )
        width = check_count(dim, "dim")
        if width != 0 and embeddings.shape[0] % width != 0:
            raise ValueError(
                f"{embeddings.shape[0]} values are not a whole number of rows of {width}"
            )
    else:
        raise ValueError(
            f"embeddings must be 2-D (rows, dim) or 1-D with dim=, got shape {embeddings.shape}"
        )
    if width == 0:
        raise ValueError("rows must have at least one value (dim is 0)")
    return width


# The engine's codes for the element types of a matrix.
ELEMENT_CODES = {"float32": 0, "float16": 1, "bfloat16": 2}


def element_type_of(dtype: Any) -> str | None:
    """'float32', 'float16' or 'bfloat16' for a dtype the engine reads in place, else None.

    bfloat16 is recognised by its dtype alone (the ml_dtypes type: named
    'bfloat16', two bytes, kind 'V'), so ml_dtypes is never imported here.
    """
    import numpy as np

    if dtype == np.float32:
        return "float32"
    if dtype == np.float16:
        return "float16"
    if dtype.name == "bfloat16" and dtype.itemsize == 2 and dtype.kind == "V":
        return "bfloat16"
    return None


def _aligned_contiguous(array: Any, name: str, copy: bool) -> Any:
    """`array` itself when it is aligned C-contiguous, else a copy of the same dtype if allowed."""
    import numpy as np

    if array.flags.c_contiguous and array.flags.aligned:
        return array
    if not copy:
        raise ValueError(
            f"{name} must be an aligned C-contiguous array; make one with "
            f"numpy.ascontiguousarray({name}), or pass copy=True"
        )
    return np.require(array, requirements=["C", "A"])


def check_dtype_name(dtype: Any) -> str | None:
    """The `dtype=` keyword checked: None or one of the names in ELEMENT_CODES.

    Besides the names, anything numpy takes for one of the three types is
    taken: `numpy.float16`, `numpy.dtype("float32")`, `"f2"`, or the
    bfloat16 type of ml_dtypes (recognised by its name, as the arrays are).
    """
    if dtype is None:
        return None
    if isinstance(dtype, str) and dtype in ELEMENT_CODES:
        return dtype
    import numpy as np

    try:
        name = element_type_of(np.dtype(dtype))
    except (TypeError, ValueError):
        name = None
    if name is None:
        raise ValueError(
            f"dtype must be 'float32', 'float16' or 'bfloat16', got {dtype!r}"
        )
    return name


def as_matrix(value: Any, name: str, copy: bool, dtype: str | None) -> tuple[Any, str]:
    """`value` as the engine reads it, with its element type name.

    float32 goes through `as_float32`. float16 and bfloat16 matrices are
    handed over as their bits (a uint16 view, no copy); so is a raw uint16
    array when `dtype` names the 2-byte type it holds.
    """
    import numpy as np

    if isinstance(value, (list, tuple)) and dtype in (None, "float32"):
        return as_float32(value, name, copy), "float32"
    refuse_masked(value, name)
    array = np.asarray(value)
    element = element_type_of(array.dtype)
    if dtype is not None and dtype != "float32" and array.dtype == np.uint16:
        element = dtype
    elif dtype is not None and element != dtype:
        if dtype == "float32":
            return as_float32(value, name, copy), "float32"
        if isinstance(value, (list, tuple)):
            raise TypeError(
                f"{name} is a {type(value).__name__} of numbers, which is read as float32, "
                f"not {dtype}; pass a {dtype} array, or leave dtype out"
            )
        raise TypeError(
            f"{name} holds {array.dtype}, not {dtype}; dtype={dtype!r} takes a {dtype} "
            "array or a uint16 array of its bits"
        )
    if element is None or element == "float32":
        # Bits of a 2-byte type carry no name of their own: say how to give one.
        advice = ("; a uint16 array of float16 or bfloat16 bits needs dtype='float16' "
                  "or dtype='bfloat16'") if array.dtype == np.uint16 else ""
        return as_float32(value, name, copy, "float32, float16 or bfloat16", advice), "float32"
    return _aligned_contiguous(array, name, copy).view(np.uint16), element


def widen_bits(bits: Any, element: str) -> FloatArray:
    """uint16 bits of float16 or bfloat16 values as float32, exactly."""
    import numpy as np

    wide: FloatArray
    if element == "float16":
        wide = bits.view(np.float16).astype(np.float32)
    else:
        # A bfloat16 is the upper half of the float32 of the same value.
        wide = (bits.astype(np.uint32) << np.uint32(16)).view(np.float32)
    return wide


def as_query(value: Any, name: str, copy: bool, element: str, raw_bits: bool) -> FloatArray:
    """`value` as float32: float32 read in place, the matrix's own 2-byte type widened exactly.

    With `raw_bits` (the matrix came as uint16 with dtype=), a uint16 query
    holds bits of the matrix's type too.
    """
    import numpy as np

    if element != "float32" and not isinstance(value, (list, tuple)):
        refuse_masked(value, name)
        array = np.asarray(value)
        own = element_type_of(array.dtype) == element
        if own or (raw_bits and array.dtype == np.uint16):
            return np.ascontiguousarray(widen_bits(array.view(np.uint16), element))
        refuse_non_numbers(value, array, name)
        if array.dtype != np.float32 and not copy:
            raise TypeError(
                f"{name} must be float32 or {element} like the matrix, not {array.dtype}"
            )
    return as_float32(value, name, copy)


def check_where(where: Any, rows: int) -> Any:
    """The row filter `where=` as a C-contiguous bool array of `rows` entries, or None."""
    import numpy as np

    if where is None:
        return None
    refuse_masked(where, "where")
    array = np.asarray(where)
    if array.dtype != np.bool_:
        raise TypeError(
            f"where must be a boolean array (True = the row may be returned), not {array.dtype}"
        )
    if array.shape != (rows,):
        raise ValueError(
            f"where must hold one entry per row ({rows}), got shape {array.shape}"
        )
    return np.ascontiguousarray(array)


def float32_threshold(threshold: Any) -> float:
    """The smallest float32 at or above `threshold`, so that a float32 score
    passes `score >= ` it exactly when it passes `score >= threshold`."""
    import numpy as np

    try:
        # float() would parse a string: "0.5" is no more a number here than in a list.
        if isinstance(threshold, (str, bytes, bytearray)):
            raise TypeError
        value = float(threshold)
    except OverflowError:
        # An integer or fraction beyond the doubles is beyond every score too.
        if not isinstance(threshold, numbers.Rational):
            raise
        from fractions import Fraction

        value = math.inf if Fraction(threshold) > 0 else -math.inf
    except (TypeError, ValueError):
        raise TypeError(
            f"threshold must be a real number, not {type(threshold).__name__}"
        ) from None
    if value != value:
        raise ValueError("threshold must not be NaN: no score would compare with it")
    with np.errstate(over="ignore"):
        narrow = np.float32(value)
    if float(narrow) < value:
        narrow = np.nextafter(narrow, np.float32(np.inf))
    return float(narrow)


def range_arrays(
    raw: tuple[bytearray, bytearray, bytearray],
) -> tuple[IndexArray, IndexArray, FloatArray]:
    """The engine's threshold-search result as numpy arrays: (lims, indices, scores),
    int64, int64 and float32, the last two read in place from its bytes."""
    import numpy as np

    return (np.frombuffer(raw[0], dtype=np.uint64).astype(np.int64),
            np.frombuffer(raw[1], dtype=np.int64),
            np.frombuffer(raw[2], dtype=np.float32))
