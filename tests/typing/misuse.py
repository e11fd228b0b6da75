"""Calls that `mypy --strict` must reject; each line marked `# error` is one."""

import numpy as np

import _velk
import velk

_velk.cosine_similarity("abc", [1.0])  # error
_velk.cosine_similarity([1.0])  # error
_velk.top_k([1.0], [1.0, 2.0], 1)  # error
_velk.top_k([1.0], [[1.0]], 1.5)  # error
_velk.top_k_flat([1.0], [[1.0]], 1, 1)  # error
_velk.top_k_flat_np([1.0], np.ones(3, np.float32), 3, 1)  # error
_velk.top_k_flat_np(np.ones(3, np.float32), np.ones(3, np.float32), 3)  # error
score: str = _velk.cosine_similarity([1.0], [1.0])  # error
pairs: list[tuple[int, int]] = _velk.top_k([1.0], [[1.0]], 1)  # error
_velk.top_k_flat_np(np.ones(3, np.float32), np.ones(3, np.float32), dim=3, n=1)  # error
velk.search([1.0], [[1.0]], 1, 3)  # error
velk.search_many([[1.0]], [[1.0]], k="2")  # error
