#include "src/similarity/row_scorer_avx2.h"

#include <immintrin.h>

#include <cstdint>

#include "src/similarity/row_scorer_lanes.h"

namespace velk::similarity {
namespace {

// Eight rows per 256-bit register.
struct Avx2 {
  using Vec = __m256;
  static constexpr uint64_t kLanes = 8;

  static Vec initial() { return _mm256_set1_ps(-0.0f); }
  static Vec broadcast(float x) { return _mm256_set1_ps(x); }

  // Written as asm because the compiler treats add and multiply as
  // commutative and may swap the operands, and with two NaNs x86 keeps the
  // payload of the first one (AT&T order: the middle operand is the first).
  static Vec add_in_order(Vec acc, Vec x) {
    Vec sum;
    asm("vaddps %2, %1, %0" : "=x"(sum) : "x"(acc), "x"(x));
    return sum;
  }
  static Vec mul_in_order(Vec a, Vec b) {
    Vec product;
    asm("vmulps %2, %1, %0" : "=x"(product) : "x"(a), "x"(b));
    return product;
  }

  // Register t holds columns [0, 4) of row t in its low 128-bit lane and of
  // row 4 + t in its high one; a 4x4 transpose inside each lane then leaves
  // column j of row k in element k of out[j].
  template <class Load>
  [[gnu::always_inline]] static void transpose_rows(const float* rows, uint64_t stride, Load load,
                                                    Vec out[4]) {
    Vec a[4];
    for (uint64_t t = 0; t < 4; ++t) {
      a[t] = _mm256_insertf128_ps(_mm256_castps128_ps256(load(rows + t * stride)),
                                  load(rows + (4 + t) * stride), 1);
    }
    __m256d low01 = _mm256_castps_pd(_mm256_unpacklo_ps(a[0], a[1]));
    __m256d high01 = _mm256_castps_pd(_mm256_unpackhi_ps(a[0], a[1]));
    __m256d low23 = _mm256_castps_pd(_mm256_unpacklo_ps(a[2], a[3]));
    __m256d high23 = _mm256_castps_pd(_mm256_unpackhi_ps(a[2], a[3]));
    out[0] = _mm256_castpd_ps(_mm256_unpacklo_pd(low01, low23));
    out[1] = _mm256_castpd_ps(_mm256_unpackhi_pd(low01, low23));
    out[2] = _mm256_castpd_ps(_mm256_unpacklo_pd(high01, high23));
    out[3] = _mm256_castpd_ps(_mm256_unpackhi_pd(high01, high23));
  }

  static void load_columns(const float* rows, uint64_t stride, Vec out[4]) {
    transpose_rows(rows, stride, [](const float* p) { return _mm_loadu_ps(p); }, out);
  }

  // The masked load neither reads nor faults on the columns it leaves out.
  static void load_columns_partial(const float* rows, uint64_t stride, uint64_t count,
                                   Vec out[4]) {
    __m128i columns = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(count)),
                                      _mm_setr_epi32(0, 1, 2, 3));
    auto load = [columns](const float* p) { return _mm_maskload_ps(p, columns); };
    transpose_rows(rows, stride, load, out);
  }

  static void finish(Vec dot, Vec squares, float query_norm, float* scores) {
    Vec positive = _mm256_cmp_ps(squares, _mm256_setzero_ps(), _CMP_GT_OQ);
    // Lanes that score +0.0 divide by the query norm instead, so a zero row
    // raises no divide-by-zero flag; the mask then clears them to +0.0. In
    // the others the root is a number, so at most one factor of the product
    // is NaN and its operand order cannot matter.
    Vec safe_squares = _mm256_blendv_ps(_mm256_set1_ps(1.0f), squares, positive);
    Vec denominator = _mm256_mul_ps(_mm256_sqrt_ps(safe_squares), _mm256_set1_ps(query_norm));
    _mm256_storeu_ps(scores, _mm256_and_ps(_mm256_div_ps(dot, denominator), positive));
  }
};

}  // namespace

void score_rows_avx2(VectorView query, float query_norm, const FlatMatrixView& matrix,
                     uint64_t first, uint64_t last, ScoredPair* out) {
  lanes::score_rows_in_lanes<Avx2>(query, query_norm, matrix, first, last, out);
}

}  // namespace velk::similarity
