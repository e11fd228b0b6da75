#include "src/similarity/row_scorer_avx512.h"

// GCC 12's AVX-512 intrinsics pass an intentionally undefined vector as the
// merge source of unmasked shuffles, which -Wmaybe-uninitialized reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstdint>

#include "src/similarity/row_scorer_lanes.h"

namespace velk::similarity {
namespace {

// Sixteen rows per 512-bit register.
struct Avx512 {
  using Vec = __m512;
  static constexpr uint64_t kLanes = 16;

  static Vec initial() { return _mm512_set1_ps(-0.0f); }
  static Vec broadcast(float x) { return _mm512_set1_ps(x); }

  // Written as asm because the compiler treats add and multiply as
  // commutative and may swap the operands, and with two NaNs x86 keeps the
  // payload of the first one (AT&T order: the middle operand is the first).
  static Vec add_in_order(Vec acc, Vec x) {
    Vec sum;
    asm("vaddps %2, %1, %0" : "=v"(sum) : "v"(acc), "v"(x));
    return sum;
  }
  static Vec mul_in_order(Vec a, Vec b) {
    Vec product;
    asm("vmulps %2, %1, %0" : "=v"(product) : "v"(a), "v"(b));
    return product;
  }

  // Register t holds, in its 128-bit lane L, columns [0, 4) of row 4L + t;
  // a 4x4 transpose inside every 128-bit lane then leaves column j of row k
  // in element k of out[j].
  template <class Load>
  [[gnu::always_inline]] static void transpose_rows(const float* rows, uint64_t stride, Load load,
                                                    Vec out[4]) {
    Vec a[4];
    for (uint64_t t = 0; t < 4; ++t) {
      Vec v = _mm512_castps128_ps512(load(rows + t * stride));
      v = _mm512_insertf32x4(v, load(rows + (4 + t) * stride), 1);
      v = _mm512_insertf32x4(v, load(rows + (8 + t) * stride), 2);
      a[t] = _mm512_insertf32x4(v, load(rows + (12 + t) * stride), 3);
    }
    __m512d low01 = _mm512_castps_pd(_mm512_unpacklo_ps(a[0], a[1]));
    __m512d high01 = _mm512_castps_pd(_mm512_unpackhi_ps(a[0], a[1]));
    __m512d low23 = _mm512_castps_pd(_mm512_unpacklo_ps(a[2], a[3]));
    __m512d high23 = _mm512_castps_pd(_mm512_unpackhi_ps(a[2], a[3]));
    out[0] = _mm512_castpd_ps(_mm512_unpacklo_pd(low01, low23));
    out[1] = _mm512_castpd_ps(_mm512_unpackhi_pd(low01, low23));
    out[2] = _mm512_castpd_ps(_mm512_unpacklo_pd(high01, high23));
    out[3] = _mm512_castpd_ps(_mm512_unpackhi_pd(high01, high23));
  }

  static void load_columns(const float* rows, uint64_t stride, Vec out[4]) {
    transpose_rows(rows, stride, [](const float* p) { return _mm_loadu_ps(p); }, out);
  }

  // The masked load neither reads nor faults on the columns it leaves out.
  static void load_columns_partial(const float* rows, uint64_t stride, uint64_t count,
                                   Vec out[4]) {
    __mmask8 columns = static_cast<__mmask8>((1u << count) - 1);
    auto load = [columns](const float* p) { return _mm_maskz_loadu_ps(columns, p); };
    transpose_rows(rows, stride, load, out);
  }

  static void finish(Vec dot, Vec squares, float query_norm, float* scores) {
    __mmask16 positive = _mm512_cmp_ps_mask(squares, _mm512_setzero_ps(), _CMP_GT_OQ);
    // Lanes that score +0.0 compute nothing, so a zero row raises no
    // divide-by-zero flag. In the others the root is a number, so at most
    // one factor of the product is NaN and its operand order cannot matter.
    Vec root = _mm512_maskz_sqrt_ps(positive, squares);
    Vec denominator = _mm512_maskz_mul_ps(positive, root, _mm512_set1_ps(query_norm));
    _mm512_storeu_ps(scores, _mm512_maskz_div_ps(positive, dot, denominator));
  }
};

}  // namespace

void score_rows_avx512(VectorView query, float query_norm, const FlatMatrixView& matrix,
                       uint64_t first, uint64_t last, ScoredPair* out) {
  lanes::score_rows_in_lanes<Avx512>(query, query_norm, matrix, first, last, out);
}

}  // namespace velk::similarity
