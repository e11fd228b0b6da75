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
  counts_.clear();
  counts_.reserve(queries);
  for (uint64_t q = 0; q < queries; ++q) counts_.push_back(0);
}

void RangeSet::grow() { items_.reserve(items_.capacity() < 64 ? 64 : items_.capacity()); }

uint64_t place_ranges(RangeSet* const* sets, uint64_t set_count, uint64_t queries,
                      GrowableArray<uint64_t>& ends) {
  // A counting sort on the query: the counts' running sums, each set's rows
  // of a query after those of the sets before it.
  ends.clear();
  ends.reserve(queries);
  for (uint64_t q = 0; q < queries; ++q) ends.push_back(0);
  for (uint64_t s = 0; s < set_count; ++s) {
    const uint64_t* counts = sets[s]->counts().data();
    for (uint64_t q = 0; q < queries; ++q) ends[q] += counts[q];
  }
  // ends[q] becomes the start of query q, then moves on to its end as each
  // set takes its places.
  uint64_t total = 0;
  for (uint64_t q = 0; q < queries; ++q) total += std::exchange(ends[q], total);
  for (uint64_t s = 0; s < set_count; ++s) {
    uint64_t* counts = sets[s]->counts().data();
    for (uint64_t q = 0; q < queries; ++q) counts[q] = std::exchange(ends[q], ends[q] + counts[q]);
  }
  return total;
}

void move_ranges(RangeSet& set, Candidate* grouped) {
  uint64_t* places = set.counts().data();
  GrowableArray<Candidate>& items = set.items();
  for (const Candidate& c : items) grouped[places[c.query]++] = c;
  // The memory goes back before the sorts take their scratch space.
  items = GrowableArray<Candidate>();
}

namespace {

// Below this many rows a query's rows go through a comparison sort.
constexpr uint64_t kRadixSortRows = 64;

// The key as an unsigned number that a larger key makes smaller.
inline uint32_t reversed_key(int32_t key) {
  return ~(static_cast<uint32_t>(key) ^ 0x80000000u);
}

// Byte `d` of what the radix sort orders by, least significant first: the
// row's bytes (bytes 0 to 7), then the reversed key's (8 to 11).
inline uint32_t sort_byte(const Candidate& c, int d) {
  return d < 8 ? static_cast<uint32_t>(c.index >> (8 * d)) & 0xFF
               : (reversed_key(c.key) >> (8 * (d - 8))) & 0xFF;
}

inline void write_row(const Candidate& c, int64_t* indices, float* scores, uint64_t at) {
  indices[at] = static_cast<int64_t>(c.index);
  scores[at] = score_of_key(c.key);
}

}  // namespace

void sort_range(Candidate* first, Candidate* last, Candidate* scratch, int64_t* indices,
                float* scores) {
  const auto count = static_cast<uint64_t>(last - first);
  if (count < kRadixSortRows) {
    // A lambda, not the function itself: std::sort would call it through a
    // pointer.
    std::sort(first, last,
              [](const Candidate& a, const Candidate& b) { return ranks_before(a, b); });
    for (uint64_t i = 0; i < count; ++i) write_row(first[i], indices, scores, i);
    return;
  }
  // A least-significant-byte-first radix sort: each pass a stable counting
  // sort on one byte, so that after the last one the rows are in the order of
  // (reversed key, row), the total order. A comparison sort of a query's rows
  // mispredicts about every other branch; this makes a few passes of moves
  // instead. Bytes every row shares are skipped (the rows' high bytes, the
  // key's sign and exponent bytes near the threshold); the last pass writes
  // the results.
  uint64_t rows_or = 0;
  for (const Candidate* c = first; c != last; ++c) rows_or |= c->index;
  int row_bytes = 0;
  while (row_bytes < 8 && (rows_or >> (8 * row_bytes)) != 0) ++row_bytes;
  constexpr int kBytes = 12;
  uint32_t counts[kBytes][256] = {};
  for (const Candidate* c = first; c != last; ++c) {
    for (int d = 0; d < row_bytes; ++d) ++counts[d][sort_byte(*c, d)];
    for (int d = 8; d < kBytes; ++d) ++counts[d][sort_byte(*c, d)];
  }
  int passes[kBytes];
  int pass_count = 0;
  for (int d = 0; d < kBytes; ++d) {
    if (d >= row_bytes && d < 8) continue;
    if (counts[d][sort_byte(*first, d)] != count) passes[pass_count++] = d;
  }
  Candidate* from = first;
  Candidate* to = scratch;
  for (int p = 0; p < pass_count; ++p) {
    const int d = passes[p];
    uint64_t next[256];
    uint64_t start = 0;
    for (int b = 0; b < 256; ++b) {
      next[b] = start;
      start += counts[d][b];
    }
    if (p + 1 == pass_count) {
      for (uint64_t i = 0; i < count; ++i) {
        write_row(from[i], indices, scores, next[sort_byte(from[i], d)]++);
      }
      return;
    }
    for (uint64_t i = 0; i < count; ++i) to[next[sort_byte(from[i], d)]++] = from[i];
    std::swap(from, to);
  }
  // Every row shares every byte: one row, repeated.
  for (uint64_t i = 0; i < count; ++i) write_row(from[i], indices, scores, i);
}

}  // namespace velk::engine
