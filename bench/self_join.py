"""A matrix against itself, which scores each pair of rows once, at a
threshold (`velk.search_range(X, X, t)`) and as a top k
(`velk.search_many(X, X, k)`), against the plain search of the same call (a
copy of X as the queries), interleaved: each round runs both once in shuffled
order after a pause. Checks that both give the same bits.

Run with the benchmark's environment: bench/.venv/bin/python bench/self_join.py
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import velk
from timing import median_of_ratios, time_interleaved

CASES = [
    # rows, dim, dtype, threshold (a float) or k (an int): the dedup example,
    # then larger float32, then a threshold so low that the plain search takes
    # over; then top-k searches (a k-nearest-neighbour graph).
    (20_000, 256, np.float16, 0.95),
    (50_000, 384, np.float32, 0.9),
    (30_000, 48, np.float32, 0.35),
    (20_000, 256, np.float16, 10),
    (50_000, 384, np.float32, 10),
]


def near_duplicates(rows: int, dim: int, dtype, seed: int) -> np.ndarray:
    """Random rows, a tenth of them noisy copies of others."""
    rng = np.random.default_rng(seed)
    matrix = rng.standard_normal((rows, dim), dtype=np.float32)
    copies = rng.choice(rows, size=rows // 10, replace=False)
    originals = rng.integers(0, rows, size=len(copies))
    matrix[copies] = matrix[originals] + 0.05 * rng.standard_normal((len(copies), dim), dtype=np.float32)
    return matrix.astype(dtype)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pause", type=float, default=0.5)
    args = parser.parse_args()
    print("| matrix | threshold or k | results | X against X | plain search | speed-up (median of rounds) |")
    print("|---|---|---|---|---|---|")
    for rows, dim, dtype, parameter in CASES:
        matrix = near_duplicates(rows, dim, dtype, seed=rows + dim)
        queries = matrix.copy()
        if isinstance(parameter, float):
            def search(q, threshold=parameter):
                return velk.search_range(q, matrix, threshold)
        else:
            def search(q, k=parameter):
                return velk.search_many(q, matrix, k)
        paired = search(matrix)
        plain = search(queries)
        for a, b in zip(paired, plain):
            if a.tobytes() != b.tobytes():
                sys.exit(f"{rows} x {dim}: the two searches differ")
        both = time_interleaved([lambda: search(matrix), lambda: search(queries)],
                                args.runs, pause_s=args.pause, order_seed=int(time.time()))
        paired_t, plain_t = both
        ratio = median_of_ratios(plain_t.samples, paired_t.samples)
        label = parameter if isinstance(parameter, float) else f"k = {parameter}"
        print(f"| {rows:,} x {dim} {np.dtype(dtype).name} | {label} | {paired[1].size:,} | "
              f"{paired_t.median_s * 1e3:.0f} ms | {plain_t.median_s * 1e3:.0f} ms | {ratio:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
