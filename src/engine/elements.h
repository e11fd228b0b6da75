// Matrix elements widened to binary32, one at a time (the scalar path; the
// vector kernels widen in registers and must agree bit for bit).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace velk::engine {

// The binary32 value of an IEEE binary16, exactly: every binary16 value
// (subnormals included) is a binary32 value; infinities and NaNs keep their
// sign and payload (shifted into the top of the wider significand).
inline float widen_float16(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h >> 15) << 31;
  uint32_t exponent = (h >> 10) & 0x1F;
  uint32_t mantissa = h & 0x3FF;
  uint32_t bits;
  if (exponent == 0x1F) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // A subnormal binary16 is a normal binary32: shift its leading one into
    // the implicit place.
    int32_t e = -14;
    while ((mantissa & 0x400) == 0) {
      mantissa <<= 1;
      --e;
    }
    bits = sign | (static_cast<uint32_t>(e + 127) << 23) | ((mantissa & 0x3FF) << 13);
  }
  return std::bit_cast<float>(bits);
}

// The binary32 value of a bfloat16: its 16 bits are the binary32's upper half.
inline float widen_bfloat16(uint16_t b) {
  return std::bit_cast<float>(static_cast<uint32_t>(b) << 16);
}

// Element j of a run of elements of one of the types, widened.
struct Float32Elements {
  using Storage = float;
  static float widen(float x) { return x; }
};
struct Float16Elements {
  using Storage = uint16_t;
  static float widen(uint16_t x) { return widen_float16(x); }
};
struct BFloat16Elements {
  using Storage = uint16_t;
  static float widen(uint16_t x) { return widen_bfloat16(x); }
};

}  // namespace velk::engine
