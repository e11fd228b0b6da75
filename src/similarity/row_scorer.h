// The row scorer of the flat top-k: scores a contiguous block of rows.
//
// Every variant gives, for every row, exactly the bits of row_cosine(): the
// vector variants put one row in each lane and run, lane by lane, the same
// chain of binary32 multiplies and adds in the same order and with the same
// operand order (which decides NaN payloads), from -0.0, with no FMA.
#pragma once

#include <cstdint>

#include "src/similarity/views.h"

namespace velk::similarity {

// The implementations of the row scorer. kScalar runs row_cosine() row by
// row and works everywhere; the others need the named instruction sets.
enum class RowScorerKind {
  kScalar,
  kAvx2,    // 8 rows per 256-bit register; needs AVX2.
  kAvx512,  // 16 rows per 512-bit register; needs AVX-512 F, BW, DQ and VL.
};

// Whether this processor (and operating system) can run `kind`. Checked once
// per process and cached.
bool row_scorer_supported(RowScorerKind kind);

// The variant score_rows() uses: the widest supported one.
RowScorerKind preferred_row_scorer();

// Writes (i, row_cosine(query, query_norm, matrix, i)) for i in [first, last)
// into out[0 .. last - first). Requires first <= last <= matrix.rows() and
// dim > 0 (a break panics). Safe to call from many threads at once on
// disjoint outputs.
//
// Floating-point environment: the scores do not depend on the caller's
// MXCSR. If flush-to-zero, denormals-are-zero, a rounding mode other than
// nearest or unmasked exceptions are set (a library built with fast-math
// does that, and new threads inherit it), the default environment is put in
// place while scoring and the caller's control bits are restored afterwards.
// Status flags raised meanwhile stay raised.
void score_rows(VectorView query, float query_norm, const FlatMatrixView& matrix, uint64_t first,
                uint64_t last, ScoredPair* out);

// score_rows() with a chosen variant, so that each one can be run and
// compared whatever the machine prefers. Panics if `kind` is not supported.
void score_rows_with(RowScorerKind kind, VectorView query, float query_norm,
                     const FlatMatrixView& matrix, uint64_t first, uint64_t last, ScoredPair* out);

}  // namespace velk::similarity
