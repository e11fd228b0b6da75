"""Every function of _velk on success and on its error paths, a few times
each, small enough to run under memcheck in a minute or two."""

from array import array

import _velk

ROUNDS = 20


class Boom(Exception):
    pass


class Raises:
    def __float__(self):
        raise Boom()

    __index__ = __float__


def expect(call, *errors):
    try:
        return call()
    except BaseException as error:  # noqa: B036 - PanicException included
        if not errors or not isinstance(error, errors):
            raise


def main():
    query = [0.5, -1.0, 2.0, 0.0]
    rows = [[float(i % 5), 1.0, float(-i), 0.25] for i in range(40)]
    flat = [x for row in rows for x in row]
    q32, m32 = array("f", query), array("f", flat)
    try:
        _velk.top_k_flat([1.0], [1.0], 0, 1)
    except BaseException as error:  # noqa: B036
        panic = error
    Panic = type(panic)

    class ThrowsPanic:
        def __float__(self):
            raise Panic("thrown back in")

    for _ in range(ROUNDS):
        _velk.cosine_similarity(query, rows[3])
        _velk.top_k(query, rows, 5)
        _velk.top_k(query, rows, 2**64 - 1)
        _velk.top_k_flat(query, flat, 4, 5)
        _velk.top_k_flat(query, flat, 4, 100)
        _velk.top_k_flat_np(q32, m32, 4, 3)
        _velk.top_k_flat_np(q32, m32, 2**64 - 1, 3)
        expect(lambda: _velk.cosine_similarity(query, "abc"), TypeError)
        expect(lambda: _velk.cosine_similarity(query, query[:2] + [Raises()]), Boom)
        expect(lambda: _velk.cosine_similarity(query), TypeError)
        expect(lambda: _velk.cosine_similarity(query, query, c=1), TypeError)
        expect(lambda: _velk.top_k(query, rows[:5] + ["row"], 3), TypeError)
        expect(lambda: _velk.top_k(query, rows[:5] + [5], 3), TypeError)
        expect(lambda: _velk.top_k(query, rows, -1), OverflowError)
        expect(lambda: _velk.top_k(query, rows, Raises()), Boom)
        expect(lambda: _velk.top_k_flat(query, flat[:9] + [Raises()], 4, 2), Boom)
        expect(lambda: _velk.top_k_flat(query, flat, 0, 2), Panic)
        expect(lambda: _velk.top_k_flat(query, flat, 2**64, 2), OverflowError)
        expect(lambda: _velk.top_k_flat_np(q32, flat, 4, 2), TypeError)
        expect(lambda: _velk.top_k_flat_np(q32, array("d", flat), 4, 2), BufferError)
        expect(lambda: _velk.top_k_flat_np(q32, memoryview(m32)[::2], 4, 2), BufferError)
        expect(lambda: _velk.top_k_flat_np(q32, memoryview(m32.tobytes())[1:9], 4, 2),
               BufferError)
        expect(lambda: _velk.top_k_flat_np(q32, m32, 0, 2), Panic)
        expect(lambda: _velk.cosine_similarity([ThrowsPanic()], query), Panic)
    print("smoke: done")


if __name__ == "__main__":
    main()
