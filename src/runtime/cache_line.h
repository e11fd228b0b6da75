// Cache-line sizes of the x86-64 processors we build for, in one place.
#pragma once

#include <cstddef>

namespace velk {

// One cache line: the unit the kernels read and prefetch in.
inline constexpr std::size_t kCacheLine = 64;

// Atomic words that different threads write are kept this far apart: x86
// prefetches cache lines in adjacent pairs, so one line is not enough to
// avoid false sharing.
inline constexpr std::size_t kCacheLinePair = 2 * kCacheLine;

}  // namespace velk
