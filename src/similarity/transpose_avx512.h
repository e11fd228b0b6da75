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

}  // namespace
}  // namespace velk::similarity::avx512
