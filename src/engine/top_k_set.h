// Bounded per-query candidate buffers: the streaming top-k of the scan.
//
// A scan offers (query, row, score) candidates in any order; each query keeps
// at most a few more than k of them and, whenever its buffer fills, selects
// the k best (an nth_element under the total order) and raises its threshold
// to the k-th best. Whatever the order of the offers, the k best candidates
// offered survive. The k best of a query are unique under the total order, so
// the buffers of several workers that saw disjoint rows merge into the same
// result whatever the split.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#include "src/runtime/alloc.h"
#include "src/similarity/ranking.h"

namespace velk::engine {

// A scored row: the ranking key of its score and its index, and (where a
// buffer holds several queries' rows together) its query.
struct Candidate {
  uint64_t index;
  int32_t key;
  uint32_t query = 0;
};
static_assert(sizeof(Candidate) == 16);

// Keys above every ranking key a top-k buffer accepts.
inline constexpr int32_t kHighestKey = std::numeric_limits<int32_t>::max();

// The total order: a larger key first, then a lower index.
inline bool ranks_before(const Candidate& a, const Candidate& b) {
  return a.key > b.key || (a.key == b.key && a.index < b.index);
}

// The score whose ranking_key() is `key` (the key map is its own inverse).
inline float score_of_key(int32_t key) {
  return std::bit_cast<float>(key ^ static_cast<int32_t>(static_cast<uint32_t>(key >> 31) >> 1));
}

// The finished lists of a matrix searched against itself
// (search_top_k_paired_with()), open to more rows: row r's list is
// indices[r * stride ..] and scores[r * stride ..], counts[r] long, best
// first, and floor_keys[r] the key below which nothing can enter it. A pass
// over queries [first_query, from_row) finds for each row r >= from_row its
// scores as a query against those rows, and offers them here. Each row is
// offered rows by one thread at a time.
struct PairedLists {
  int64_t* indices = nullptr;
  float* scores = nullptr;
  uint64_t* counts = nullptr;
  // One per row, and kMaxLanes more (read, never used): the kernels load a
  // whole vector of floors from any row on.
  int32_t* floor_keys = nullptr;
  uint64_t stride = 0;
  // The most rows a list keeps.
  uint64_t kept = 0;
  uint64_t first_query = 0;
  uint64_t from_row = 0;

  // Offers row `index` with ranking key `key` to row r's list. Always
  // inlined, for the reason given at TopKSet::offer().
  [[gnu::always_inline]] void offer(uint64_t r, uint64_t index, int32_t key) {
    const Candidate c{index, key, 0};
    int64_t* row_indices = indices + r * stride;
    float* row_scores = scores + r * stride;
    const uint64_t n = counts[r];
    auto entry = [&](uint64_t p) {
      return Candidate{static_cast<uint64_t>(row_indices[p]),
                       similarity::ranking_key(row_scores[p]), 0};
    };
    if (n == kept && !ranks_before(c, entry(n - 1))) return;
    uint64_t p = n == kept ? n - 1 : n;
    for (; p > 0 && ranks_before(c, entry(p - 1)); --p) {
      row_indices[p] = row_indices[p - 1];
      row_scores[p] = row_scores[p - 1];
    }
    row_indices[p] = static_cast<int64_t>(index);
    row_scores[p] = score_of_key(key);
    if (n < kept) counts[r] = n + 1;
    update_floor(r);
  }

  // Sets row r's floor from its list. Always inlined, as offer().
  [[gnu::always_inline]] void update_floor(uint64_t r) {
    floor_keys[r] = counts[r] < kept ? std::numeric_limits<int32_t>::min()
                                     : similarity::ranking_key(scores[r * stride + kept - 1]);
  }
};

// The candidate buffers of a run of queries, owned by one thread at a time.
class TopKSet {
 public:
  TopKSet() = default;
  // Buffers for `queries` queries keeping `k` (>= 1) each.
  TopKSet(uint64_t queries, uint64_t k);
  TopKSet(TopKSet&&) = default;
  TopKSet& operator=(TopKSet&&) = default;

  // Empties the buffers and makes them `queries` queries keeping `k` each,
  // reusing the storage where it is large enough.
  void reset(uint64_t queries, uint64_t k);

  // Query q accepts nothing more (a query that gets no rows).
  void close(uint64_t q) { floor_[q] = Candidate{0, kHighestKey}; }

  uint64_t queries() const { return queries_; }
  uint64_t k() const { return k_; }

  // Where the kernels also offer each score to its row's own list (a matrix
  // searched against itself), or null.
  void set_paired(PairedLists* paired) { paired_ = paired; }
  [[gnu::always_inline]] PairedLists* paired() const { return paired_; }

  // Keys below this one can never enter query q's top k: a cheap first test
  // for the scan (keys equal to it may, and go through offer()).
  // Always inlined, as offer(): the kernels of every instruction set call
  // them, and an out-of-line copy compiled for one of them must not become
  // the one the rest of the program calls.
  [[gnu::always_inline]] int32_t floor_key(uint64_t q) const { return floor_[q].key; }
  // Keys above this one never enter (none for a top k).
  [[gnu::always_inline]] int32_t ceiling_key() const { return kHighestKey; }

  // Offers row `index` with ranking key `key` to query q.
  [[gnu::always_inline]] void offer(uint64_t q, uint64_t index, int32_t key) {
    const Candidate c{index, key, 0};
    if (!ranks_before(c, floor_[q])) return;
    Candidate* buffer = candidates_.data() + q * capacity_;
    buffer[sizes_[q]++] = c;
    if (sizes_[q] == capacity_) compact(q);
  }

  // Query q's candidates (unordered; at least its k best among all offers).
  const Candidate* candidates(uint64_t q) const { return candidates_.data() + q * capacity_; }
  uint64_t size(uint64_t q) const { return sizes_[q]; }

 private:
  void compact(uint64_t q);

  uint64_t queries_ = 0;
  uint64_t k_ = 0;
  uint64_t capacity_ = 0;
  GrowableArray<Candidate> candidates_;
  GrowableArray<uint64_t> sizes_;
  // The worst candidate kept at the last compaction, or a sentinel that
  // every candidate ranks before.
  GrowableArray<Candidate> floor_;
  PairedLists* paired_ = nullptr;
};

// Writes query q's k best candidates over all `sets` (each holding the same
// queries), best first: indices[j], scores[j] for j < the returned count.
// `scratch` is reused between calls.
uint64_t merge_top_k(const TopKSet* const* sets, uint64_t set_count, uint64_t q, uint64_t k,
                     GrowableArray<Candidate>& scratch, int64_t* indices, float* scores);

}  // namespace velk::engine
