#include "src/similarity/top_k.h"

#include <algorithm>
#include <cmath>

#include "src/pool/collect.h"
#include "src/pool/registry.h"
#include "src/runtime/fp_environment.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/ranking.h"
#include "src/similarity/row_scorer.h"

namespace velk::similarity {
namespace {

// pair_cosine(query, row) for every row, in row order, on this thread. The
// query's squared norm and its root are the same for every row, so they are
// taken once; the rest is pair_cosine's own sequence of operations, with the
// same operands in the same order, so every score keeps the bits that
// cosine_similarity gives the same two vectors.
void score_list_rows(VectorView query, const RaggedRowsView& rows, ScoredPair* out) {
  const float query_squares = squared_norm(query);
  const float query_root = std::sqrt(query_squares);
  for (uint64_t i = 0; i < rows.count; ++i) {
    const VectorView row = rows.row(i);
    const float d = dot(query, row);
    const float row_squares = squared_norm(row);
    float score = +0.0f;
    if (!(query_squares == 0.0f || row_squares == 0.0f)) {
      score = d / mul_in_order(query_root, std::sqrt(row_squares));
    }
    out[i] = ScoredPair{i, score};
  }
}

}  // namespace

GrowableArray<ScoredPair> top_k_rows(VectorView query, const RaggedRowsView& rows, uint64_t k) {
  const uint64_t n = rows.count;
  GrowableArray<ScoredPair> pairs;
  pairs.reserve(n);
  {
    // The scores go to memory before the caller's environment comes back.
    DefaultMxcsr environment;
    score_list_rows(query, rows, pairs.data());
  }
  pairs.set_size(n);
  sort_by_rank(pairs.data(), pairs.size());
  pairs.truncate(std::min(k, n));
  return pairs;
}

GrowableArray<ScoredPair> flat_top_k(VectorView query, const FlatMatrixView& matrix, uint64_t k,
                                     StreamedTopK streamed) {
  // The row count divides by dim: a zero width is a fault of the caller,
  // reported before anything else, whatever the other inputs are.
  if (matrix.dim == 0) velk::panic("attempt to divide by zero");
  const uint64_t n = matrix.rows();
  const uint64_t kept = std::min(k, n);
  if (kept == 0) return {};
  if (query.size == 0) return {};

  // One norm for the whole call, over every query value (also those past
  // dim); each row reads it instead of summing the query again. Like the
  // rows (each leaf switches for itself), it is computed in the default
  // floating-point environment, and so is the zero test: with
  // denormals-are-zero a tiny norm would compare equal to zero.
  float query_norm;
  bool zero_query;
  {
    DefaultMxcsr environment;
    const float query_squares = squared_norm(query);
    query_norm = std::sqrt(query_squares);
    // NaN and +inf pass: they make every non-zero row score NaN (or 0),
    // which is a result, not an error.
    zero_query = query_squares == 0.0f;
    finish_in_environment(query_norm);
    finish_in_environment(zero_query);
  }
  if (zero_query) return {};

  if (streamed != nullptr && query.size == matrix.dim && kept <= n / 4) {
    // The pool starts here, as the map below would start it.
    pool::global_pool();
    GrowableArray<ScoredPair> best;
    best.reserve(kept);
    streamed(query, matrix, kept, best.data());
    best.set_size(kept);
    return best;
  }

  GrowableArray<ScoredPair> pairs = pool::parallel_map_collect_ranges<ScoredPair>(
      n, [query, query_norm, &matrix](uint64_t start, uint64_t end, ScoredPair* window) {
        score_rows(query, query_norm, matrix, start, end, window);
      });

  // Only the survivors are sorted: selection is linear, a full sort is not.
  if (kept < n) {
    select_top(pairs.data(), pairs.size(), kept);
    pairs.truncate(kept);
  }
  sort_by_rank(pairs.data(), pairs.size());
  return pairs;
}

}  // namespace velk::similarity
