"""Odd and adversarial Python objects thrown at every parameter of every
function: each call returns a well-formed result or raises one of the
exception types the module documents (or the object's own exception), never
crashes, and leaves every argument's reference count as it found it."""

import gc
import operator
import sys
import warnings
from array import array
from fractions import Fraction

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

import _velk  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::hypothesis.errors.HypothesisWarning")

CASES_TRIED = 0


def fresh(error):
    """A new instance like `error`: raising a stored instance would tie its
    traceback (and the raising object) into a cycle and skew reference counts."""
    return type(error)(*error.args)


class Boom(Exception):
    """Raised by the hostile objects below."""


class Halt(BaseException):
    """Raised by hostile objects that bypass `except Exception`."""


class Unprintable:
    def __str__(self):
        raise Boom("no str")

    def __repr__(self):
        return "Unprintable()"


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class Dunder:
    """An object whose one conversion method behaves as told."""

    def __init__(self, name, behaviour):
        self.name = name
        self.behaviour = behaviour

    def _act(self):
        b = self.behaviour
        if isinstance(b, BaseException):
            raise fresh(b)
        return b

    def __float__(self):
        if self.name != "__float__":
            raise TypeError("no float")
        return self._act()

    def __index__(self):
        if self.name != "__index__":
            raise TypeError("no index")
        return self._act()

    def __repr__(self):
        return f"Dunder({self.name}, {self.behaviour!r})"


class Sequence:
    """A sequence by __len__ and __getitem__ whose methods can be made to lie
    or raise. `items` are served by index; IndexError ends the iteration."""

    def __init__(self, items, length=None, iter_result=None, fail_at=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.iter_result = iter_result
        self.fail_at = fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise fresh(self.length)
        return self.length

    def __getitem__(self, i):
        if self.fail_at is not None and i == self.fail_at:
            raise Boom("getitem")
        return self.items[i]

    def __repr__(self):
        return f"Sequence({self.items!r}, {self.length!r}, {self.iter_result!r}, {self.fail_at})"


class IterSequence(Sequence):
    def __iter__(self):
        if isinstance(self.iter_result, BaseException):
            raise fresh(self.iter_result)
        return self.iter_result


# Lists that Mutators change, by id: held here rather than by the Mutator so
# that a Mutator dropped from its list does not change the list's own count.
OWNERS = {}


class Mutator:
    """A number that changes the list holding it while it is being converted."""

    def __init__(self, action):
        self.action = action
        self.owner_id = None
        self.calls = 0

    @property
    def owner(self):
        return OWNERS.get(self.owner_id)

    def __float__(self):
        self.calls += 1
        if self.owner is not None and self.calls <= 3:
            if self.action == "clear":
                self.owner.clear()
            elif self.action == "grow":
                self.owner.extend([1.0, Mutator("clear")])
            elif self.action == "shrink":
                del self.owner[:1]
            elif self.action == "replace":
                self.owner[:] = [2.0] * 50
        return 0.5

    def __repr__(self):
        return f"Mutator({self.action})"


def mutating_list(items, action, subclass):
    owner = (type("ListSub", (list,), {}) if subclass else list)(items)
    m = Mutator(action)
    m.owner_id = id(owner)
    OWNERS[id(owner)] = owner
    owner.insert(len(owner) // 2, m)
    return owner


# The buffer the exporters below try to resize while it may be exported.
SHARED = array("f", [1.0, 0.0, 0.5, 2.0])


class Exporter:
    """A buffer exporter written in Python: hands out a view of float32 data,
    something else, or raises; may resize SHARED or raise when released."""

    def __init__(self, behaviour, release_raises=False):
        self.behaviour = behaviour
        self.release_raises = release_raises

    def __buffer__(self, flags):
        b = self.behaviour
        if isinstance(b, BaseException):
            raise fresh(b)
        if b == "resize":
            SHARED.extend([3.0])  # refused while SHARED is exported
            del SHARED[-1]
            return memoryview(SHARED)
        views = {"f32": lambda: memoryview(array("f", [1.0, 2.0, 3.0, 4.0])),
                 "f64": lambda: memoryview(array("d", [1.0, 2.0])),
                 "bytes": lambda: memoryview(b"abcdefgh")}
        return views[b]() if b in views else b

    def __release_buffer__(self, view):
        view.release()
        if self.release_raises:
            raise Boom("release")

    def __repr__(self):
        return f"Exporter({self.behaviour!r}, {self.release_raises})"


exporters = st.builds(
    Exporter,
    st.sampled_from([Boom("export"), "resize", 5, None, "f32", "f64", "bytes"]),
    st.booleans())


def generator(items):
    return (x for x in items)


def misaligned_f32(count):
    raw = bytearray(4 * count + 4)
    return np.frombuffer(raw, dtype=np.float32, count=count, offset=1) if count else raw


ERRORS = [Boom("x"), Halt("x"), TypeError(Unprintable()), ValueError("x"),
          OverflowError("x"), IndexError("x"), StopIteration(), KeyboardInterrupt()]

numbers = st.one_of(
    st.floats(), st.integers(-(2**70), 2**70), st.booleans(),
    st.sampled_from([10**400, -(10**400), 2**64 - 1, 2**64, 2**62, -1, 0, 1, 2,
                     FloatSub(1.5), IntSub(2), True, False, Fraction(1, 3), complex(1, 2),
                     np.float64(2.5), np.int64(3), np.float32(0.25), np.uint64(2**64 - 1)]),
    st.builds(Dunder, st.sampled_from(["__float__", "__index__"]),
              st.one_of(st.sampled_from(ERRORS), st.sampled_from(
                  ["x", 1.5, 2, -3, 2**80, FloatSub(2.0), IntSub(4), None, b"", 0]))),
)

leaves = st.one_of(
    numbers,
    st.text(max_size=3), st.builds(StrSub, st.text(max_size=3)),
    st.binary(max_size=9), st.builds(bytearray, st.binary(max_size=9)),
    st.sampled_from([None, {}, {1.0: 2.0}, set(), {1.0}, frozenset([2.0]), object(),
                     Unprintable(), range(3), range(0), Ellipsis, memoryview(b"abcd"),
                     array("f", [1.0, 2.0]), array("d", [1.0, 2.0]), array("i", [1, 2]),
                     _velk, sys, type, int]),
)


@st.composite
def arrays(draw):
    """numpy arrays of assorted dtypes, shapes, strides and alignments."""
    dtype = draw(st.sampled_from([np.float32, np.float32, np.float64, np.float16,
                                  np.int32, np.uint8, np.complex64, object, ">f4"]))
    shape = draw(st.sampled_from([(0,), (4,), (3, 2), (2, 2, 2), ()]))
    a = np.arange(int(np.prod(shape)), dtype=np.float64).reshape(shape).astype(dtype)
    view = draw(st.sampled_from(["plain", "reversed", "strided", "transposed", "misaligned",
                                 "readonly", "memoryview", "fortran"]))
    if view == "reversed" and a.ndim:
        a = a[::-1]
    elif view == "strided" and a.ndim:
        a = a[::2]
    elif view == "transposed":
        a = a.T
    elif view == "misaligned":
        a = misaligned_f32(a.size)
    elif view == "readonly":
        a.setflags(write=False)
    elif view == "memoryview":
        return memoryview(a)
    elif view == "fortran":
        a = np.asfortranarray(a)
    return a


hostile = st.recursive(
    st.one_of(leaves, arrays()),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.lists(inner, max_size=4).map(generator),
        st.builds(Sequence, st.lists(inner, max_size=3),
                  st.sampled_from([None, 2**62, 2**63 - 1, 2**64, -1, "x", Boom("len"), 0]),
                  st.none(), st.sampled_from([None, 0, 1, 2])),
        st.builds(IterSequence, st.lists(inner, max_size=3), st.none(),
                  st.sampled_from([Boom("iter"), Halt("iter"), 5, None, iter([1.0, "x"]),
                                   iter([1.0, 2.0])])),
        st.builds(mutating_list, st.lists(inner, max_size=3),
                  st.sampled_from(["clear", "grow", "shrink", "replace"]), st.booleans()),
    ),
    max_leaves=8,
)

# Flat leaves as often as nested containers: numbers reach k and dim, arrays
# reach the buffer checks.
argument = st.one_of(numbers, arrays(), leaves, hostile, exporters, st.just(SHARED))

GOOD = {
    "a": [1.0, 2.0], "b": [2.0, 1.0],
    "query": [1.0, 0.0],
    "embeddings": None,  # per function, below
    "dim": 2, "k": 2,
}
FUNCTIONS = {
    "cosine_similarity": ("a", "b"),
    "top_k": ("query", "embeddings", "k"),
    "top_k_flat": ("query", "embeddings", "dim", "k"),
    "top_k_flat_np": ("query", "embeddings", "dim", "k"),
}


def good_argument(function, name):
    if function == "top_k_flat_np" and name in ("query", "embeddings"):
        return np.array([1.0, 0.0] if name == "query" else [1.0, 0.0, 0.0, 1.0], np.float32)
    if name == "embeddings":
        return [[1.0, 0.0], [0.0, 1.0]] if function == "top_k" else [1.0, 0.0, 0.0, 1.0]
    return GOOD[name]


def converts_to_zero(obj):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # __index__ returning an int subclass
            return operator.index(obj) == 0
    except BaseException:  # noqa: B036 - whatever the object raises
        return False


# The module's own exception types, and what the objects themselves raise
# (memoryview raises NotImplementedError for formats it cannot unpack).
ALLOWED = (TypeError, OverflowError, BufferError, ValueError, Boom, Halt, IndexError,
           StopIteration, KeyboardInterrupt, NotImplementedError)


def check_call(function, arguments, by_keyword):
    """One call: a well-formed outcome and untouched reference counts."""
    global CASES_TRIED
    CASES_TRIED += 1
    names = FUNCTIONS[function]
    values = [arguments[n] for n in names]
    gc.collect(0)  # young objects only: a full pass over the whole heap per case is slow
    before = [sys.getrefcount(v) for v in values]
    unraisable = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda info: unraisable.append(info.exc_type)
    outcome = None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if by_keyword:
                result = getattr(_velk, function)(**dict(zip(names, values)))
            else:
                result = getattr(_velk, function)(*values)
    except BaseException as error:  # noqa: B036 - Halt and PanicException included
        outcome = type(error)
        panic_ok = function.startswith("top_k_flat") and converts_to_zero(arguments["dim"])
        if type(error).__name__ == "PanicException":
            assert panic_ok, f"panic {error.args!r}"
            assert error.args == ("attempt to divide by zero",)
        else:
            assert isinstance(error, ALLOWED), repr(error)
            assert not isinstance(error, SystemError), repr(error)
    else:
        if function == "cosine_similarity":
            assert type(result) is float
        else:
            assert type(result) is list
            assert all(type(p) is tuple and len(p) == 2 and type(p[0]) is int
                       and type(p[1]) is float for p in result)
        del result
    finally:
        sys.unraisablehook = old_hook
    unraisable.clear()
    gc.collect(0)  # young objects only: a full pass over the whole heap per case is slow
    after = [sys.getrefcount(v) for v in values]
    assert before == after, (function, outcome)
    return outcome


CALLS = [(f, n) for f, names in FUNCTIONS.items() for n in names]


def calls_made(run):
    """Runs a property and fails if it made no call: a strategy that filters
    out every example would pass without trying anything."""
    before = CASES_TRIED
    run()
    assert CASES_TRIED > before


@given(obj=argument, call=st.sampled_from(CALLS), by_keyword=st.booleans())
def one_hostile_argument(obj, call, by_keyword):
    function, name = call
    arguments = {n: good_argument(function, n) for n in FUNCTIONS[function]}
    arguments[name] = obj
    check_call(function, arguments, by_keyword)


def test_one_hostile_argument():
    calls_made(one_hostile_argument)


@given(data=st.data(), function=st.sampled_from(sorted(FUNCTIONS)), by_keyword=st.booleans())
def every_argument_hostile(data, function, by_keyword):
    arguments = {n: data.draw(st.one_of(argument, st.builds(good_argument, st.just(function),
                                                           st.just(n))), label=n)
                 for n in FUNCTIONS[function]}
    check_call(function, arguments, by_keyword)


def test_every_argument_hostile():
    calls_made(every_argument_hostile)


@pytest.mark.parametrize("keyword", [StrSub("x"), StrSub("query"), "\udcff", "é" * 40])
def test_odd_keyword_names(keyword):
    """Keyword names that are str subclasses, unencodable or just unknown."""
    for function, names in FUNCTIONS.items():
        kwargs = {n: good_argument(function, n) for n in names[:-1]}
        kwargs[keyword] = 1
        before = sys.getrefcount(keyword)
        with pytest.raises(TypeError):
            getattr(_velk, function)(**kwargs)
        assert sys.getrefcount(keyword) == before
