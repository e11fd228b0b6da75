"""Argument checks and result conversion shared by `velk` and `velk.dask`.

numpy is imported here only inside functions, so that `import velk` works on
an interpreter without numpy.
"""

from __future__ import annotations

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


def as_float32(value: Any, name: str, copy: bool) -> FloatArray:
    """`value` as an aligned C-contiguous float32 array, read in place when it already is one.

    Plain lists and tuples carry no dtype and are converted (that is a copy in
    any case). Anything else must already hold native float32 values in
    aligned C order: a float64 matrix is refused rather than silently
    converted on every call, unless `copy` is true.
    """
    import numpy as np

    array: npt.NDArray[Any]
    if isinstance(value, (list, tuple)):
        array = np.asarray(value)
        # Strings, objects and complex numbers would convert in surprising ways.
        if array.dtype.kind not in "biuf":
            raise TypeError(
                f"{name} must hold real numbers, got a {array.dtype} array"
            )
        # Out-of-range values become infinities, as the module's own
        # conversion makes them, without a warning.
        with np.errstate(over="ignore"):
            return np.ascontiguousarray(array, dtype=np.float32)
    array = np.asarray(value)
    if array.dtype != np.float32:
        if not copy:
            raise TypeError(
                f"{name} must be float32, not {array.dtype}; convert it once with "
                f"numpy.asarray({name}, dtype=numpy.float32), or pass copy=True"
            )
        if array.dtype.kind not in "biuf":
            raise TypeError(
                f"{name} must hold real numbers, got a {array.dtype} array"
            )
    elif array.flags.c_contiguous and array.flags.aligned:
        return array
    elif not copy:
        raise ValueError(
            f"{name} must be an aligned C-contiguous array; make one with "
            f"numpy.ascontiguousarray({name}), or pass copy=True"
        )
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


def pairs_to_arrays(pairs: list[tuple[int, float]]) -> tuple[IndexArray, FloatArray]:
    """Splits `(row, score)` pairs into an int64 and a float32 array, in the same order.

    The scores are binary32 values widened exactly to Python floats, so the
    narrowing back to float32 is exact, NaN signs and payloads included.
    """
    import numpy as np

    count = len(pairs)
    indices = np.empty(count, dtype=np.int64)
    scores = np.empty(count, dtype=np.float32)
    if count:
        rows, values = zip(*pairs)
        indices[:] = rows
        scores[:] = values
    return indices, scores
