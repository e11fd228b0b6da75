"""The batched search engine behind velk.search, search_many and search_range."""

from typing import Any

LOCK_RELEASE_WORK: int

def search_batch(
    queries: Any,
    embeddings: Any,
    dim: int,
    k: int,
    indices: Any,
    scores: Any,
    counts: Any,
    *,
    element_type: int = 0,
    allowed: Any = None,
    progress: Any = None,
    paired: bool = False,
) -> None: ...
def search_one(
    query: Any,
    embeddings: Any,
    dim: int,
    k: int,
    indices: Any,
    scores: Any,
    *,
    element_type: int = 0,
    allowed: Any = None,
) -> int: ...
def search_range(
    queries: Any,
    embeddings: Any,
    dim: int,
    threshold: float,
    *,
    element_type: int = 0,
    allowed: Any = None,
    progress: Any = None,
) -> tuple[bytearray, bytearray, bytearray]: ...
