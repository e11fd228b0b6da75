// Ordered parallel map over an index range.
//
// (Sequential stand-in until the worker pool lands; the signatures stay.)
#pragma once

#include <cstdint>
#include <utility>

#include "src/runtime/alloc.h"

namespace velk::pool {

// Calls leaf(start, end, out) over disjoint pieces [start, end) covering
// [0, n); each call writes end - start items to out[0 .. end - start), item j
// being the result for index start + j. Returns the n items in index order.
// `leaf` may run concurrently on several threads and must not touch Python.
// A panic in a leaf reaches the caller once every piece has finished.
template <class T, class Leaf>
GrowableArray<T> parallel_map_collect_ranges(uint64_t n, Leaf&& leaf) {
  GrowableArray<T> out;
  out.reserve(n);
  if (n != 0) leaf(uint64_t{0}, n, out.data());
  out.set_size(n);
  return out;
}

// As above with a per-index map: slot i holds map(i).
template <class T, class Map>
GrowableArray<T> parallel_map_collect(uint64_t n, Map&& map) {
  return parallel_map_collect_ranges<T>(n, [&map](uint64_t start, uint64_t end, T* out) {
    for (uint64_t i = start; i < end; ++i) out[i - start] = map(i);
  });
}

}  // namespace velk::pool
