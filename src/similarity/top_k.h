// The three top-k operations of the engine.
#pragma once

#include <cstdint>

#include "src/runtime/alloc.h"
#include "src/similarity/views.h"

namespace velk::similarity {

// Scores every row as pair_cosine(query, row) would, on the calling thread, sorts
// all pairs best first (sort_by_rank) and keeps the first min(k, n).
GrowableArray<ScoredPair> top_k_rows(VectorView query, const RaggedRowsView& rows, uint64_t k);

// A top-k that ranks rows as it scores them, with no pair per row: writes
// the best `kept` rows of the matrix (1 <= kept < its row count, the query
// as wide as its rows and of nonzero squared norm) to out[0 .. kept), each
// scored as row_cosine() does, best first by ranking_key() and, among equal
// keys, lower row first.
using StreamedTopK = void (*)(VectorView query, const FlatMatrixView& matrix, uint64_t kept,
                              ScoredPair* out);

// Top-k over the rows of a flat matrix, scored in parallel on the worker
// pool. Panics with "attempt to divide by zero" when matrix.dim is 0, before
// any other check. Returns at most k pairs, best first; empty for k = 0, no
// full row, an empty query or a query whose squared norm equals zero.
//
// With `streamed`, a call whose query is as wide as the rows and that keeps
// at most a quarter of them is handed to it once the checks above have
// passed and the pool has started, instead of scoring every row into a
// 16-byte pair and selecting. The scores are the same; so is the order,
// where the pair path promises one for tied scores.
GrowableArray<ScoredPair> flat_top_k(VectorView query, const FlatMatrixView& matrix, uint64_t k,
                                     StreamedTopK streamed = nullptr);

}  // namespace velk::similarity
