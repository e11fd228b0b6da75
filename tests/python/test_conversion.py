"""Python values to binary32 vectors and unsigned counts, and results back."""

import math
import sys
from array import array

import pytest

import _velk
from conftest import bits, reference_cosine

PROBE = [0.25, -1.5, 3.0]


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatChild(float):
    pass


class SeqByIndex:
    """A sequence known only through __getitem__ and __len__."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class BadLen(SeqByIndex):
    def __len__(self):
        raise RuntimeError("no length")


@pytest.mark.parametrize("given, same_as", [
    ((0.5, 1.0, -2.0), [0.5, 1.0, -2.0]),
    ([1, True, 3], [1.0, 1.0, 3.0]),
    ([FloatChild(0.1), FloatLike(0.2), IndexLike(7)], [0.1, 0.2, 7.0]),
    (range(1, 4), [1.0, 2.0, 3.0]),
    (b"\x01\x02\x03", [1.0, 2.0, 3.0]),
    (array("f", [0.1, 0.2, 0.3]), [0.1, 0.2, 0.3]),
    (SeqByIndex([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
    # A huge __len__ only sizes the first allocation; the items decide.
    (SeqByIndex([1.0, 2.0, 3.0], length=2**62), [1.0, 2.0, 3.0]),
    (BadLen([1.0, 2.0, 3.0]), [1.0, 2.0, 3.0]),
    ([0.1, 0.2, 4], [0.1, 0.2, 4.0]),  # fast path abandoned at the int
    ([], []),
])
def test_accepted_sequences_convert_like_float_lists(given, same_as):
    expected = _velk.cosine_similarity(same_as, PROBE)
    assert bits(_velk.cosine_similarity(given, PROBE)) == bits(expected)
    assert bits(_velk.cosine_similarity(PROBE, given)) == bits(expected)
    assert _velk.top_k_flat(PROBE, given, 3, 1) == _velk.top_k_flat(PROBE, same_as, 3, 1)
    # The same as the only row of a list, itself given in the same form.
    rows = type(given)([given], given.length) if isinstance(given, SeqByIndex) else [given]
    assert _velk.top_k(PROBE, rows, 1) == _velk.top_k(PROBE, [same_as], 1)


def test_sequence_mutated_during_conversion_is_read_safely():
    items = [1.0, None, 3.0, 4.0]

    class Shrinks:
        def __float__(self):
            items.clear()
            return 2.0

    items[1] = Shrinks()
    assert _velk.cosine_similarity(items, [1.0, 1.0, 1.0]) == _velk.cosine_similarity(
        [1.0, 2.0], [1.0, 1.0, 1.0])


@pytest.mark.parametrize("value", [1e300, -3.5e38])
def test_values_beyond_float_range_become_infinite(value):
    # inf / (inf * 1) is NaN; a value clamped to the largest float would give 0.0.
    assert math.isnan(_velk.cosine_similarity([value], [1.0]))


@pytest.mark.parametrize("call, error, message", [
    (lambda: _velk.top_k("abc", [], 1), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    (lambda: _velk.cosine_similarity(5, []), TypeError,
     "argument 'a': 'int' object cannot be converted to 'Sequence'"),
    (lambda: _velk.cosine_similarity([], {1: 2.0}), TypeError,
     "argument 'b': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: _velk.cosine_similarity(iter([1.0]), []), TypeError,
     "argument 'a': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda: _velk.top_k([1.0], ["ab"], 1), TypeError,
     "argument 'embeddings': Can't extract `str` to `Vec`"),
    (lambda: _velk.top_k([1.0], [[1.0], 3], 1), TypeError,
     "argument 'embeddings': 'int' object cannot be converted to 'Sequence'"),
    (lambda: _velk.top_k_flat([1.0], [[1.0]], 1, 1), TypeError,
     "argument 'embeddings': must be real number, not list"),
    (lambda: _velk.cosine_similarity([1.0, "x"], []), TypeError,
     "argument 'a': must be real number, not str"),
    (lambda: _velk.cosine_similarity([FloatLike("x")], []), TypeError,
     "argument 'a': FloatLike.__float__ returned non-float (type str)"),
    (lambda: _velk.top_k([1.0], [[1.0]], -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: _velk.top_k([1.0], [[1.0]], 2**64), OverflowError, "int too big to convert"),
    (lambda: _velk.top_k_flat([1.0], [1.0], IndexLike(-2), 1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: _velk.top_k([1.0], [[1.0]], 2.0), TypeError,
     "argument 'k': 'float' object cannot be interpreted as an integer"),
])
def test_refused_values(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert str(caught.value) == message


class BadIterable(SeqByIndex):
    def __iter__(self):
        raise KeyError("no iterator")


class BadItems(SeqByIndex):
    def __getitem__(self, i):
        if i == 1:
            raise LookupError("item 1")
        return self.items[0]


@pytest.mark.parametrize("call, error", [
    (lambda: _velk.cosine_similarity(BadIterable([1.0]), []), KeyError),
    (lambda: _velk.top_k([1.0], BadIterable([[1.0]]), 1), KeyError),
    (lambda: _velk.top_k([1.0], [[1.0], BadIterable([1.0])], 1), KeyError),
    (lambda: _velk.cosine_similarity(BadItems([1.0]), []), LookupError),
    (lambda: _velk.top_k([1.0], BadItems([[1.0]]), 1), LookupError),
    (lambda: _velk.top_k([1.0], [BadItems([1.0])], 1), LookupError),
])
def test_iteration_errors_pass_through(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("k", [True, IndexLike(2), 2**64 - 1, 2**63])
def test_accepted_counts(k):
    rows = [[1.0, 0.0], [0.0, 1.0]]
    assert _velk.top_k([1.0, 0.0], rows, k) == [(0, 1.0), (1, 0.0)][:int(k)]


def test_result_tuples_hold_exact_int_and_widened_float():
    result = _velk.top_k([1.0, 2.0], [[0.1, 0.2], [2.0, 1.0]], 5)
    assert [tuple(map(type, pair)) for pair in result] == [(int, float)] * 2
    assert result == [(0, reference_cosine([1.0, 2.0], [0.1, 0.2])), (1, 0.800000011920929)]


@pytest.mark.parametrize("call", [
    lambda q, e: _velk.top_k(q, e, 1),
    lambda q, e: _velk.cosine_similarity(q, e),
    lambda q, e: _velk.top_k_flat(q, e, 1, 1),
])
def test_failed_conversions_release_every_reference(call):
    item = FloatLike(1.0)
    bad = [1.0, item, "x"]
    rows = [bad, bad]
    before = sys.getrefcount(item), sys.getrefcount(bad), sys.getrefcount(rows)
    for _ in range(200):
        with pytest.raises(TypeError):
            call(bad, rows)
    assert (sys.getrefcount(item), sys.getrefcount(bad), sys.getrefcount(rows)) == before
