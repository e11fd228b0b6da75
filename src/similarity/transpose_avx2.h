// The 8 x 8 transpose in 256-bit registers that every AVX2 kernel of rows in
// lanes uses: in[k] holds 8 consecutive elements of row k, out[c] then holds
// element c of every row, row k in lane k.
//
// Included only by files compiled for AVX2 (the functions are inline and
// local to each of them, so no vector code lands in a symbol shared with
// code built for other processors).
#pragma once

#include <immintrin.h>

namespace velk::similarity::avx2 {
namespace {

inline __m256 unpacklo_pairs(__m256 a, __m256 b) {
  return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
inline __m256 unpackhi_pairs(__m256 a, __m256 b) {
  return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Pairs of floats, then pairs of pairs (leaving, in 128-bit lane L of
// register 4i + j, column 4L + j of rows 4i to 4i + 3), then the 128-bit
// lanes.
[[gnu::always_inline]] inline void transpose(const __m256 in[8], __m256 out[8]) {
  __m256 t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(in[i], in[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(in[i], in[i + 1]);
  }
  __m256 u[8];
  for (int i = 0; i < 8; i += 4) {
    u[i] = unpacklo_pairs(t[i], t[i + 2]);
    u[i + 1] = unpackhi_pairs(t[i], t[i + 2]);
    u[i + 2] = unpacklo_pairs(t[i + 1], t[i + 3]);
    u[i + 3] = unpackhi_pairs(t[i + 1], t[i + 3]);
  }
  for (int j = 0; j < 4; ++j) {
    out[j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x20);
    out[4 + j] = _mm256_permute2f128_ps(u[j], u[4 + j], 0x31);
  }
}

}  // namespace
}  // namespace velk::similarity::avx2
