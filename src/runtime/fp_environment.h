// The floating-point environment every score is computed in, and the guard
// that puts it in place for one call.
//
// Anything that does binary32 arithmetic whose result is part of the contract
// (scores, and the rounding of Python floats to binary32) runs under a
// DefaultMxcsr, so no result depends on what the caller (or a library built
// with fast-math, which sets flush-to-zero) left in MXCSR.
#pragma once

#include <xmmintrin.h>

namespace velk {

// Round to nearest, all exceptions masked, no flush-to-zero, no
// denormals-are-zero.
inline constexpr unsigned kDefaultMxcsr = 0x1F80;
// The six sticky exception flags; everything above them is control.
inline constexpr unsigned kMxcsrFlags = 0x3F;

// Puts the default floating-point environment in place for one call and
// gives the caller's control bits back; the exception flags raised meanwhile
// stay raised. Reading MXCSR is cheap; writing it is skipped when the control
// bits are already the default, as they almost always are.
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

}  // namespace velk
