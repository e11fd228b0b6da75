"""Calls that `mypy --strict` must reject; each line marked `# error` is one.

It imports nothing but the standard library, _velk and velk, so that it can
also be checked where nothing else is installed.
"""

from array import array

import _velk
import velk

floats = array("f", [1.0, 2.0, 3.0])

_velk.cosine_similarity("abc", [1.0])  # error
_velk.cosine_similarity([1.0])  # error
_velk.top_k([1.0], [1.0, 2.0], 1)  # error
_velk.top_k([1.0], [[1.0]], 1.5)  # error
_velk.top_k_flat([1.0], [[1.0]], 1, 1)  # error
_velk.top_k_flat_np([1.0], floats, 3, 1)  # error
_velk.top_k_flat_np(floats, floats, 3)  # error
score: str = _velk.cosine_similarity([1.0], [1.0])  # error
pairs: list[tuple[int, int]] = _velk.top_k([1.0], [[1.0]], 1)  # error
_velk.top_k_flat_np(floats, floats, dim=3, n=1)  # error
velk.search([1.0], [[1.0]], 1, 3)  # error
velk.search_many([[1.0]], [[1.0]], k="2")  # error
found: list[int] = velk.search([1.0], [[1.0]], 1)  # error
release: int = velk.__version__  # error
velk.top_k_flat_np(floats, [1.0], 3, 1)  # error
