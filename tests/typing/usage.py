"""Typed use of _velk and velk, checked with `mypy --strict`; also runnable."""

from array import array

import numpy as np
import numpy.typing as npt

import _velk
import velk

query: list[float] = [1.0, 0.0, 2.0]
rows: list[list[float]] = [[1.0, 0.0, 2.0], [0.0, 1.0, 0.0]]
flat: list[float] = [value for row in rows for value in row]

similarity: float = _velk.cosine_similarity(query, rows[0])
mixed: float = _velk.cosine_similarity((1, 2, 3), range(3))
ranked: list[tuple[int, float]] = _velk.top_k(query, rows, 2)
ranked = _velk.top_k_flat(query, flat, 3, k=np.int64(2))

matrix: npt.NDArray[np.float32] = np.array(rows, dtype=np.float32)
vector: npt.NDArray[np.float32] = matrix[0]
ranked = _velk.top_k_flat_np(vector, matrix, matrix.shape[1], 1)
ranked = _velk.top_k_flat_np(array("f", query), memoryview(array("f", flat)), 3, 1)
ranked = _velk.top_k_flat_np(query=vector, embeddings=matrix.ravel(), dim=3, k=0)

for row, score in ranked:
    print(row + 1, score * 2.0)

indices: npt.NDArray[np.int64]
scores: npt.NDArray[np.float32]
indices, scores = velk.search(vector, matrix, 2)
indices, scores = velk.search(query, flat, 1, dim=3, copy=True)
indices, scores = velk.search_many(matrix, matrix, 5)
names: list[str] = _velk.__all__
