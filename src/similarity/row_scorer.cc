#include "src/similarity/row_scorer.h"

#include "src/runtime/fp_environment.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/row_scorer_avx2.h"
#include "src/similarity/row_scorer_avx512.h"

namespace velk::similarity {
namespace {

struct CpuSupport {
  bool avx2;
  bool avx512;
};

// The compiler's CPU check also verifies that the operating system saves the
// wider registers, so a feature reported here is usable.
CpuSupport detect_cpu_support() {
  __builtin_cpu_init();
  CpuSupport support{};
  support.avx2 = __builtin_cpu_supports("avx2");
  support.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  return support;
}

const CpuSupport& cpu_support() {
  static const CpuSupport support = detect_cpu_support();
  return support;
}

void score_rows_scalar(VectorView query, float query_norm, const FlatMatrixView& matrix,
                       uint64_t first, uint64_t last, ScoredPair* out) {
  for (uint64_t i = first; i < last; ++i) {
    out[i - first] = ScoredPair{i, row_cosine(query, query_norm, matrix, i)};
  }
}

}  // namespace

bool row_scorer_supported(RowScorerKind kind) {
  switch (kind) {
    case RowScorerKind::kScalar:
      return true;
    case RowScorerKind::kAvx2:
      return cpu_support().avx2;
    case RowScorerKind::kAvx512:
      return cpu_support().avx512;
  }
  return false;
}

RowScorerKind preferred_row_scorer() {
  static const RowScorerKind preferred = [] {
    if (row_scorer_supported(RowScorerKind::kAvx512)) return RowScorerKind::kAvx512;
    if (row_scorer_supported(RowScorerKind::kAvx2)) return RowScorerKind::kAvx2;
    return RowScorerKind::kScalar;
  }();
  return preferred;
}

void score_rows(VectorView query, float query_norm, const FlatMatrixView& matrix, uint64_t first,
                uint64_t last, ScoredPair* out) {
  score_rows_with(preferred_row_scorer(), query, query_norm, matrix, first, last, out);
}

void score_rows_with(RowScorerKind kind, VectorView query, float query_norm,
                     const FlatMatrixView& matrix, uint64_t first, uint64_t last, ScoredPair* out) {
  VELK_ASSERT(row_scorer_supported(kind));
  VELK_ASSERT(matrix.dim != 0);
  // Reading past the last full row would leave the caller's buffer.
  VELK_ASSERT(first <= last && last <= matrix.rows());
  if (first == last) return;
  DefaultMxcsr environment;
  switch (kind) {
    case RowScorerKind::kScalar:
      score_rows_scalar(query, query_norm, matrix, first, last, out);
      return;
    case RowScorerKind::kAvx2:
      score_rows_avx2(query, query_norm, matrix, first, last, out);
      return;
    case RowScorerKind::kAvx512:
      score_rows_avx512(query, query_norm, matrix, first, last, out);
      return;
  }
}

}  // namespace velk::similarity
