#include "src/similarity/row_scorer_avx512.h"

// GCC 12's AVX-512 intrinsics pass an intentionally undefined vector as the
// merge source of unmasked shuffles and extracts, which -Wmaybe-uninitialized
// and -Wuninitialized report.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstdint>

#include "src/similarity/row_scorer_lanes.h"
#include "src/similarity/transpose_avx512.h"

namespace velk::similarity {
namespace {

// Sixteen rows per 512-bit register.
struct Avx512 {
  using Vec = __m512;
  static constexpr bool kInlineColumnLoops = true;
  // One group at a time: measured on a Sapphire/Emerald Rapids class
  // processor, a second group in flight made both the cache-resident scan
  // (1,000 x 384: 73 against 57 us) and the scan from memory (0.75 against
  // 0.95 of a streaming read) slower; the 16 transposed columns of one group
  // already keep both vector ports busy.
  static constexpr int kBlockGroups = 1;
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

  // Loads the first `count` (< 16) columns of rows 0 to 15 and transposes
  // them: out[j] holds column j, row k in element k. The masked load neither
  // reads nor faults on the columns it leaves out.
  [[gnu::always_inline]] static void load_transposed_part(const float* rows, uint64_t stride,
                                                          uint64_t count, Vec out[16]) {
    const auto columns = static_cast<__mmask16>((1u << count) - 1);
    Vec r[16];
    for (uint64_t k = 0; k < 16; ++k) r[k] = _mm512_maskz_loadu_ps(columns, rows + k * stride);
    similarity::avx512::transpose(r, out);
  }

  template <bool kWithDot>
  [[gnu::always_inline]] static void add_step(const float* rows, uint64_t stride,
                                              const float* query, uint64_t count, Vec& dot,
                                              Vec& squares) {
    Vec column[16];
    if (count == 16) {
      similarity::avx512::load_eight_columns([&](int k) { return rows + k * stride; }, column);
      similarity::avx512::load_eight_columns([&](int k) { return rows + k * stride + 8; },
                                             column + 8);
      lanes::add_columns<Avx512, kWithDot>(column, query, 16, dot, squares);
    } else {
      load_transposed_part(rows, stride, count, column);
      lanes::add_columns<Avx512, kWithDot>(column, query, count, dot, squares);
    }
  }

  static Vec finish(Vec dot, Vec squares, float query_norm) {
    __mmask16 positive = _mm512_cmp_ps_mask(squares, _mm512_setzero_ps(), _CMP_GT_OQ);
    // Lanes that score +0.0 compute nothing, so a zero row raises no
    // divide-by-zero flag. In the others the root is a number, so at most
    // one factor of the product is NaN and its operand order cannot matter.
    Vec root = _mm512_maskz_sqrt_ps(positive, squares);
    Vec denominator = _mm512_maskz_mul_ps(positive, root, _mm512_set1_ps(query_norm));
    return _mm512_maskz_div_ps(positive, dot, denominator);
  }

  static void store_scores(Vec scores, float* out) { _mm512_storeu_ps(out, scores); }

  // Eight pairs from each half of the lanes: indices and widened score bits
  // in one register each, paired within 128-bit lanes, and each pair
  // stored on its own: the output is only 16-byte aligned, and wider stores
  // would straddle lines, which costs more than it saves while the rows
  // stream in from memory.
  static void store_pairs(Vec scores, uint64_t first_index, ScoredPair* out) {
    const __m512i steps = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    __m512i bits = _mm512_castps_si512(scores);
    for (int half = 0; half < 2; ++half) {
      auto first = static_cast<long long>(first_index + 8 * half);
      __m512i index = _mm512_add_epi64(_mm512_set1_epi64(first), steps);
      __m512i score = _mm512_cvtepu32_epi64(half == 0 ? _mm512_castsi512_si256(bits)
                                                      : _mm512_extracti64x4_epi64(bits, 1));
      __m512i even = _mm512_unpacklo_epi64(index, score);  // pairs 0, 2, 4, 6
      __m512i odd = _mm512_unpackhi_epi64(index, score);   // pairs 1, 3, 5, 7
      auto* pairs = reinterpret_cast<__m128i*>(out + 8 * half);
      _mm_storeu_si128(pairs + 0, _mm512_castsi512_si128(even));
      _mm_storeu_si128(pairs + 1, _mm512_castsi512_si128(odd));
      _mm_storeu_si128(pairs + 2, _mm512_extracti32x4_epi32(even, 1));
      _mm_storeu_si128(pairs + 3, _mm512_extracti32x4_epi32(odd, 1));
      _mm_storeu_si128(pairs + 4, _mm512_extracti32x4_epi32(even, 2));
      _mm_storeu_si128(pairs + 5, _mm512_extracti32x4_epi32(odd, 2));
      _mm_storeu_si128(pairs + 6, _mm512_extracti32x4_epi32(even, 3));
      _mm_storeu_si128(pairs + 7, _mm512_extracti32x4_epi32(odd, 3));
    }
  }
};

}  // namespace

void score_rows_avx512(VectorView query, float query_norm, const FlatMatrixView& matrix,
                       uint64_t first, uint64_t last, ScoredPair* out) {
  lanes::score_rows_in_lanes<Avx512>(query, query_norm, matrix, first, last, out);
}

}  // namespace velk::similarity
