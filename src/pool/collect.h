// Ordered parallel map over an index range.
//
// The range is cut in halves recursively (as many times as keeps every worker
// busy, and again wherever a piece is stolen), the halves run through two-way
// joins on the global pool, and every leaf writes straight into its own window
// of one output array allocated up front, so the result is in index order
// whatever the interleaving of threads. The machinery lives in range.cc; this
// header only adapts the caller's types to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "src/pool/range.h"
#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"

namespace velk::pool {

// Calls leaf(start, end, out) over disjoint pieces [start, end) covering
// [0, n); each call writes end - start items to out[0 .. end - start), item j
// being the result for index start + j. Returns the n items in index order.
// `leaf` may run concurrently on several threads and must not touch Python.
// A panic in a leaf reaches the caller once every piece has finished.
// Creates the global pool on first use, even for n = 0.
template <class T, class Leaf>
GrowableArray<T> parallel_map_collect_ranges(uint64_t n, Leaf&& leaf) {
  using LeafType = std::remove_reference_t<Leaf>;
  GrowableArray<T> out;
  out.reserve(n);
  const std::size_t start = out.size();
  if (out.capacity() - start < n) panic("assertion failed: vec.capacity() - start >= len");

  const RangeLeaf erased{[](void* context, uint64_t first, uint64_t last, void* window) {
                           (*static_cast<LeafType*>(context))(first, last, static_cast<T*>(window));
                         },
                         const_cast<void*>(static_cast<const void*>(std::addressof(leaf))),
                         sizeof(T)};
  map_range_into(n, reinterpret_cast<std::byte*>(out.data() + start), erased);
  out.set_size(start + n);
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
