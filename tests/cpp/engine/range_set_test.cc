#include "src/engine/range_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "src/similarity/ranking.h"
#include "tests/cpp/testing/floats.h"

namespace velk::engine {
namespace {

using similarity::ranking_key;
using test::bits_of;
using test::from_bits;

struct Offer {
  float score;
  uint64_t row;
};

float draw_score(std::mt19937_64& rng, int style) {
  static constexpr float kTies[] = {0.5f, 0.0f, -0.0f, 0.25f};
  switch (style) {
    case 0:  // any bits: NaNs of either sign, infinities, denormals
      return from_bits(static_cast<uint32_t>(rng()));
    case 1:  // a few values, both zeros among them
      return kTies[rng() % std::size(kTies)];
    default:  // near a threshold: the high bytes of every key alike
      return 0.15f + static_cast<float>(rng() % 100000) * 1e-6f;
  }
}

uint64_t draw_row(std::mt19937_64& rng, int style) {
  switch (style) {
    case 0:
      return rng() % 300;
    case 1:
      return rng() % (uint64_t{1} << 20);
    default:  // any width, past 2^32 too
      return rng() >> (rng() % 64);
  }
}

// The rows offered to several sets come out grouped by query (the sets moved
// in any order) and, within a query, in the total order (a larger key first,
// then a lower row), with the scores' bits: for few rows and many (both
// sorts), ties, shared key bytes and rows of every width.
TEST(RangeSetTest, GroupsAndSortsEachQuerysRowsInTheTotalOrder) {
  std::mt19937_64 rng(20261207);
  for (int round = 0; round < 300; ++round) {
    const uint64_t queries = 1 + rng() % 5;
    const uint64_t set_count = 1 + rng() % 3;
    std::vector<RangeSet> sets(set_count);
    std::vector<RangeSet*> pointers;
    for (RangeSet& set : sets) {
      set.reset(queries, KeyRange{std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max()});
      pointers.push_back(&set);
    }
    const int score_style = static_cast<int>(rng() % 3);
    const int row_style = static_cast<int>(rng() % 3);
    std::vector<std::vector<Offer>> model(queries);
    const uint64_t offers = rng() % (round % 2 == 0 ? 100 : 2000);
    for (uint64_t i = 0; i < offers; ++i) {
      const uint64_t q = rng() % queries;
      const Offer offer{draw_score(rng, score_style), draw_row(rng, row_style)};
      sets[rng() % set_count].offer(q, offer.row, ranking_key(offer.score));
      model[q].push_back(offer);
    }
    GrowableArray<uint64_t> ends;
    ASSERT_EQ(place_ranges(pointers.data(), set_count, queries, ends), offers);
    ASSERT_EQ(ends.size(), queries);
    // The sets move in any order (on the pool, at once).
    std::vector<Candidate> grouped(offers);
    std::shuffle(pointers.begin(), pointers.end(), rng);
    for (RangeSet* set : pointers) move_ranges(*set, grouped.data());
    for (RangeSet& set : sets) EXPECT_TRUE(set.items().empty());
    std::vector<Candidate> scratch(offers);
    uint64_t start = 0;
    for (uint64_t q = 0; q < queries; ++q) {
      SCOPED_TRACE("round " + std::to_string(round) + " query " + std::to_string(q));
      std::vector<Offer>& expected = model[q];
      std::sort(expected.begin(), expected.end(), [](const Offer& a, const Offer& b) {
        const int32_t ka = ranking_key(a.score);
        const int32_t kb = ranking_key(b.score);
        return ka != kb ? ka > kb : a.row < b.row;
      });
      ASSERT_EQ(ends[q] - start, expected.size());
      std::vector<int64_t> indices(expected.size());
      std::vector<float> scores(expected.size());
      sort_range(grouped.data() + start, grouped.data() + ends[q], scratch.data(), indices.data(),
                 scores.data());
      for (std::size_t j = 0; j < expected.size(); ++j) {
        ASSERT_EQ(indices[j], static_cast<int64_t>(expected[j].row)) << "place " << j;
        ASSERT_EQ(bits_of(scores[j]), bits_of(expected[j].score)) << "place " << j;
      }
      start = ends[q];
    }
  }
}

}  // namespace
}  // namespace velk::engine
