// Binary32 scoring kernels.
//
// Every sum is one left-to-right chain that starts at -0.0: each step rounds
// the product to binary32, then adds it to the accumulator with a second
// rounding. No fused multiply-add, no lanes, no reassociation: the same inputs
// give bit-identical scores on every call and every thread. This file must be
// built with -ffp-contract=off.
#pragma once

#include <xmmintrin.h>

#include "src/similarity/views.h"

namespace velk::similarity {

// Round to nearest, all exceptions masked, no flush-to-zero, no
// denormals-are-zero: the environment every score is defined in.
inline constexpr unsigned kDefaultMxcsr = 0x1F80;
// The six sticky exception flags; everything above them is control.
inline constexpr unsigned kMxcsrFlags = 0x3F;

// Puts the default floating-point environment in place for one call and
// gives the caller's control bits back. Every entry of the engine that does
// arithmetic holds one, so no result depends on what the caller (or a
// library built with fast-math, which sets flush-to-zero) left in MXCSR.
// Reading MXCSR is cheap; writing it is skipped when the control bits are
// already the default, as they almost always are.
//
// The compiler does not know that arithmetic depends on MXCSR. Loads cannot
// move above the switch (it may write memory) and stores cannot move below
// the restore, but a value kept in a register could be computed after the
// restore: pass such a value through finish_in_environment() while the guard
// is alive.
class [[nodiscard]] DefaultMxcsr {
 public:
  DefaultMxcsr() : saved_(_mm_getcsr()) {
    if ((saved_ & ~kMxcsrFlags) != kDefaultMxcsr) {
      _mm_setcsr(kDefaultMxcsr | (saved_ & kMxcsrFlags));
    }
  }
  ~DefaultMxcsr() {
    if ((saved_ & ~kMxcsrFlags) != kDefaultMxcsr) {
      _mm_setcsr((saved_ & ~kMxcsrFlags) | (_mm_getcsr() & kMxcsrFlags));
    }
  }
  DefaultMxcsr(const DefaultMxcsr&) = delete;
  DefaultMxcsr& operator=(const DefaultMxcsr&) = delete;

 private:
  unsigned saved_;
};

// Forces `value` to be computed at this point: the empty volatile asm takes
// it and may change it, and volatile asm stays in order with the MXCSR
// switch.
inline void finish_in_environment(float& value) { asm volatile("" : "+x"(value)); }
inline void finish_in_environment(bool& value) { asm volatile("" : "+r"(value)); }

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
