#include "src/engine/top_k_set.h"

#include <algorithm>

namespace velk::engine {
namespace {

// Room for this many more than k before a compaction: each compaction is
// linear in the buffer, so the slack keeps its cost per offer constant.
uint64_t slack_for(uint64_t k) { return std::max<uint64_t>(16, k / 2); }

constexpr Candidate kOpenFloor{std::numeric_limits<uint64_t>::max(),
                               std::numeric_limits<int32_t>::min(), 0};

}  // namespace

TopKSet::TopKSet(uint64_t queries, uint64_t k) { reset(queries, k); }

void TopKSet::reset(uint64_t queries, uint64_t k) {
  queries_ = queries;
  k_ = k;
  capacity_ = k + slack_for(k);
  // array_bytes() refuses a count whose bytes overflow.
  const uint64_t slots =
      array_bytes(queries, array_bytes(capacity_, sizeof(Candidate))) / sizeof(Candidate);
  candidates_.clear();
  candidates_.reserve(slots);
  candidates_.set_size(slots);
  sizes_.clear();
  sizes_.reserve(queries);
  floor_.clear();
  floor_.reserve(queries);
  for (uint64_t q = 0; q < queries; ++q) {
    sizes_.push_back(0);
    floor_.push_back(kOpenFloor);
  }
}

void TopKSet::compact(uint64_t q) {
  Candidate* buffer = candidates_.data() + q * capacity_;
  std::nth_element(buffer, buffer + (k_ - 1), buffer + sizes_[q], ranks_before);
  sizes_[q] = k_;
  floor_[q] = buffer[k_ - 1];
}

uint64_t merge_top_k(const TopKSet* const* sets, uint64_t set_count, uint64_t q, uint64_t k,
                     GrowableArray<Candidate>& scratch, int64_t* indices, float* scores) {
  scratch.clear();
  for (uint64_t s = 0; s < set_count; ++s) {
    if (sets[s] == nullptr) continue;
    const Candidate* c = sets[s]->candidates(q);
    const uint64_t n = sets[s]->size(q);
    scratch.reserve(n);
    std::copy(c, c + n, scratch.data() + scratch.size());
    scratch.set_size(scratch.size() + n);
  }
  const uint64_t kept = std::min<uint64_t>(k, scratch.size());
  if (kept == 0) return 0;
  Candidate* all = scratch.data();
  if (kept < scratch.size())
    std::nth_element(all, all + (kept - 1), all + scratch.size(), ranks_before);
  std::sort(all, all + kept, ranks_before);
  for (uint64_t j = 0; j < kept; ++j) {
    indices[j] = static_cast<int64_t>(all[j].index);
    scores[j] = score_of_key(all[j].key);
  }
  return kept;
}

}  // namespace velk::engine
