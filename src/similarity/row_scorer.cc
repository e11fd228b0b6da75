#include "src/similarity/row_scorer.h"

#include "src/similarity/kernels.h"

namespace velk::similarity {

void score_rows(VectorView query, float query_norm, const FlatMatrixView& matrix, uint64_t first,
                uint64_t last, ScoredPair* out) {
  for (uint64_t i = first; i < last; ++i) {
    out[i - first] = ScoredPair{i, row_cosine(query, query_norm, matrix, i)};
  }
}

}  // namespace velk::similarity
