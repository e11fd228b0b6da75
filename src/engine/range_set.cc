#include "src/engine/range_set.h"

#include <algorithm>
#include <cmath>

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

void append_ranges(RangeSet* const* sets, uint64_t set_count, uint64_t queries,
                   GrowableArray<uint64_t>& lims, GrowableArray<int64_t>& indices,
                   GrowableArray<float>& scores) {
  uint64_t total = 0;
  for (uint64_t s = 0; s < set_count; ++s) total += sets[s]->items().size();
  GrowableArray<Candidate> all;
  all.reserve(total);
  for (uint64_t s = 0; s < set_count; ++s) {
    GrowableArray<Candidate>& items = sets[s]->items();
    std::copy(items.begin(), items.end(), all.data() + all.size());
    all.set_size(all.size() + items.size());
    items.clear();
  }
  std::sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) {
    return a.query != b.query ? a.query < b.query : ranks_before(a, b);
  });
  indices.reserve(total);
  scores.reserve(total);
  lims.reserve(queries);
  const uint64_t offset = indices.size();
  uint64_t j = 0;
  for (uint64_t q = 0; q < queries; ++q) {
    for (; j < total && all[j].query == q; ++j) {
      indices.push_back(static_cast<int64_t>(all[j].index));
      scores.push_back(score_of_key(all[j].key));
    }
    lims.push_back(offset + j);
  }
}

}  // namespace velk::engine
