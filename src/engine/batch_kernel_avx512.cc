#include "src/engine/batch_kernel.h"

// GCC 12's AVX-512 intrinsics pass an intentionally undefined vector as the
// merge source of unmasked shuffles and extracts, which -Wmaybe-uninitialized
// and -Wuninitialized report.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "src/engine/batch_lanes.h"
#include "src/similarity/transpose_avx512.h"

namespace velk::engine {
namespace {

// Sixteen rows per 512-bit register; tiles of 2 groups x 12 queries (24
// accumulators, two row vectors and a broadcast element of the 32 registers),
// or of 8 groups for one query.
struct Avx512 {
  using Vec = __m512;
  static constexpr uint64_t kLanes = 16;
  static constexpr int kGroups = 2;
  static constexpr int kQueries = 12;
  static constexpr int kSingleGroups = 8;

  static Vec initial() { return _mm512_set1_ps(-0.0f); }
  static Vec broadcast(float x) { return _mm512_set1_ps(x); }
  static Vec load(const float* p) { return _mm512_load_ps(p); }
  static void store(float* p, Vec v) { _mm512_store_ps(p, v); }

  // Written as asm because the compiler treats add and multiply as
  // commutative and may swap the operands, and with two NaNs x86 keeps the
  // payload of the first one (AT&T order: the middle operand is the first).
  // The add writes its accumulator in place, so pinning the order costs no
  // register copy.
  static Vec add_in_order(Vec acc, Vec x) {
    asm("vaddps %1, %0, %0" : "+v"(acc) : "v"(x));
    return acc;
  }
  static Vec mul_in_order(Vec a, Vec b) {
    Vec product;
    asm("vmulps %2, %1, %0" : "=v"(product) : "v"(a), "v"(b));
    return product;
  }

  // Sixteen elements from p, widened; only the first `count` are read, the
  // others are zero.
  template <class Elements>
  [[gnu::always_inline]] static Vec load_widened(const typename Elements::Storage* p,
                                                 __mmask16 columns) {
    if constexpr (sizeof(typename Elements::Storage) == 4) {
      return _mm512_maskz_loadu_ps(columns, p);
    } else {
      const __m256i halves = _mm256_maskz_loadu_epi16(columns, p);
      if constexpr (std::is_same_v<Elements, Float16Elements>) {
        return _mm512_cvtph_ps(halves);
      } else {
        return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(halves), 16));
      }
    }
  }

  // Loads `count` columns from `column` on of rows 0 to 15 and transposes
  // them: out[c] holds column c, row k in element k.
  template <class Elements>
  [[gnu::always_inline]] static void load_transposed(const typename Elements::Storage* const* rows,
                                                     uint64_t column, uint64_t count, Vec out[16]) {
    // The masked load neither reads nor faults on the columns it leaves out.
    const auto columns = static_cast<__mmask16>(count >= 16 ? 0xFFFF : (1u << count) - 1);
    if constexpr (std::is_same_v<Elements, Float32Elements>) {
      if (count == 16) {
        similarity::avx512::load_transposed([&](int k) { return rows[k] + column; }, out);
        return;
      }
    }
    Vec r[16];
    for (uint64_t k = 0; k < 16; ++k) r[k] = load_widened<Elements>(rows[k] + column, columns);
    similarity::avx512::transpose(r, out);
  }

  // Lanes that score +0.0 compute nothing, so a zero row raises no
  // divide-by-zero flag.
  static Vec roots(Vec squares) {
    const __mmask16 positive = _mm512_cmp_ps_mask(squares, _mm512_setzero_ps(), _CMP_GT_OQ);
    return _mm512_maskz_sqrt_ps(positive, squares);
  }

  // In the lanes computed the root is a number, so at most one factor of the
  // product is NaN and its operand order cannot matter.
  static Vec finish(Vec dot, Vec root, float query_norm) {
    const __mmask16 positive = _mm512_cmp_ps_mask(root, _mm512_setzero_ps(), _CMP_GT_OQ);
    const Vec denominator = _mm512_maskz_mul_ps(positive, root, _mm512_set1_ps(query_norm));
    return _mm512_maskz_div_ps(positive, dot, denominator);
  }

  // ranking_key() lane by lane, compared as signed integers.
  static uint32_t gate(Vec scores, int32_t floor_key, int32_t ceiling_key) {
    const __m512i bits = _mm512_castps_si512(scores);
    const __m512i flip = _mm512_srli_epi32(_mm512_srai_epi32(bits, 31), 1);
    const __m512i keys = _mm512_xor_si512(bits, flip);
    const __mmask16 above = _mm512_cmpge_epi32_mask(keys, _mm512_set1_epi32(floor_key));
    return _mm512_mask_cmple_epi32_mask(above, keys, _mm512_set1_epi32(ceiling_key));
  }
};

}  // namespace

void score_block_avx512(const BlockJob& job, TopKSet& sink) {
  lanes::score_block_for_type<Avx512>(job, sink);
}

void score_block_avx512(const BlockJob& job, RangeSet& sink) {
  lanes::score_block_for_type<Avx512>(job, sink);
}

void score_rows_avx512(const RowsJob& job, TopKSet& sink) {
  lanes::score_rows_for_type<Avx512>(job, sink);
}

void score_rows_avx512(const RowsJob& job, RangeSet& sink) {
  lanes::score_rows_for_type<Avx512>(job, sink);
}

}  // namespace velk::engine
