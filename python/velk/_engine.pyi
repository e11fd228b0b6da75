"""The batched search engine behind velk.search and velk.search_many."""

from typing import Any

LOCK_RELEASE_WORK: int

def search_batch(
    queries: Any, embeddings: Any, dim: int, k: int, indices: Any, scores: Any, counts: Any
) -> None: ...
def search_one(
    query: Any, embeddings: Any, dim: int, k: int, indices: Any, scores: Any
) -> int: ...
