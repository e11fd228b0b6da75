#include "src/similarity/row_scorer_avx2.h"

#include <immintrin.h>

#include <cstdint>

#include "src/similarity/row_scorer_lanes.h"
#include "src/similarity/transpose_avx2.h"

namespace velk::similarity {
namespace {

// Eight rows per 256-bit register.
struct Avx2 {
  using Vec = __m256;
  static constexpr bool kInlineColumnLoops = false;
  // Two groups of eight rows in flight (not measured against one on the
  // processors where one was better for 512-bit lanes).
  static constexpr int kBlockGroups = 2;
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

  // Loads columns [0, 8) of rows 0 to 7 and transposes them: out[j] holds
  // column j, row k in element k.
  template <class Load>
  [[gnu::always_inline]] static void load_transposed(const float* rows, uint64_t stride, Load load,
                                                     Vec out[8]) {
    Vec r[8];
    for (uint64_t k = 0; k < 8; ++k) r[k] = load(rows + k * stride);
    similarity::avx2::transpose(r, out);
  }

  // A step is up to 16 columns, one line of each row when aligned, taken as
  // two halves of 8 (all 16 transposed columns would not fit in the 16
  // registers).
  template <bool kWithDot>
  [[gnu::always_inline]] static void add_step(const float* rows, uint64_t stride,
                                              const float* query, uint64_t count, Vec& dot,
                                              Vec& squares) {
    for (uint64_t half = 0; half < 16 && half < count; half += 8) {
      Vec column[8];
      const float* half_query = kWithDot ? query + half : nullptr;
      if (count - half >= 8) {
        load_transposed(
            rows + half, stride, [](const float* p) { return _mm256_loadu_ps(p); }, column);
        lanes::add_columns<Avx2, kWithDot>(column, half_query, 8, dot, squares);
      } else {
        // The masked load neither reads nor faults on the columns it leaves out.
        __m256i columns = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count - half)),
                                             _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        auto load = [columns](const float* p) { return _mm256_maskload_ps(p, columns); };
        load_transposed(rows + half, stride, load, column);
        lanes::add_columns<Avx2, kWithDot>(column, half_query, count - half, dot, squares);
      }
    }
  }

  static Vec finish(Vec dot, Vec squares, float query_norm) {
    Vec positive = _mm256_cmp_ps(squares, _mm256_setzero_ps(), _CMP_GT_OQ);
    // Lanes that score +0.0 divide by the query norm instead, so a zero row
    // raises no divide-by-zero flag; the mask then clears them to +0.0. In
    // the others the root is a number, so at most one factor of the product
    // is NaN and its operand order cannot matter.
    Vec safe_squares = _mm256_blendv_ps(_mm256_set1_ps(1.0f), squares, positive);
    Vec denominator = _mm256_mul_ps(_mm256_sqrt_ps(safe_squares), _mm256_set1_ps(query_norm));
    return _mm256_and_ps(_mm256_div_ps(dot, denominator), positive);
  }

  static void store_scores(Vec scores, float* out) { _mm256_storeu_ps(out, scores); }

  // Four pairs from each half of the lanes: indices and widened score bits
  // in one register each, paired within 128-bit lanes, and each pair
  // stored on its own: the output is only 16-byte aligned, and wider stores
  // would straddle lines, which costs more than it saves while the rows
  // stream in from memory.
  static void store_pairs(Vec scores, uint64_t first_index, ScoredPair* out) {
    const __m256i steps = _mm256_setr_epi64x(0, 1, 2, 3);
    __m256i bits = _mm256_castps_si256(scores);
    for (int half = 0; half < 2; ++half) {
      auto first = static_cast<long long>(first_index + 4 * half);
      __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(first), steps);
      __m256i score = _mm256_cvtepu32_epi64(half == 0 ? _mm256_castsi256_si128(bits)
                                                      : _mm256_extracti128_si256(bits, 1));
      __m256i even = _mm256_unpacklo_epi64(index, score);  // pairs 0 and 2
      __m256i odd = _mm256_unpackhi_epi64(index, score);   // pairs 1 and 3
      auto* pairs = reinterpret_cast<__m128i*>(out + 4 * half);
      _mm_storeu_si128(pairs + 0, _mm256_castsi256_si128(even));
      _mm_storeu_si128(pairs + 1, _mm256_castsi256_si128(odd));
      _mm_storeu_si128(pairs + 2, _mm256_extracti128_si256(even, 1));
      _mm_storeu_si128(pairs + 3, _mm256_extracti128_si256(odd, 1));
    }
  }
};

}  // namespace

void score_rows_avx2(VectorView query, float query_norm, const FlatMatrixView& matrix,
                     uint64_t first, uint64_t last, ScoredPair* out) {
  lanes::score_rows_in_lanes<Avx2>(query, query_norm, matrix, first, last, out);
}

}  // namespace velk::similarity
