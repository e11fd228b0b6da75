"""Float32 input read in place through the buffer protocol (top_k_flat_np)."""

import gc
import sys
from array import array

import pytest

import _velk

np = pytest.importorskip("numpy")

QUERY = [1.0, 0.5, -2.0]
VALUES = [0.1, 0.2, 0.3, -1.0, 0.5, 2.0, 3.0, 0.0, -0.5, 7.0]  # three rows and a tail


def expected(query=QUERY, values=VALUES, dim=3, k=10):
    return _velk.top_k_flat(query, values, dim, k)


def misaligned(values):
    raw = bytearray(4 * len(values) + 1)
    view = np.frombuffer(raw, dtype=np.float32, offset=1)
    view[:] = values
    return view


@pytest.mark.parametrize("make", [
    lambda v: np.array(v, dtype=np.float32),
    lambda v: np.array(v, dtype="<f4"),
    lambda v: array("f", v),
    lambda v: memoryview(np.array(v, dtype=np.float32).tobytes()).cast("f"),
    lambda v: np.array(v, dtype=np.float32).reshape(len(v), 1),
    lambda v: np.array(v + v, dtype=np.float32).reshape(2, len(v))[1],
])
def test_float32_exporters_match_top_k_flat(make):
    assert _velk.top_k_flat_np(make(QUERY), make(VALUES), 3, 10) == expected()


def test_matrix_is_read_row_major_whatever_its_shape():
    matrix = np.array(VALUES[:9], dtype=np.float32).reshape(3, 3)
    assert _velk.top_k_flat_np(np.array(QUERY, np.float32), matrix, 3, 2) == expected(k=2)
    # A shape of (r, c) passed with another dim is still one flat run.
    assert _velk.top_k_flat_np(np.array(QUERY[:1], np.float32), matrix, 1, 9) == expected(
        QUERY[:1], VALUES[:9], 1, 9)


@pytest.mark.parametrize("make_empty", [
    lambda: np.zeros(0, dtype=np.float32),
    lambda: array("f"),
    lambda: memoryview(bytearray(9))[1:1].cast("f"),  # empty and not 4-aligned
])
def test_empty_buffers_are_accepted(make_empty):
    assert _velk.top_k_flat_np(make_empty(), np.ones(3, np.float32), 3, 1) == []
    assert _velk.top_k_flat_np(np.ones(3, np.float32), make_empty(), 3, 1) == []


F32 = "buffer contents are not compatible with f32"
ALIGN = "buffer contents are insufficiently aligned for f32"
CONTIG = "buffer is not C-contiguous"


@pytest.mark.parametrize("make, error, message", [
    (lambda: np.array(VALUES, dtype=np.float64), BufferError, F32),
    (lambda: np.array(VALUES, dtype=">f4"), BufferError, F32),
    (lambda: array("d", VALUES), BufferError, F32),
    (lambda: b"\x00" * 12, BufferError, F32),
    (lambda: bytearray(12), BufferError, F32),
    (lambda: np.zeros(3, dtype=[("x", "<f4")]), BufferError, F32),
    (lambda: misaligned(VALUES), BufferError, ALIGN),
    (lambda: memoryview(array("f", VALUES).tobytes())[1:-3].cast("f"), BufferError, ALIGN),
    (lambda: np.array(VALUES, dtype=np.float32)[::2], BufferError, CONTIG),
    (lambda: np.array(VALUES[:9], dtype=np.float32).reshape(3, 3).T, BufferError, CONTIG),
    (lambda: memoryview(array("f", VALUES))[::3], BufferError, CONTIG),
    (lambda: list(map(float, VALUES)), TypeError, "a bytes-like object is required, not 'list'"),
])
@pytest.mark.parametrize("position", ["query", "embeddings"])
def test_refused_buffers(make, error, message, position):
    good = np.array(QUERY, dtype=np.float32)
    args = (make(), good) if position == "query" else (good, make())
    with pytest.raises(error) as caught:
        _velk.top_k_flat_np(*args, 3, 2)
    assert type(caught.value) is error
    assert str(caught.value) == message


@pytest.mark.parametrize("dim, k, error, message", [
    (-1, 1, OverflowError, "can't convert negative int to unsigned"),
    (3, 2.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("3", 1, TypeError, "argument 'dim': 'str' object cannot be interpreted as an integer"),
])
def test_counts_are_checked_before_buffers(dim, k, error, message):
    with pytest.raises(error) as caught:
        _velk.top_k_flat_np([1.0], b"bytes", dim, k)
    assert str(caught.value) == message


def test_buffers_are_released_on_every_path():
    query = array("f", QUERY)
    values = bytearray(12)
    f64 = array("d", VALUES)
    calls = [
        lambda: _velk.top_k_flat_np(query, values, 3, 1),        # second buffer refused
        lambda: _velk.top_k_flat_np(f64, query, 3, 1),           # first buffer refused
        lambda: _velk.top_k_flat_np(query, query, 0, 1),         # panic in the engine
        lambda: _velk.top_k_flat_np(query, query, 3, 1),         # success
    ]
    for call in calls:
        try:
            call()
        except BaseException:  # noqa: BLE001
            pass
        # An exporter with a view still held refuses to resize.
        query.append(1.0)
        query.pop()
        values.append(0)
        values.pop()
        f64.append(1.0)
        f64.pop()


def test_repeated_failures_leak_nothing():
    query = np.array(QUERY, dtype=np.float32)
    refused = np.array(VALUES, dtype=np.float64)
    before = sys.getrefcount(query), sys.getrefcount(refused)
    for _ in range(300):
        with pytest.raises(BufferError):
            _velk.top_k_flat_np(query, refused, 3, 1)
        with pytest.raises(BaseException):
            _velk.top_k_flat_np(query, query, 0, 1)
    gc.collect()
    assert (sys.getrefcount(query), sys.getrefcount(refused)) == before


class LoggingExporter:
    """Exports `data` through the Python-level buffer protocol and logs every
    request and release of a view."""

    def __init__(self, log, name, data):
        self.log, self.name, self.data = log, name, data

    def __buffer__(self, flags):
        self.log.append(("get", self.name))
        if isinstance(self.data, BaseException):
            raise self.data
        return memoryview(self.data)

    def __release_buffer__(self, view):
        self.log.append(("release", self.name))
        view.release()


BOTH_HELD = [("get", "query"), ("get", "embeddings"), ("release", "embeddings"),
             ("release", "query")]


@pytest.mark.parametrize("embeddings, dim, raised, events", [
    (array("f", VALUES), 3, None, BOTH_HELD),
    (array("d", VALUES), 3, BufferError, BOTH_HELD),
    (array("f", VALUES), 0, BaseException, BOTH_HELD),  # panic in the engine
    (KeyError("no view"), 3, KeyError, BOTH_HELD[:2] + [("release", "query")]),
])
def test_views_are_released_embeddings_first(embeddings, dim, raised, events):
    log = []
    query = LoggingExporter(log, "query", array("f", QUERY))
    values = LoggingExporter(log, "embeddings", embeddings)
    if raised is None:
        assert _velk.top_k_flat_np(query, values, dim, 2) == expected(k=2)
    else:
        with pytest.raises(raised):
            _velk.top_k_flat_np(query, values, dim, 2)
    assert log == events


try:
    import _testbuffer
except ImportError:
    _testbuffer = None


@pytest.mark.skipif(_testbuffer is None, reason="needs the interpreter's _testbuffer module")
@pytest.mark.parametrize("make, message", [
    (lambda: _testbuffer.ndarray(QUERY, shape=[3], format="@f"), None),
    (lambda: _testbuffer.ndarray(QUERY, shape=[3], format="=f"), None),
    (lambda: _testbuffer.ndarray(QUERY, shape=[3], format="<f"), None),
    # Dimensions of one element may have any stride.
    (lambda: _testbuffer.ndarray(QUERY, shape=[3, 1], strides=[4, 100], format="f"), None),
    (lambda: _testbuffer.ndarray(QUERY, shape=[3], format="!f"), F32),
    (lambda: _testbuffer.ndarray([1, 2, 3], shape=[3], format="i"), F32),
    (lambda: _testbuffer.ndarray([1, 2, 3], shape=[3], format="<I"), F32),
    (lambda: _testbuffer.ndarray(QUERY, shape=[3], format="f "), F32),
    (lambda: _testbuffer.ndarray(1.0, shape=[], format="f", flags=_testbuffer.ND_SCALAR),
     "shape is null"),
    # Sub-offsets: the data pointer leads to row pointers, not to floats.
    (lambda: _testbuffer.ndarray(VALUES[:9], shape=[3, 3], format="f",
                                 flags=_testbuffer.ND_PIL), CONTIG),
    (lambda: _testbuffer.ndarray(VALUES[:9], shape=[3, 3], format="f",
                                 flags=_testbuffer.ND_FORTRAN), CONTIG),
])
def test_exporter_layouts(make, message):
    good = np.array(QUERY, dtype=np.float32)
    if message is None:
        assert _velk.top_k_flat_np(good, make(), 3, 2) == _velk.top_k_flat_np(good, good, 3, 2)
        return
    with pytest.raises(BufferError) as caught:
        _velk.top_k_flat_np(good, make(), 3, 2)
    assert str(caught.value) == message
