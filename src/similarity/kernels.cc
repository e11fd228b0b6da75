#include "src/similarity/kernels.h"

#include <algorithm>
#include <cmath>

#include "src/runtime/fp_environment.h"

namespace velk::similarity {
namespace {

// Products of the common prefix, query (or `a`) element first: x86 keeps the
// first operand's NaN payload, so the operand order is part of the result.
float chain_dot(const float* a, const float* b, uint64_t n) {
  float acc = -0.0f;
  for (uint64_t j = 0; j < n; ++j) acc = add_in_order(acc, mul_in_order(a[j], b[j]));
  return acc;
}

float chain_squares(const float* v, uint64_t n) {
  float acc = -0.0f;
  for (uint64_t j = 0; j < n; ++j) acc = add_in_order(acc, v[j] * v[j]);
  return acc;
}

}  // namespace

float dot(VectorView a, VectorView b) {
  return chain_dot(a.data, b.data, std::min(a.size, b.size));
}

float squared_norm(VectorView v) { return chain_squares(v.data, v.size); }

float pair_cosine(VectorView a, VectorView b) {
  DefaultMxcsr environment;
  float d = dot(a, b);
  float sa = squared_norm(a);
  float sb = squared_norm(b);
  float score = +0.0f;
  if (!(sa == 0.0f || sb == 0.0f)) score = d / mul_in_order(std::sqrt(sa), std::sqrt(sb));
  finish_in_environment(score);
  return score;
}

float row_cosine(VectorView query, float query_norm, const FlatMatrixView& matrix, uint64_t i) {
  const float* row = matrix.row(i);
  float d = chain_dot(query.data, row, std::min(query.size, matrix.dim));
  float sr = chain_squares(row, matrix.dim);
  if (!(sr > 0.0f)) return +0.0f;
  float denominator = mul_in_order(std::sqrt(sr), query_norm);
  return d / denominator;
}

}  // namespace velk::similarity
