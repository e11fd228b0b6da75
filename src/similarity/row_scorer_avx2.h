// The row scorer built for AVX2; see row_scorer.h.
#pragma once

#include <cstdint>

#include "src/similarity/views.h"

namespace velk::similarity {

// score_rows() for this instruction set, without the checks and without the
// floating-point environment guard: the caller (score_rows_with) does both.
// Only call it after the run-time CPU check said the instruction set is usable.
void score_rows_avx2(VectorView query, float query_norm, const FlatMatrixView& matrix,
                     uint64_t first, uint64_t last, ScoredPair* out);

}  // namespace velk::similarity
