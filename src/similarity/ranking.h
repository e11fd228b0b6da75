// Ranking of scored pairs: the one order that every result shares.
//
// A pair ranks by the key of its score alone (never by its index, never by a
// floating-point comparison): a larger key ranks earlier. Ties are pairs whose
// scores have identical bit patterns; how they end up relative to each other
// is decided only by the data movement of the algorithms below, and the
// guarantees stated on each operation are the only ones callers may rely on.
//
// Both operations work in place and allocate nothing (the small sort borrows
// a fixed 640-byte stack buffer; recursion is logarithmic in m). Apart from
// refusing a selection cut outside the array, they cannot fail.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "src/similarity/views.h"

namespace velk::similarity {

// The totalOrder key of a binary32 value: its bits read as a signed 32-bit
// integer x, with the 31 low bits inverted when x is negative. Comparing keys
// as signed integers orders, best first: +NaN (larger payload first), +inf,
// positive numbers, +0.0, -0.0, negative numbers (nearest zero first), -inf,
// -NaN (larger payload last). +0.0 and -0.0 differ; equal keys mean equal bits.
inline int32_t ranking_key(float score) {
  int32_t x = std::bit_cast<int32_t>(score);
  return x ^ static_cast<int32_t>(static_cast<uint32_t>(x >> 31) >> 1);
}

// Orders pairs[0 .. m) best first (non-increasing key).
//
// Tie guarantees (equal keys keep their relative order) hold exactly when:
//   - m <= 32 (insertion sort up to 20 pairs, a stable small-sort up to 32), or
//   - the keys are already non-increasing, in which case nothing moves at all.
// A strictly increasing input of 21 or more pairs is reversed (it has no ties).
// For m >= 33 with any other input, tied pairs may end in any relative order.
void sort_by_rank(ScoredPair* pairs, size_t m);

// Requires 1 <= k < m (a break panics). Reorders pairs[0 .. m) so that positions [0, k) hold
// pairs whose keys are each >= every key at positions [k, m), and position
// k - 1 holds a pair with the k-th largest key. The first k are in no
// particular order, except as stated here.
//
// Tie guarantees:
//   - k == 1: position 0 receives the lowest-positioned pair among those with
//     the largest key (only that pair and the one at position 0 swap places);
//   - m <= 16: the whole array ends sorted best first with equal keys in
//     their original relative order.
// Otherwise which of several pairs tied at the k-th key stay in front, and
// their relative order, are unspecified.
void select_top(ScoredPair* pairs, size_t m, size_t k);

}  // namespace velk::similarity
