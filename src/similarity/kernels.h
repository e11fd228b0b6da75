// Binary32 scoring kernels.
//
// Every sum is one left-to-right chain that starts at -0.0: each step rounds
// the product to binary32, then adds it to the accumulator with a second
// rounding. No fused multiply-add, no lanes, no reassociation: the same inputs
// give bit-identical scores on every call and every thread. This file must be
// built with -ffp-contract=off.
#pragma once

#include "src/similarity/views.h"

namespace velk::similarity {

// x86 returns the first operand's payload when both operands of an add or a
// multiply are NaN, but the compiler treats both operations as commutative
// and does swap them (in an unrolled chain, for one). The asm pins the
// written order: `acc` (or `a`) is the first operand.
inline float add_in_order(float acc, float x) {
  asm("addss %1, %0" : "+x"(acc) : "xm"(x));
  return acc;
}

inline float mul_in_order(float a, float b) {
  asm("mulss %1, %0" : "+x"(a) : "xm"(b));
  return a;
}

// Sum of a[j]*b[j] over j < min(a.size, b.size), the element of `a` first.
float dot(VectorView a, VectorView b);

// Sum of v[j]*v[j] over all of v.
float squared_norm(VectorView v);

// d / (sqrt(|a|^2) * sqrt(|b|^2)); +0.0 when either squared norm equals zero.
// A NaN squared norm gives NaN. Not clamped to [-1, 1]. Computed in the
// default floating-point environment whatever the caller's.
float pair_cosine(VectorView a, VectorView b);

// Score of row i of `matrix` against `query`, whose norm (over the whole
// query) the caller computed once: dot over min(query.size, dim) positions,
// row norm over all dim values; +0.0 unless the row's squared norm is > 0.
float row_cosine(VectorView query, float query_norm, const FlatMatrixView& matrix, uint64_t i);

}  // namespace velk::similarity
