// Test helpers for exact comparisons of binary32 values.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "src/similarity/views.h"

namespace velk::test {

// Bit patterns: NaN payloads and the sign of zero compare too.
inline uint32_t bits_of(float value) { return std::bit_cast<uint32_t>(value); }
inline float from_bits(uint32_t bits) { return std::bit_cast<float>(bits); }

// Values written as doubles (as a Python caller gives them), each rounded to
// binary32 once, the way the binding converts them.
inline std::vector<float> floats(std::initializer_list<double> values) {
  std::vector<float> out;
  for (double v : values) out.push_back(static_cast<float>(v));
  return out;
}

inline similarity::VectorView view_of(const std::vector<float>& values) {
  return similarity::VectorView{values.data(), values.size()};
}

}  // namespace velk::test
