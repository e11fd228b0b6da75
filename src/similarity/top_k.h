// The three top-k operations of the engine.
#pragma once

#include <cstdint>

#include "src/runtime/alloc.h"
#include "src/similarity/views.h"

namespace velk::similarity {

// Scores every row as pair_cosine(query, row) would, on the calling thread, sorts
// all pairs best first (sort_by_rank) and keeps the first min(k, n).
GrowableArray<ScoredPair> top_k_rows(VectorView query, const RaggedRowsView& rows, uint64_t k);

// Top-k over the rows of a flat matrix, scored in parallel on the worker
// pool. Panics with "attempt to divide by zero" when matrix.dim is 0, before
// any other check. Returns at most k pairs, best first; empty for k = 0, no
// full row, an empty query or a query whose squared norm equals zero.
GrowableArray<ScoredPair> flat_top_k(VectorView query, const FlatMatrixView& matrix, uint64_t k);

}  // namespace velk::similarity
