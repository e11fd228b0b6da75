#include "src/engine/range_set.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "src/runtime/panic.h"
#include "src/similarity/ranking.h"

namespace velk::engine {

KeyRange key_range_at_least(float threshold) {
  VELK_ASSERT(!std::isnan(threshold));
  // Both zeros pass a zero threshold; -0.0 has the lower key.
  const float lowest = threshold == 0.0f ? -0.0f : threshold;
  return KeyRange{similarity::ranking_key(lowest),
                  similarity::ranking_key(std::numeric_limits<float>::infinity())};
}

void RangeSet::reset(uint64_t queries, KeyRange range) {
  items_.clear();
  floor_.clear();
  floor_.reserve(queries);
  for (uint64_t q = 0; q < queries; ++q) floor_.push_back(range.floor);
  ceiling_ = range.ceiling;
}

void RangeSet::grow() { items_.reserve(items_.capacity() < 64 ? 64 : items_.capacity()); }

void group_ranges(RangeSet* const* sets, uint64_t set_count, uint64_t queries,
                  GrowableArray<Candidate>& grouped, GrowableArray<uint64_t>& ends) {
  // A counting sort on the query: the counts, their running sums, then each
  // row moved to its query's next free place.
  ends.clear();
  ends.reserve(queries);
  for (uint64_t q = 0; q < queries; ++q) ends.push_back(0);
  uint64_t total = 0;
  for (uint64_t s = 0; s < set_count; ++s) {
    for (const Candidate& c : sets[s]->items()) ++ends[c.query];
    total += sets[s]->items().size();
  }
  // ends[q] becomes the start of query q, then moves on to its end as the
  // rows come in.
  uint64_t start = 0;
  for (uint64_t q = 0; q < queries; ++q) start += std::exchange(ends[q], start);
  grouped.clear();
  grouped.reserve(total);
  Candidate* out = grouped.data();
  for (uint64_t s = 0; s < set_count; ++s) {
    GrowableArray<Candidate>& items = sets[s]->items();
    for (const Candidate& c : items) out[ends[c.query]++] = c;
    items.clear();
  }
  grouped.set_size(total);
}

void sort_range(Candidate* first, Candidate* last, int64_t* indices, float* scores) {
  // A lambda, not the function itself: std::sort would call it through a pointer.
  std::sort(first, last, [](const Candidate& a, const Candidate& b) { return ranks_before(a, b); });
  for (const Candidate* c = first; c != last; ++c, ++indices, ++scores) {
    *indices = static_cast<int64_t>(c->index);
    *scores = score_of_key(c->key);
  }
}

}  // namespace velk::engine
