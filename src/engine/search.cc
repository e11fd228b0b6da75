#include "src/engine/search.h"

#include <algorithm>
#include <cmath>

#include "src/engine/elements.h"
#include "src/engine/top_k_set.h"
#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/ranking.h"
#include "src/similarity/row_scorer.h"

namespace velk::engine {
namespace {

using similarity::add_in_order;
using similarity::mul_in_order;

// The chain for one (query, row): the dot product and the row's squared
// norm, each from -0.0 in column order, query element and accumulator first.
template <class Elements>
float score_row(const float* query, float query_norm, const typename Elements::Storage* row,
                uint64_t dim) {
  float dot = -0.0f;
  float squares = -0.0f;
  for (uint64_t j = 0; j < dim; ++j) {
    const float x = Elements::widen(row[j]);
    dot = add_in_order(dot, mul_in_order(query[j], x));
    squares = add_in_order(squares, mul_in_order(x, x));
  }
  if (!(squares > 0.0f)) return +0.0f;
  return dot / mul_in_order(std::sqrt(squares), query_norm);
}

template <class Elements>
void scan_rows(const QueryBlock& queries, const float* norms, const MatrixView& matrix,
               const uint8_t* allowed, TopKSet& set) {
  const auto* base = static_cast<const typename Elements::Storage*>(matrix.data);
  for (uint64_t i = 0; i < matrix.rows; ++i) {
    if (allowed != nullptr && allowed[i] == 0) continue;
    for (uint64_t q = 0; q < queries.count; ++q) {
      if (norms[q] == 0.0f) continue;
      const float score =
          score_row<Elements>(queries.data + q * matrix.dim, norms[q], base + i * matrix.dim,
                              matrix.dim);
      set.offer(q, i, similarity::ranking_key(score));
    }
  }
}

}  // namespace

bool kernel_supported(KernelKind kind) {
  switch (kind) {
    case KernelKind::kScalar:
      return true;
    case KernelKind::kAvx2:
      return similarity::row_scorer_supported(similarity::RowScorerKind::kAvx2);
    case KernelKind::kAvx512:
      return similarity::row_scorer_supported(similarity::RowScorerKind::kAvx512);
  }
  return false;
}

KernelKind preferred_kernel() { return KernelKind::kScalar; }

SearchPlan default_plan() {
  SearchPlan plan;
  plan.kernel = preferred_kernel();
  return plan;
}

void search_top_k(const QueryBlock& queries, const MatrixView& matrix, uint64_t k,
                  const uint8_t* allowed, int64_t* indices, float* scores, uint64_t* counts) {
  search_top_k_with(default_plan(), queries, matrix, k, allowed, indices, scores, counts);
}

void search_top_k_with(const SearchPlan& plan, const QueryBlock& queries,
                       const MatrixView& matrix, uint64_t k, const uint8_t* allowed,
                       int64_t* indices, float* scores, uint64_t* counts) {
  VELK_ASSERT(kernel_supported(plan.kernel));
  VELK_ASSERT(matrix.dim != 0);
  if (queries.count == 0) return;
  const uint64_t kept = std::min(k, matrix.rows);
  if (kept == 0) {
    std::fill(counts, counts + queries.count, 0);
    return;
  }

  // One norm per query for the whole call, in the default environment, as
  // the single-query path takes it.
  GrowableArray<float> norms;
  norms.reserve(queries.count);
  {
    similarity::DefaultMxcsr environment;
    for (uint64_t q = 0; q < queries.count; ++q) {
      const float squares =
          similarity::squared_norm({queries.data + q * matrix.dim, matrix.dim});
      // A zero norm marks a query that gets no rows.
      norms[q] = squares == 0.0f ? 0.0f : std::sqrt(squares);
    }
    norms.set_size(queries.count);
    asm volatile("" ::: "memory");
  }

  TopKSet set(queries.count, kept);
  {
    similarity::DefaultMxcsr environment;
    switch (matrix.type) {
      case ElementType::kFloat32:
        scan_rows<Float32Elements>(queries, norms.data(), matrix, allowed, set);
        break;
      case ElementType::kFloat16:
        scan_rows<Float16Elements>(queries, norms.data(), matrix, allowed, set);
        break;
      case ElementType::kBFloat16:
        scan_rows<BFloat16Elements>(queries, norms.data(), matrix, allowed, set);
        break;
    }
    asm volatile("" ::: "memory");
  }

  GrowableArray<Candidate> scratch;
  const TopKSet* sets[] = {&set};
  for (uint64_t q = 0; q < queries.count; ++q) {
    counts[q] = merge_top_k(sets, 1, q, kept, scratch, indices + q * k, scores + q * k);
  }
}

}  // namespace velk::engine
