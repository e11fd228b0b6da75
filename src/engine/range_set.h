// Unbounded candidate buffers for threshold search: every offered row whose
// score is at least the threshold is kept, with its query.
#pragma once

#include <cstdint>

#include "src/engine/top_k_set.h"
#include "src/runtime/alloc.h"

namespace velk::engine {

// The range of ranking keys of the scores s with s >= threshold (as binary32
// compares: NaN scores never pass, and -0.0 passes a zero threshold).
// Requires a threshold that is not NaN.
struct KeyRange {
  int32_t floor;
  int32_t ceiling;
};
KeyRange key_range_at_least(float threshold);

// The rows of a run of queries that reached the threshold, owned by one
// thread at a time. Memory grows with the rows kept.
class RangeSet {
 public:
  RangeSet() = default;
  RangeSet(RangeSet&&) = default;
  RangeSet& operator=(RangeSet&&) = default;

  // Empties the buffer for `queries` queries that keep the keys in `range`.
  void reset(uint64_t queries, KeyRange range);

  // Query q keeps nothing (a query that gets no rows).
  void close(uint64_t q) { floor_[q] = kHighestKey; }

  // The keys query q keeps are floor_key(q) to ceiling_key(); the batch
  // kernels test both before they offer. Always inlined (see TopKSet).
  [[gnu::always_inline]] int32_t floor_key(uint64_t q) const { return floor_[q]; }
  [[gnu::always_inline]] int32_t ceiling_key() const { return ceiling_; }

  // Keeps row `index` of query q if its key is in range.
  [[gnu::always_inline]] void offer(uint64_t q, uint64_t index, int32_t key) {
    if (key < floor_[q] || key > ceiling_) return;
    if (items_.size() == items_.capacity()) grow();
    items_.data()[items_.size()] = Candidate{index, key, static_cast<uint32_t>(q)};
    items_.set_size(items_.size() + 1);
    ++counts_[q];
  }

  GrowableArray<Candidate>& items() { return items_; }
  // The rows kept of each query (until place_ranges() makes them the places
  // the rows go).
  GrowableArray<uint64_t>& counts() { return counts_; }

 private:
  // Out of line: the kernels of every instruction set call offer().
  void grow();

  GrowableArray<Candidate> items_;
  GrowableArray<uint64_t> counts_;
  GrowableArray<int32_t> floor_;
  int32_t ceiling_ = 0;
};

// Grouping the rows of all `sets` (each holding the same `queries` queries)
// query by query, in two steps. place_ranges() sets ends[q] to the end of
// query q's rows in the grouped order (they start at ends[q - 1], or 0), turns
// each set's counts into the places its rows go, and returns the number of
// rows. move_ranges() then moves a set's rows to their places in `grouped`,
// each query's in no particular order, and frees its rows; the sets write
// to places of their own, so that they may move at once.
uint64_t place_ranges(RangeSet* const* sets, uint64_t set_count, uint64_t queries,
                      GrowableArray<uint64_t>& ends);
void move_ranges(RangeSet& set, Candidate* grouped);

// Sorts one query's rows [first, last) in the total order and writes them to
// indices[0 ..] and scores[0 ..]. Uses scratch[0 .. last - first) and leaves
// [first, last) in no particular order.
void sort_range(Candidate* first, Candidate* last, Candidate* scratch, int64_t* indices,
                float* scores);

}  // namespace velk::engine
