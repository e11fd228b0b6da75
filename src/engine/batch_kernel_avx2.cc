#include <immintrin.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "src/engine/batch_kernel.h"
#include "src/engine/batch_lanes.h"
#include "src/similarity/transpose_avx2.h"

namespace velk::engine {
namespace {

// Eight rows per 256-bit register; tiles of 2 groups x 6 queries (12
// accumulators, two row vectors and a broadcast element of the 16 registers),
// or of 4 groups for one query.
struct Avx2 {
  using Vec = __m256;
  static constexpr uint64_t kLanes = 8;
  static constexpr int kGroups = 2;
  static constexpr int kQueries = 6;
  static constexpr int kSingleGroups = 4;
  static constexpr bool kPipelinedHalves = false;
  static constexpr bool kLineLoads = false;

  static Vec initial() { return _mm256_set1_ps(-0.0f); }
  static Vec load(const float* p) { return _mm256_load_ps(p); }
  static void store(float* p, Vec v) { _mm256_store_ps(p, v); }

  // Written as asm because the compiler treats add and multiply as
  // commutative and may swap the operands, and with two NaNs x86 keeps the
  // payload of the first one (AT&T order: the middle operand is the first).
  static Vec add_in_order(Vec acc, Vec x) {
    asm("vaddps %1, %0, %0" : "+x"(acc) : "x"(x));
    return acc;
  }
  static Vec mul_in_order(Vec a, Vec b) {
    Vec product;
    asm("vmulps %2, %1, %0" : "=x"(product) : "x"(a), "x"(b));
    return product;
  }
  static Vec mul_by_element(Vec x, const float* element) {
    return mul_in_order(_mm256_set1_ps(*element), x);
  }

  // Eight elements from p, widened; only the first `count` are read, the
  // others are zero.
  template <class Elements>
  [[gnu::always_inline]] static Vec load_widened(const typename Elements::Storage* p,
                                                 uint64_t count) {
    if constexpr (sizeof(typename Elements::Storage) == 4) {
      if (count >= 8) return _mm256_loadu_ps(p);
      // The masked load neither reads nor faults on the columns it leaves out.
      const __m256i columns = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                                                 _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
      return _mm256_maskload_ps(p, columns);
    } else {
      __m128i halves;
      if (count >= 8) {
        halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      } else {
        alignas(16) uint16_t padded[8] = {};
        std::memcpy(padded, p, count * sizeof(uint16_t));
        halves = _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
      }
      if constexpr (std::is_same_v<Elements, Float16Elements>) {
        return _mm256_cvtph_ps(halves);
      } else {
        return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(halves), 16));
      }
    }
  }

  // Loads `count` columns from `column` on of rows 0 to 7 and transposes
  // them: out[c] holds column c, row k in element k.
  template <class Elements>
  [[gnu::always_inline]] static void load_transposed(const typename Elements::Storage* const* rows,
                                                     uint64_t column, uint64_t count, Vec out[8]) {
    if (count == 8) {
      if constexpr (std::is_same_v<Elements, Float32Elements>) {
        similarity::avx2::load_eight_columns([&](int k) { return rows[k] + column; }, out);
        return;
      } else if constexpr (std::is_same_v<Elements, BFloat16Elements>) {
        // Each 32-bit word holds two neighbouring columns, the lower one in
        // its low half: the words are transposed, then the lower column is
        // shifted into the upper half and the upper one has its low half
        // cleared (see the AVX-512 kernel).
        Vec words[4];
        similarity::avx2::load_four_columns(
            [&](int k) { return reinterpret_cast<const float*>(rows[k] + column); }, words);
        const __m256i upper = _mm256_set1_epi32(static_cast<int>(0xFFFF0000u));
        for (int p = 0; p < 4; ++p) {
          const __m256i w = _mm256_castps_si256(words[p]);
          out[2 * p] = _mm256_castsi256_ps(_mm256_slli_epi32(w, 16));
          out[2 * p + 1] = _mm256_castsi256_ps(_mm256_and_si256(w, upper));
        }
        return;
      }
    }
    Vec r[8];
    for (uint64_t k = 0; k < 8; ++k) r[k] = load_widened<Elements>(rows[k] + column, count);
    similarity::avx2::transpose(r, out);
  }

  // Lanes that are not positive take the root of 1 and are then cleared, so
  // a zero row raises no invalid-operation flag.
  static Vec roots(Vec squares) {
    const Vec positive = _mm256_cmp_ps(squares, _mm256_setzero_ps(), _CMP_GT_OQ);
    const Vec safe = _mm256_blendv_ps(_mm256_set1_ps(1.0f), squares, positive);
    return _mm256_and_ps(_mm256_sqrt_ps(safe), positive);
  }

  // Lanes that score +0.0 divide by 1 instead, so a zero row raises no
  // divide-by-zero flag; the mask then clears them. In the others the root
  // is a number, so at most one factor of the product is NaN and its operand
  // order cannot matter.
  static Vec finish(Vec dot, Vec root, float query_norm) {
    const Vec positive = _mm256_cmp_ps(root, _mm256_setzero_ps(), _CMP_GT_OQ);
    const Vec product = _mm256_mul_ps(root, _mm256_set1_ps(query_norm));
    const Vec denominator = _mm256_blendv_ps(_mm256_set1_ps(1.0f), product, positive);
    return _mm256_and_ps(_mm256_div_ps(dot, denominator), positive);
  }

  // ranking_key() lane by lane, compared as signed integers.
  static __m256i ranking_keys(Vec scores) {
    const __m256i bits = _mm256_castps_si256(scores);
    const __m256i flip = _mm256_srli_epi32(_mm256_srai_epi32(bits, 31), 1);
    return _mm256_xor_si256(bits, flip);
  }
  static uint32_t gate(Vec scores, int32_t floor_key, int32_t ceiling_key) {
    const __m256i keys = ranking_keys(scores);
    // floor <= keys <= ceiling, as neither floor > keys nor keys > ceiling.
    const __m256i outside =
        _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(floor_key), keys),
                        _mm256_cmpgt_epi32(keys, _mm256_set1_epi32(ceiling_key)));
    return ~static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(outside))) & 0xFF;
  }
  // The lanes whose key is at least floor_keys[k] (lane k's own floor).
  static uint32_t gate_each(Vec scores, const int32_t* floor_keys) {
    const __m256i keys = ranking_keys(scores);
    const __m256i floors = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(floor_keys));
    const __m256i below = _mm256_cmpgt_epi32(floors, keys);
    return ~static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(below))) & 0xFF;
  }
};

}  // namespace

void score_block_avx2(const BlockJob& job, TopKSet& sink) {
  lanes::score_block_for_type<Avx2>(job, sink);
}

void score_block_avx2(const BlockJob& job, RangeSet& sink) {
  lanes::score_block_for_type<Avx2>(job, sink);
}

void score_rows_avx2(const RowsJob& job, TopKSet& sink) {
  lanes::score_rows_for_type<Avx2>(job, sink);
}

void score_rows_avx2(const RowsJob& job, RangeSet& sink) {
  lanes::score_rows_for_type<Avx2>(job, sink);
}

}  // namespace velk::engine
