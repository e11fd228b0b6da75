"""Semantic search over the docstrings of Python's standard library.

The corpus is every module, class and function docstring that ships with the
interpreter running this script (parsed with `ast`, nothing is imported). Each
docstring becomes a float32 vector through a small hashing vectoriser written
in numpy; `_velk.top_k_flat_np` then ranks all of them against a few queries,
zero-copy, on its own thread pool.
"""

from __future__ import annotations

import ast
import re
import sys
import sysconfig
import time
import zlib
from pathlib import Path

import numpy as np

import _velk

DIM = 512
TOKEN = re.compile(r"[a-z][a-z0-9_]+")
QUERIES = [
    "read a file line by line",
    "parse command line arguments and options",
    "compress data with gzip",
    "send an email message over SMTP",
    "random integer between two numbers",
    "current date and time in a time zone",
    "run a command in a subprocess and capture its output",
]


def collect_docstrings(root: Path) -> list[tuple[str, str]]:
    """(qualified name, docstring) for every documented module, class and function."""
    docs: list[tuple[str, str]] = []
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts or "test" in path.parts or "tests" in path.parts:
            continue
        try:
            tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue
        module = ".".join(path.relative_to(root).with_suffix("").parts)
        module = module.removesuffix(".__init__")
        if doc := ast.get_docstring(tree):
            docs.append((module, doc))
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                if node.name.startswith("_"):
                    continue
                if doc := ast.get_docstring(node):
                    docs.append((f"{module}.{node.name}", doc))
    return docs


def bucket(feature: str) -> tuple[int, float]:
    h = zlib.crc32(feature.encode())
    return h % DIM, (1.0 if (h >> 31) & 1 else -1.0)


def embed(text: str) -> np.ndarray:
    """Signed feature hashing of words and word pairs, log-scaled counts."""
    words = TOKEN.findall(text.lower())
    features = words + [a + " " + b for a, b in zip(words, words[1:])]
    vector = np.zeros(DIM, dtype=np.float32)
    for feature in features:
        index, sign = bucket(feature)
        vector[index] += sign
    return (np.sign(vector) * np.log1p(np.abs(vector))).astype(np.float32)


def main() -> None:
    root = Path(sysconfig.get_paths()["stdlib"])
    started = time.perf_counter()
    docs = collect_docstrings(root)
    matrix = np.stack([embed(name.replace(".", " ") + " " + doc) for name, doc in docs])
    prepared = time.perf_counter() - started
    print(f"Python {sys.version.split()[0]} standard library: {len(docs):,} docstrings "
          f"embedded as a {matrix.shape[0]:,} x {DIM} float32 matrix in {prepared:.1f} s\n")

    for query in QUERIES:
        q = embed(query)
        started = time.perf_counter()
        best = _velk.top_k_flat_np(q, matrix, DIM, 3)
        took = time.perf_counter() - started
        print(f"{query!r}  ({took * 1e3:.2f} ms)")
        for row, score in best:
            name, doc = docs[row]
            first_line = doc.strip().splitlines()[0][:70]
            print(f"   {score:.3f}  {name:<45} {first_line}")
        print()

    # The same ranking by numpy brute force, for scale.
    q = embed(QUERIES[0])
    started = time.perf_counter()
    norms = np.linalg.norm(matrix, axis=1)
    scores = (matrix @ q) / (norms * np.linalg.norm(q))
    top = np.argsort(-scores, kind="stable")[:3]
    numpy_ms = (time.perf_counter() - started) * 1e3
    started = time.perf_counter()
    mine = _velk.top_k_flat_np(q, matrix, DIM, 3)
    velk_ms = (time.perf_counter() - started) * 1e3
    print(f"numpy brute force: {numpy_ms:.2f} ms, _velk: {velk_ms:.2f} ms; "
          f"same rows: {[r for r, _ in mine] == top.tolist()}")


if __name__ == "__main__":
    main()
