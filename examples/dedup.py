"""Every near-duplicate pair of a matrix of embeddings, in one call.

Makes 20,000 float16 embeddings of 256 values in which some rows are noisy
copies of others (a few large clusters of copies among them), then asks
`velk.search_range` for every row whose cosine with each row is at least
0.95: the matrix against itself, each pair of rows scored once (the same
array as queries and matrix), with a progress bar. Unlike a top-k search, a
threshold search cannot miss pairs in a cluster larger than k.

Run with: python examples/dedup.py   (needs numpy: pip install 'velk[numpy]';
tqdm, if installed, draws the bar)
"""

import numpy as np

import velk

rng = np.random.default_rng(11)
rows, dim = 20_000, 256
embeddings = rng.standard_normal((rows, dim), dtype=np.float32)
# 1,500 copies of random rows, and three clusters of 200 copies of one row each.
originals = np.concatenate([rng.integers(0, rows, 1_500), np.repeat(rng.integers(0, rows, 3), 200)])
copies = rng.choice(rows, size=len(originals), replace=False)
keep = ~np.isin(originals, copies)
originals, copies = originals[keep], copies[keep]
noise = 0.05 * rng.standard_normal((len(copies), dim), dtype=np.float32)
embeddings[copies] = embeddings[originals] + noise
# Half the bytes; velk widens each element exactly while scoring.
embeddings = embeddings.astype(np.float16)

lims, indices, scores = velk.search_range(embeddings, embeddings, 0.95, progress=True)

# Query i's matches are indices[lims[i]:lims[i+1]]; every row matches itself.
queries = np.repeat(np.arange(rows), np.diff(lims))
pairs = np.stack([queries, indices], axis=1)
pairs = pairs[pairs[:, 0] < pairs[:, 1]]
print(f"{len(pairs)} near-duplicate pairs among {rows} rows")
for (a, b), score in zip(pairs[:5], scores[np.flatnonzero(queries < indices)][:5]):
    print(f"  rows {a} and {b}: cosine {score:.4f}")
