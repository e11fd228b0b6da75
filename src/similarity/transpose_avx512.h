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

// Loads 16 columns of 16 rows, row k's from row_at(k) (16 floats, any
// alignment), and transposes them as transpose() does. The loads take the
// place of the last round of shuffles: four columns of rows i, 4 + i, 8 + i
// and 12 + i go into the four 128-bit lanes of one register (an insert from
// memory can run on either vector port, where a shuffle across lanes has only
// one), and 4 x 4 transposes within the lanes finish the work. As measured,
// this made the engine's row kernel about 8% faster, and the row scorer,
// whose loop keeps twice as many values live, slower.
template <class RowAt>
[[gnu::always_inline]] inline void load_transposed(RowAt row_at, __m512 out[16]) {
  for (int q = 0; q < 4; ++q) {
    __m512 r[4];
    for (int i = 0; i < 4; ++i) {
      __m512 v = _mm512_castps128_ps512(_mm_loadu_ps(row_at(i) + 4 * q));
      v = _mm512_insertf32x4(v, _mm_loadu_ps(row_at(4 + i) + 4 * q), 1);
      v = _mm512_insertf32x4(v, _mm_loadu_ps(row_at(8 + i) + 4 * q), 2);
      v = _mm512_insertf32x4(v, _mm_loadu_ps(row_at(12 + i) + 4 * q), 3);
      r[i] = v;
    }
    const __m512 t0 = _mm512_unpacklo_ps(r[0], r[1]);
    const __m512 t1 = _mm512_unpackhi_ps(r[0], r[1]);
    const __m512 t2 = _mm512_unpacklo_ps(r[2], r[3]);
    const __m512 t3 = _mm512_unpackhi_ps(r[2], r[3]);
    out[4 * q] = unpacklo_pairs(t0, t2);
    out[4 * q + 1] = unpackhi_pairs(t0, t2);
    out[4 * q + 2] = unpacklo_pairs(t1, t3);
    out[4 * q + 3] = unpackhi_pairs(t1, t3);
  }
}

}  // namespace
}  // namespace velk::similarity::avx512
