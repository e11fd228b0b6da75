// The row scorer of the flat top-k: scores a contiguous block of rows.
//
// Every variant gives, for every row, exactly the bits of row_cosine().
#pragma once

#include <cstdint>

#include "src/similarity/views.h"

namespace velk::similarity {

// Writes (i, row_cosine(query, query_norm, matrix, i)) for i in [first, last)
// into out[0 .. last - first). Requires last <= matrix.rows(), dim > 0.
// Safe to call from many threads at once on disjoint outputs.
void score_rows(VectorView query, float query_norm, const FlatMatrixView& matrix, uint64_t first,
                uint64_t last, ScoredPair* out);

}  // namespace velk::similarity
