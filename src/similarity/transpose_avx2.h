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

// Four columns of 8 rows as 4 x 4 blocks: register k (k < 4) takes the four
// 32-bit elements of row k from row_at(k) in its low 128-bit half and those
// of row k + 4 in its high half (a load and an insert from memory), and two
// rounds of interleaves within the halves leave out[c] with element c of
// every row, row k in lane k. The elements are moved as bits: any 32-bit
// data will do.
template <class RowAt>
[[gnu::always_inline]] inline void load_four_columns(RowAt row_at, __m256 out[4]) {
  __m256 v[4];
  for (int k = 0; k < 4; ++k) {
    v[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(row_at(k))),
                                _mm_loadu_ps(row_at(k + 4)), 1);
  }
  const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]);
  const __m256 t1 = _mm256_unpackhi_ps(v[0], v[1]);
  const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]);
  const __m256 t3 = _mm256_unpackhi_ps(v[2], v[3]);
  out[0] = unpacklo_pairs(t0, t2);
  out[1] = unpackhi_pairs(t0, t2);
  out[2] = unpacklo_pairs(t1, t3);
  out[3] = unpackhi_pairs(t1, t3);
}

// Eight columns of 8 rows (8 floats from row_at(k), any alignment),
// transposed as transpose() does, in two blocks of four columns: 16
// shuffles and 8 inserts from memory instead of transpose()'s 24 shuffles,
// which all wait for the one shuffle port on most processors.
template <class RowAt>
[[gnu::always_inline]] inline void load_eight_columns(RowAt row_at, __m256 out[8]) {
  load_four_columns([&](int k) { return row_at(k); }, out);
  load_four_columns([&](int k) { return row_at(k) + 4; }, out + 4);
}

}  // namespace
}  // namespace velk::similarity::avx2
