"""Matching call arguments to parameters, and the TypeErrors of a bad call."""

import itertools

import pytest

import _velk

Q = [1.0, 0.0]
E = [[0.0, 1.0], [1.0, 0.0]]
F = [0.0, 1.0, 1.0, 0.0]


@pytest.mark.parametrize("call, message", [
    (lambda: _velk.top_k(Q, E, 1, 2), "top_k() takes 3 positional arguments but 4 were given"),
    (lambda: _velk.cosine_similarity(Q, Q, Q),
     "cosine_similarity() takes 2 positional arguments but 3 were given"),
    # The positional count is checked before any keyword.
    (lambda: _velk.top_k_flat(Q, F, 2, 1, 5, zzz=1),
     "top_k_flat() takes 4 positional arguments but 5 were given"),
    (lambda: _velk.top_k(Q, E, 1, query=[2.0]),
     "top_k() got multiple values for argument 'query'"),
    (lambda: _velk.top_k_flat_np(Q, F, 2, dim=2),
     "top_k_flat_np() got multiple values for argument 'dim'"),
    (lambda: _velk.cosine_similarity(Q, Q, c=1),
     "cosine_similarity() got an unexpected keyword argument 'c'"),
    # An unknown keyword is reported before the missing parameters.
    (lambda: _velk.top_k(Q, x=1), "top_k() got an unexpected keyword argument 'x'"),
    (lambda: _velk.top_k(Q, **{"k\u00e9": 1}), "top_k() got an unexpected keyword argument 'k\u00e9'"),
    # A name without UTF-8 form matches nothing and is shown with replacements.
    (lambda: _velk.top_k(Q, E, **{"\ud800": 1}),
     "top_k() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: _velk.top_k([1.0]),
     "top_k() missing 2 required positional arguments: 'embeddings' and 'k'"),
    (lambda: _velk.top_k(Q, E), "top_k() missing 1 required positional argument: 'k'"),
    (lambda: _velk.cosine_similarity(),
     "cosine_similarity() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: _velk.top_k_flat(),
     "top_k_flat() missing 4 required positional arguments: 'query', 'embeddings', 'dim', and 'k'"),
    (lambda: _velk.top_k_flat_np(k=1),
     "top_k_flat_np() missing 3 required positional arguments: 'query', 'embeddings', and 'dim'"),
    (lambda: _velk.top_k_flat(query=Q, embeddings=F, k=3),
     "top_k_flat() missing 1 required positional argument: 'dim'"),
    (lambda: _velk.top_k(Q, k=1), "top_k() missing 1 required positional argument: 'embeddings'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("function, values", [
    (_velk.cosine_similarity, {"a": [1.0, 2.0], "b": [2.0, 1.0]}),
    (_velk.top_k, {"query": Q, "embeddings": E, "k": 2}),
    (_velk.top_k_flat, {"query": Q, "embeddings": F, "dim": 2, "k": 2}),
])
def test_keywords_in_any_order_match_positional(function, values):
    expected = function(*values.values())
    names = list(values)
    for order in itertools.permutations(names):
        assert function(**{n: values[n] for n in order}) == expected
    # Mixed: the first by position, the rest by keyword.
    assert function(values[names[0]], **{n: values[n] for n in names[1:]}) == expected


class UnprintableName(str):
    def __str__(self):
        raise ValueError("no text")


def test_unexpected_keyword_with_failing_str_goes_to_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    with pytest.raises(TypeError) as caught:
        _velk.top_k(Q, E, 1, **{UnprintableName("zz"): 1})
    assert str(caught.value) == (
        "top_k() got an unexpected keyword argument '<unprintable UnprintableName object>'")
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)


class Unprintable:
    def __str__(self):
        raise RuntimeError("str failed")


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class TypeErrorChild(TypeError):
    pass


def cause_of(error):
    error.__cause__ = KeyError("root")
    return error


@pytest.mark.parametrize("error, expected_type, message", [
    (TypeError("bad item"), TypeError, "argument 'a': bad item"),
    # A subclass of TypeError keeps its type and text.
    (TypeErrorChild("bad item"), TypeErrorChild, "bad item"),
    (ValueError("bad value"), ValueError, "bad value"),
    (OverflowError("too big"), OverflowError, "too big"),
    # The text of an exception whose str() fails.
    (TypeError(Unprintable()), TypeError, "argument 'a': <unprintable TypeError object>"),
])
def test_conversion_errors_reworded_only_when_exactly_type_error(error, expected_type, message,
                                                                 monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    with pytest.raises(BaseException) as caught:
        _velk.cosine_similarity([1.0, Raises(error)], [1.0])
    assert type(caught.value) is expected_type
    assert str(caught.value) == message
    assert len(seen) == (1 if "unprintable" in message else 0)
    if expected_type is TypeError:
        # The reworded error takes over the (absent) cause and hides its context.
        assert caught.value.__cause__ is None and caught.value.__suppress_context__


@pytest.mark.parametrize("error", [TypeError("bad"), TypeErrorChild("bad")])
def test_cause_is_carried_over(error):
    with pytest.raises(TypeError) as caught:
        _velk.top_k([1.0], [[1.0, Raises(cause_of(error))]], 1)
    assert isinstance(caught.value.__cause__, KeyError)
    assert caught.value.__suppress_context__


def test_conversion_stops_at_first_failing_argument():
    touched = []

    class Spy:
        def __len__(self):
            touched.append("len")
            return 0

        def __getitem__(self, i):
            touched.append(i)
            raise IndexError

    with pytest.raises(TypeError, match=r"^argument 'query': 'int' object cannot be converted"):
        _velk.top_k(3, Spy(), Spy())
    assert touched == []
