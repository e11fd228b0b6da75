// The 16 x 16 transpose in 512-bit registers that every AVX-512 kernel of
// rows in lanes uses: in[k] holds 16 consecutive elements of row k, out[c]
// then holds element c of every row, row k in lane k.
//
// Included only by files compiled for AVX-512 (the functions are inline and
// local to each of them, so no vector code lands in a symbol shared with
// code built for other processors).
#pragma once

// GCC 12's AVX-512 intrinsics pass an intentionally undefined vector as the
// merge source of unmasked shuffles and extracts, which -Wmaybe-uninitialized
// and -Wuninitialized report.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

namespace velk::similarity::avx512 {
namespace {

inline __m512 unpacklo_pairs(__m512 a, __m512 b) {
  return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}
inline __m512 unpackhi_pairs(__m512 a, __m512 b) {
  return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}

// Three rounds of shuffles: pairs of floats, pairs of pairs (leaving, in
// every 128-bit lane L of register 4i + j, column 4L + j of rows 4i to
// 4i + 3), then the 128-bit lanes themselves.
[[gnu::always_inline]] inline void transpose(const __m512 in[16], __m512 out[16]) {
  __m512 t[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(in[i], in[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(in[i], in[i + 1]);
  }
  __m512 u[16];
  for (int i = 0; i < 16; i += 4) {
    u[i] = unpacklo_pairs(t[i], t[i + 2]);
    u[i + 1] = unpackhi_pairs(t[i], t[i + 2]);
    u[i + 2] = unpacklo_pairs(t[i + 1], t[i + 3]);
    u[i + 3] = unpackhi_pairs(t[i + 1], t[i + 3]);
  }
  for (int j = 0; j < 4; ++j) {
    // Lanes 0, 1 (then 2, 3) of rows 0-3 and of rows 4-7, and of 8-11, 12-15.
    const __m512 low_a = _mm512_shuffle_f32x4(u[j], u[4 + j], 0x44);
    const __m512 high_a = _mm512_shuffle_f32x4(u[j], u[4 + j], 0xEE);
    const __m512 low_b = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0x44);
    const __m512 high_b = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0xEE);
    out[j] = _mm512_shuffle_f32x4(low_a, low_b, 0x88);
    out[4 + j] = _mm512_shuffle_f32x4(low_a, low_b, 0xDD);
    out[8 + j] = _mm512_shuffle_f32x4(high_a, high_b, 0x88);
    out[12 + j] = _mm512_shuffle_f32x4(high_a, high_b, 0xDD);
  }
}

// The shuffles of load_eight_columns() once its registers are loaded: v[k]
// holds 8 columns of rows k and k + 4 (k = 0-3) or k + 4 and k + 8 (k = 4-7),
// one row in each 256-bit half.
[[gnu::always_inline]] inline void transpose_paired_rows(const __m512 v[8], __m512 out[8]) {
  // Lane 0 (1) of u[4h + j]: column j (4 + j) of the four rows whose first
  // halves went into v[4h .. 4h + 3]; lanes 2 and 3: the same of the rows of
  // the second halves.
  __m512 u[8];
  for (int h = 0; h < 2; ++h) {
    const __m512* w = v + 4 * h;
    const __m512 t0 = _mm512_unpacklo_ps(w[0], w[1]);
    const __m512 t1 = _mm512_unpackhi_ps(w[0], w[1]);
    const __m512 t2 = _mm512_unpacklo_ps(w[2], w[3]);
    const __m512 t3 = _mm512_unpackhi_ps(w[2], w[3]);
    u[4 * h] = unpacklo_pairs(t0, t2);
    u[4 * h + 1] = unpackhi_pairs(t0, t2);
    u[4 * h + 2] = unpacklo_pairs(t1, t3);
    u[4 * h + 3] = unpackhi_pairs(t1, t3);
  }
  for (int j = 0; j < 4; ++j) {
    out[j] = _mm512_shuffle_f32x4(u[j], u[4 + j], 0x88);
    out[4 + j] = _mm512_shuffle_f32x4(u[j], u[4 + j], 0xDD);
  }
}

// Eight columns of 16 rows, row k's from row_at(k) (8 floats, any
// alignment), transposed as transpose() does: out[c] holds column c, row k in
// element k. Register k takes the 8 columns of two rows, k and k + 4 for
// k = 0-3 and k + 4 and k + 8 for k = 4-7, one in each 256-bit half; two
// rounds of interleaves within the 128-bit lanes make 4 x 4 blocks, and one
// shuffle of whole lanes per column puts rows 0-3, 4-7, 8-11 and 12-15 side
// by side. Two of these do a 16 x 16 block with half the shuffles across
// lanes of transpose() and fewer live registers: the row kernels measured
// about 8% faster from cache, and faster from memory.
template <class RowAt>
[[gnu::always_inline]] inline void load_eight_columns(RowAt row_at, __m512 out[8]) {
  __m512 v[8];
  for (int k = 0; k < 8; ++k) {
    const int low = k < 4 ? k : k + 4;  // rows 0-3, then 8-11
    v[k] = _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(row_at(low))),
                              _mm256_loadu_ps(row_at(low + 4)), 1);
  }
  transpose_paired_rows(v, out);
}

// load_eight_columns() for both halves of 16 columns of rows that are
// already in registers (rows[k] holds 16 consecutive elements of row k):
// out[c] holds column c, row k in element k. The halves are paired as
// load_eight_columns() loads them, by one shuffle of whole lanes each.
[[gnu::always_inline]] inline void transpose_sixteen_columns(const __m512 rows[16],
                                                             __m512 out[16]) {
  __m512 low[8];
  __m512 high[8];
  for (int k = 0; k < 8; ++k) {
    const int first = k < 4 ? k : k + 4;
    low[k] = _mm512_shuffle_f32x4(rows[first], rows[first + 4], 0x44);
    high[k] = _mm512_shuffle_f32x4(rows[first], rows[first + 4], 0xEE);
  }
  transpose_paired_rows(low, out);
  transpose_paired_rows(high, out + 8);
}

}  // namespace
}  // namespace velk::similarity::avx512
