#include "src/engine/batch_kernel.h"

// GCC 12's AVX-512 intrinsics pass an intentionally undefined vector as the
// merge source of unmasked shuffles and extracts, which -Wmaybe-uninitialized
// and -Wuninitialized report.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstdint>
#include <type_traits>
#include <utility>

#include "src/engine/batch_lanes.h"
#include "src/similarity/transpose_avx512.h"

namespace velk::engine {
namespace {

// Sixteen rows per 512-bit register; tiles of 2 groups x 12 queries (24
// accumulators and two row vectors of the 32 registers), or of 8 groups for
// one query.
struct Avx512 {
  using Vec = __m512;
  static constexpr uint64_t kLanes = 16;
  static constexpr int kGroups = 2;
  static constexpr int kQueries = 12;
  static constexpr int kSingleGroups = 8;

  static Vec initial() { return _mm512_set1_ps(-0.0f); }
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
  // x * *element, the element broadcast from memory by the multiply itself
  // (so x is the first operand; see mul_by_element in batch_lanes.h). A
  // separate broadcast into a 512-bit register takes a slot of the vector
  // units on some processors: on a 2-core AMD EPYC the one-query scan ran
  // 7-9% faster from cache without it, and a batch of 256 queries 33%.
  static Vec mul_by_element(Vec x, const float* element) {
    Vec product;
    asm("vmulps %2%{1to16%}, %1, %0" : "=v"(product) : "v"(x), "m"(*element));
    return product;
  }

  // squares + x * x for x widened from float16, in one fused multiply-add
  // with the bits of the separate multiply and add. A float16 value is m *
  // 2^e with |m| < 2^11 and e >= -24, so its square, m^2 * 2^2e with m^2 <
  // 2^22, lies between 2^-48 and 2^32 and fits a binary32 exactly: the
  // multiply never rounds, and the add then rounds the same exact sum that
  // the fused operation does. An infinite x gives +inf both ways; a NaN
  // gives NaN both ways, and its payload cannot show, since a row whose
  // squared norm is NaN scores +0.0. (Not so for bfloat16, whose squares can
  // fall below binary32's normal range and round.) A 512-bit multiply takes
  // a slot of the vector units that this leaves to the transposes.
  static Vec add_square_of_half(Vec squares, Vec x) {
    asm("vfmadd231ps %1, %1, %0" : "+v"(squares) : "v"(x));
    return squares;
  }

  // Widens 16 elements to binary32.
  template <class Elements>
  [[gnu::always_inline]] static Vec widen(__m256i halves) {
    if constexpr (std::is_same_v<Elements, Float16Elements>) {
      return _mm512_cvtph_ps(halves);
    } else {
      return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(halves), 16));
    }
  }

  // Sixteen elements from p, widened; only the first `count` are read, the
  // others are zero.
  template <class Elements>
  [[gnu::always_inline]] static Vec load_widened(const typename Elements::Storage* p,
                                                 __mmask16 columns) {
    if constexpr (sizeof(typename Elements::Storage) == 4) {
      return _mm512_maskz_loadu_ps(columns, p);
    } else {
      return widen<Elements>(_mm256_maskz_loadu_epi16(columns, p));
    }
  }

  // Sixteen columns of 16 rows of float16, transposed before they
  // are widened, when a register holds twice as many of them: rows k and
  // k + 8 share one register, interleaves of 16 and then 32 bits within the
  // 128-bit lanes pair up the rows, and a two-source permute of 64-bit pieces
  // puts column c of all 16 rows (in row order) in one half and column c + 8
  // in the other. Half as many shuffles as widening first (about 15% less
  // time per column). The columns in the upper halves are widened from a
  // copy of the register on the stack rather than extracted first: the
  // conversion reads its operand from memory at no extra cost, the store
  // goes to a port the scan leaves idle, and an extract takes a vector unit
  // the multiplies and adds need. On a 2-core AMD EPYC the one-query scan
  // took 10% less time from the first-level cache, 5% from the second, and
  // 4-12% on 2 threads from memory.
  [[gnu::always_inline]] static void load_transposed_halves(const uint16_t* const* rows,
                                                            uint64_t column, Vec out[16]) {
    alignas(64) __m512i copies[8];
    HalvesInFlight s;
    s.copies = copies;
    all_halves_parts(std::make_integer_sequence<int, 16>(), s, rows, column, out);
  }

  // The float16 one-query scan runs its steps as a software pipeline
  // (chain_halves()).
  static constexpr bool kPipelinedHalves = true;

  // Sixteen float32 columns from `column` on of rows 0 to 15, each row's
  // from one load of a whole (64-byte aligned) line, transposed as
  // load_transposed() does. load_transposed() reads each row's line in two
  // halves, one per eight columns, with the other rows' in between: where the
  // 16 rows lie a multiple of 4 KiB apart, their lines fall in one set of the
  // first-level cache, which keeps 8, so the second half is read again from
  // the second-level cache.
  static constexpr bool kLineLoads = true;
  [[gnu::always_inline]] static void load_transposed_lines(const float* const* rows,
                                                           uint64_t column, Vec out[16]) {
    Vec lines[16];
    for (int k = 0; k < 16; ++k) lines[k] = _mm512_load_ps(rows[k] + column);
    similarity::avx512::transpose_sixteen_columns(lines, out);
  }
  // The (64-byte aligned) line at `column` of rows 0 to 15 to
  // lines[k * stride ..] (64-byte aligned).
  template <class Storage>
  [[gnu::always_inline]] static void copy_lines(const Storage* const* rows, uint64_t column,
                                                Storage* lines, uint64_t stride) {
    for (uint64_t k = 0; k < 16; ++k) {
      _mm512_store_si512(lines + k * stride, _mm512_load_si512(rows[k] + column));
    }
  }

  // load_transposed_halves()'s work in 16 parts with its state in between:
  // it runs them one after the other, chain_halves() puts part c of the
  // next step after column c of the current one.
  struct HalvesInFlight {
    __m512i rows[8];
    __m512i pairs[8];
    __m512i quads[8];
    // 64-byte aligned room for 8 registers: the upper halves are widened
    // from here (see load_transposed_halves()).
    __m512i* copies;
  };

  // Rows k and k + 8 in one register (parts 0 to 3 load two such registers).
  [[gnu::always_inline]] static void load_row_pair(HalvesInFlight& s, const uint16_t* const* rows,
                                                   uint64_t column, int k) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + column));
    const __m256i high =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 8] + column));
    s.rows[k] = _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
  }

  // Part c of the transposition and widening of the 16 columns at `column`
  // (as in load_transposed_halves()): the loads in parts 0-3, the 16-bit
  // interleaves in 4-5, the 32-bit ones in 6-7, and one permute with its two
  // widenings in each of 8-15, which spreads the conversions (the costliest
  // part) over half the step.
  template <int c>
  [[gnu::always_inline]] static void halves_part(HalvesInFlight& s, const uint16_t* const* rows,
                                                 uint64_t column, Vec out[16]) {
    if constexpr (c < 4) {
      load_row_pair(s, rows, column, 2 * c);
      load_row_pair(s, rows, column, 2 * c + 1);
    } else if constexpr (c < 6) {
      // In lane 0 of pairs[m], 32-bit piece c: column c of rows 2m and
      // 2m + 1 (lane 1: columns 8 on; lanes 2 and 3: the same for rows 8
      // on); in pairs[4 + m], columns 4 to 7 (and 12 to 15).
      for (int m = 2 * (c - 4); m < 2 * (c - 4) + 2; ++m) {
        s.pairs[m] = _mm512_unpacklo_epi16(s.rows[2 * m], s.rows[2 * m + 1]);
        s.pairs[4 + m] = _mm512_unpackhi_epi16(s.rows[2 * m], s.rows[2 * m + 1]);
      }
    } else if constexpr (c < 8) {
      // In quads[4h + u] and quads[4h + 2 + u], 64-bit piece 0 of each lane:
      // column 4h + 2u of rows 0-3 and of rows 4-7 (piece 1: the next one).
      const __m512i* p = s.pairs + 4 * (c - 6);
      __m512i* q = s.quads + 4 * (c - 6);
      q[0] = _mm512_unpacklo_epi32(p[0], p[1]);
      q[1] = _mm512_unpackhi_epi32(p[0], p[1]);
      q[2] = _mm512_unpacklo_epi32(p[2], p[3]);
      q[3] = _mm512_unpackhi_epi32(p[2], p[3]);
    } else {
      constexpr int kColumn = c - 8;
      constexpr int h = kColumn / 4;
      constexpr int u = (kColumn / 2) % 2;
      const __m512i order = kColumn % 2 == 0 ? _mm512_setr_epi64(0, 8, 4, 12, 2, 10, 6, 14)
                                             : _mm512_setr_epi64(1, 9, 5, 13, 3, 11, 7, 15);
      const __m512i both =
          _mm512_permutex2var_epi64(s.quads[4 * h + u], order, s.quads[4 * h + 2 + u]);
      out[kColumn] = _mm512_cvtph_ps(_mm512_castsi512_si256(both));
      // As asm, so that the compiler does not turn the store and the load
      // back into an extract.
      _mm512_store_si512(s.copies + kColumn, both);
      const __m256i* upper = reinterpret_cast<const __m256i*>(s.copies + kColumn) + 1;
      asm("vcvtph2ps %1, %0" : "=v"(out[kColumn + 8]) : "m"(*upper));
    }
  }

  // Column c of the current step through the chains (as the scan's loop
  // takes it), then part c of the next step's columns (at `next`, into
  // `ahead`) when kNext.
  template <bool kNext, int c>
  [[gnu::always_inline]] static void chain_column(const Vec current[16], const float* query,
                                                  Vec& dot, Vec& squares, HalvesInFlight& s,
                                                  const uint16_t* const* rows, uint64_t next,
                                                  Vec ahead[16]) {
    dot = add_in_order(dot, mul_by_element(current[c], query + c));
    squares = add_square_of_half(squares, current[c]);
    if constexpr (kNext) halves_part<c>(s, rows, next, ahead);
  }
  template <bool kNext, int... kColumns>
  [[gnu::always_inline]] static void chain_step(std::integer_sequence<int, kColumns...>,
                                                const Vec current[16], const float* query,
                                                Vec& dot, Vec& squares, HalvesInFlight& s,
                                                const uint16_t* const* rows, uint64_t next,
                                                Vec ahead[16]) {
    (chain_column<kNext, kColumns>(current, query, dot, squares, s, rows, next, ahead), ...);
  }
  template <int... kParts>
  [[gnu::always_inline]] static void all_halves_parts(std::integer_sequence<int, kParts...>,
                                                      HalvesInFlight& s,
                                                      const uint16_t* const* rows,
                                                      uint64_t column, Vec out[16]) {
    (halves_part<kParts>(s, rows, column, out), ...);
  }

  // The first `steps` steps of 16 columns of 16 rows of float16 (steps > 0)
  // through the dot and squared-norm chains, with the same operations in the
  // same order as the scan's loop, but as a software pipeline: the next
  // step's columns are loaded, transposed and widened in between the current
  // step's multiplies and adds. Each step's adds wait on each other (two
  // chains of 16); issued in one block they fill the scheduler ahead of the
  // independent work of the next step, which then waits for room. On a
  // 2-core AMD EPYC, from the first-level cache: 77.5 cycles a step against
  // 90. The squares go through add_square_of_half(): one thread 7-10%
  // faster from the second- and third-level caches. Calls
  // before_step(column) before the chains reach each step's columns.
  template <class BeforeStep>
  [[gnu::always_inline]] static void chain_halves(const uint16_t* const* rows, uint64_t steps,
                                                  const float* query, Vec& dot, Vec& squares,
                                                  BeforeStep&& before_step) {
    constexpr auto kColumns = std::make_integer_sequence<int, 16>();
    alignas(64) __m512i copies[8];
    HalvesInFlight s;
    s.copies = copies;
    Vec a[16];
    Vec b[16];
    before_step(uint64_t{0});
    all_halves_parts(kColumns, s, rows, 0, a);
    // a holds step `step`; two steps a round, so that the columns never move
    // from one array to the other.
    uint64_t step = 0;
    for (; step + 2 < steps; step += 2) {
      before_step((step + 1) * 16);
      chain_step<true>(kColumns, a, query + step * 16, dot, squares, s, rows, (step + 1) * 16, b);
      before_step((step + 2) * 16);
      chain_step<true>(kColumns, b, query + (step + 1) * 16, dot, squares, s, rows,
                       (step + 2) * 16, a);
    }
    if (steps - step == 2) {
      before_step((step + 1) * 16);
      chain_step<true>(kColumns, a, query + step * 16, dot, squares, s, rows, (step + 1) * 16, b);
      chain_step<false>(kColumns, b, query + (step + 1) * 16, dot, squares, s, rows, 0, nullptr);
    } else {
      chain_step<false>(kColumns, a, query + step * 16, dot, squares, s, rows, 0, nullptr);
    }
  }

  // Sixteen columns of 16 rows of bfloat16: each 32-bit word of a row holds
  // two neighbouring columns (the lower one in its low half), so the words
  // are transposed as eight float32 columns are, and each word then gives
  // both of its columns widened: the lower by a shift into the upper half,
  // the upper by clearing the lower half. Per 16 columns that is 24 shuffles
  // and 8 inserts instead of load_transposed_halves()'s 32 and 8 plus a
  // shuffle to widen each column, and the shifts and masks run on either
  // vector port: about 20% faster from cache, 10% from memory.
  [[gnu::always_inline]] static void load_transposed_bfloat16_pairs(const uint16_t* const* rows,
                                                                    uint64_t column,
                                                                    Vec out[16]) {
    Vec words[8];
    similarity::avx512::load_eight_columns(
        [&](int k) { return reinterpret_cast<const float*>(rows[k] + column); }, words);
    const __m512i upper = _mm512_set1_epi32(static_cast<int>(0xFFFF0000u));
    for (int p = 0; p < 8; ++p) {
      const __m512i w = _mm512_castps_si512(words[p]);
      out[2 * p] = _mm512_castsi512_ps(_mm512_slli_epi32(w, 16));
      out[2 * p + 1] = _mm512_castsi512_ps(_mm512_and_si512(w, upper));
    }
  }

  // Loads `count` columns from `column` on of rows 0 to 15 and transposes
  // them: out[c] holds column c, row k in element k.
  template <class Elements>
  [[gnu::always_inline]] static void load_transposed(const typename Elements::Storage* const* rows,
                                                     uint64_t column, uint64_t count, Vec out[16]) {
    if (count == 16) {
      if constexpr (std::is_same_v<Elements, Float32Elements>) {
        similarity::avx512::load_eight_columns([&](int k) { return rows[k] + column; }, out);
        similarity::avx512::load_eight_columns([&](int k) { return rows[k] + column + 8; },
                                               out + 8);
      } else if constexpr (std::is_same_v<Elements, BFloat16Elements>) {
        load_transposed_bfloat16_pairs(rows, column, out);
      } else {
        load_transposed_halves(rows, column, out);
      }
      return;
    }
    // The masked load neither reads nor faults on the columns it leaves out.
    const auto columns = static_cast<__mmask16>((1u << count) - 1);
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
  static __m512i ranking_keys(Vec scores) {
    const __m512i bits = _mm512_castps_si512(scores);
    const __m512i flip = _mm512_srli_epi32(_mm512_srai_epi32(bits, 31), 1);
    return _mm512_xor_si512(bits, flip);
  }
  static uint32_t gate(Vec scores, int32_t floor_key, int32_t ceiling_key) {
    const __m512i keys = ranking_keys(scores);
    const __mmask16 above = _mm512_cmpge_epi32_mask(keys, _mm512_set1_epi32(floor_key));
    return _mm512_mask_cmple_epi32_mask(above, keys, _mm512_set1_epi32(ceiling_key));
  }
  // The lanes whose key is at least floor_keys[k] (lane k's own floor).
  static uint32_t gate_each(Vec scores, const int32_t* floor_keys) {
    return _mm512_cmpge_epi32_mask(ranking_keys(scores), _mm512_loadu_si512(floor_keys));
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
