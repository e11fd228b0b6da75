"""Nearest neighbours of a few noisy points among 50,000 clustered embeddings.

Builds 100 cluster centres in 128 dimensions, 500 points around each, then
asks `velk.search` for the neighbours of one perturbed point and
`velk.search_many` for a batch of them. The embeddings are float32 and
C-contiguous, so velk reads them in place; every score is the exact float32
cosine that `_velk` computes, whatever the number of threads.

Run with: python examples/search_many.py   (needs numpy: pip install 'velk[numpy]')
"""

import numpy as np

import velk

rng = np.random.default_rng(7)
centres = rng.standard_normal((100, 128), dtype=np.float32)
labels = np.repeat(np.arange(100), 500)
embeddings = centres[labels] + np.float32(0.3) * rng.standard_normal(
    (labels.size, 128), dtype=np.float32
)

# One query: a point near centre 42; its neighbours should all come from it.
query = centres[42] + np.float32(0.3) * rng.standard_normal(128, dtype=np.float32)
indices, scores = velk.search(query, embeddings, k=5)
print("one query, cluster 42:")
for row, score in zip(indices, scores):
    print(f"  row {row:6d}  cluster {labels[row]:3d}  cosine {score:.6f}")

# A batch: one row of results per query, as (queries, k) arrays.
wanted = np.array([3, 42, 99])
queries = centres[wanted] + np.float32(0.3) * rng.standard_normal(
    (wanted.size, 128), dtype=np.float32
)
batch_indices, batch_scores = velk.search_many(queries, embeddings, k=10)
for cluster, rows, row_scores in zip(wanted, batch_indices, batch_scores):
    hits = np.mean(labels[rows] == cluster)
    print(f"cluster {cluster:3d}: {hits:.0%} of 10 neighbours in it, best {row_scores[0]:.6f}")

# Mixed precision is refused rather than copied behind your back.
try:
    velk.search(query, embeddings.astype(np.float64), k=5)
except TypeError as error:
    print("float64 refused:", error)
