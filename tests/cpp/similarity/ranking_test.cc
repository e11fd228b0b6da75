#include "src/similarity/ranking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "src/runtime/panic.h"
#include "src/similarity/internal/ranking_fallbacks.h"
#include "tests/cpp/testing/floats.h"

namespace velk::similarity {
namespace {

using test::bits_of;
using test::from_bits;

std::vector<ScoredPair> pairs_of(const std::vector<float>& scores) {
  std::vector<ScoredPair> pairs;
  for (size_t i = 0; i < scores.size(); ++i) pairs.push_back(ScoredPair{i, scores[i]});
  return pairs;
}

std::vector<uint64_t> indices_of(const std::vector<ScoredPair>& pairs) {
  std::vector<uint64_t> indices;
  for (const ScoredPair& p : pairs) indices.push_back(p.index);
  return indices;
}

std::vector<int32_t> keys_of(const std::vector<ScoredPair>& pairs) {
  std::vector<int32_t> keys;
  for (const ScoredPair& p : pairs) keys.push_back(ranking_key(p.score));
  return keys;
}

// The reference order: best first, ties in input order.
std::vector<ScoredPair> stable_reference(std::vector<ScoredPair> pairs) {
  std::stable_sort(pairs.begin(), pairs.end(), [](const ScoredPair& a, const ScoredPair& b) {
    return ranking_key(a.score) > ranking_key(b.score);
  });
  return pairs;
}

// Every input pair is still there, unchanged (index and score bits); the
// inputs hold row i at position i.
void expect_same_pairs(const std::vector<ScoredPair>& input,
                       const std::vector<ScoredPair>& output) {
  ASSERT_EQ(input.size(), output.size());
  std::vector<bool> seen(input.size(), false);
  for (const ScoredPair& p : output) {
    ASSERT_LT(p.index, input.size());
    ASSERT_FALSE(seen[p.index]) << "row " << p.index << " twice";
    seen[p.index] = true;
    ASSERT_EQ(bits_of(p.score), bits_of(input[p.index].score)) << "row " << p.index;
  }
}

// Shapes of score arrays that stress different paths: ties, runs, NaNs.
enum class Shape {
  kFewDistinct,
  kUniform,
  kSpecials,
  kAscending,
  kDescending,
  kSawtooth,
  kPipeOrgan,
  kAllEqualButOne,
  kSignedZeros
};

constexpr const char* kShapeNames[] = {"FewDistinct", "Uniform",        "Specials",
                                       "Ascending",   "Descending",     "Sawtooth",
                                       "PipeOrgan",   "AllEqualButOne", "SignedZeros"};

std::vector<float> make_scores(Shape shape, size_t m, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const float specials[] = {from_bits(0x7fc00001),
                            from_bits(0x7fc00000),
                            std::numeric_limits<float>::infinity(),
                            1.0f,
                            0.5f,
                            std::numeric_limits<float>::denorm_min(),
                            0.0f,
                            -0.0f,
                            -0.5f,
                            -std::numeric_limits<float>::infinity(),
                            from_bits(0xffc00000),
                            from_bits(0xffc00001)};
  std::vector<float> scores(m);
  for (size_t i = 0; i < m; ++i) {
    switch (shape) {
      case Shape::kFewDistinct:
        scores[i] = static_cast<float>(rng() % 4) * 0.25f;
        break;
      case Shape::kUniform:
        scores[i] = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
        break;
      case Shape::kSpecials:
        scores[i] = specials[rng() % std::size(specials)];
        break;
      case Shape::kAscending:
        scores[i] = static_cast<float>(i / 3);
        break;
      case Shape::kDescending:
        scores[i] = -static_cast<float>(i / 3);
        break;
      case Shape::kSawtooth:
        scores[i] = static_cast<float>(i % 7);
        break;
      case Shape::kPipeOrgan:
        scores[i] = static_cast<float>(std::min(i, m - i));
        break;
      case Shape::kAllEqualButOne:
        scores[i] = i == m / 3 ? 2.0f : 1.0f;
        break;
      case Shape::kSignedZeros:
        scores[i] = rng() % 2 ? 0.0f : -0.0f;
        break;
    }
  }
  return scores;
}

constexpr Shape kAllShapes[] = {Shape::kFewDistinct, Shape::kUniform,        Shape::kSpecials,
                                Shape::kAscending,   Shape::kDescending,     Shape::kSawtooth,
                                Shape::kPipeOrgan,   Shape::kAllEqualButOne, Shape::kSignedZeros};

TEST(RankingKeyTest, OrdersTheWholeFloatLineBestFirst) {
  const std::vector<float> best_first = {
      from_bits(0x7fffffff),  // +NaN, largest payload
      from_bits(0x7fc00000),  // +NaN
      std::numeric_limits<float>::infinity(),
      std::numeric_limits<float>::max(),
      1.0f,
      std::numeric_limits<float>::denorm_min(),
      0.0f,
      -0.0f,
      -std::numeric_limits<float>::denorm_min(),
      -1.0f,
      -std::numeric_limits<float>::max(),
      -std::numeric_limits<float>::infinity(),
      from_bits(0xffc00000),  // -NaN
      from_bits(0xffffffff),  // -NaN, largest payload
  };
  for (size_t i = 1; i < best_first.size(); ++i) {
    EXPECT_GT(ranking_key(best_first[i - 1]), ranking_key(best_first[i])) << "place " << i;
  }
}

TEST(SortByRankTest, TableOfSpecialValues) {
  std::vector<ScoredPair> pairs =
      pairs_of({from_bits(0x7fc00000), 1.0f, std::numeric_limits<float>::infinity(), -0.0f, 0.0f,
                from_bits(0xffc00000)});
  sort_by_rank(pairs.data(), pairs.size());
  EXPECT_EQ(indices_of(pairs), (std::vector<uint64_t>{0, 2, 1, 4, 3, 5}));

  std::vector<ScoredPair> zeros = pairs_of({-0.0f, 0.0f});
  sort_by_rank(zeros.data(), zeros.size());
  EXPECT_EQ(indices_of(zeros), (std::vector<uint64_t>{1, 0}));
}

class RankingShapeTest : public testing::TestWithParam<Shape> {};

// Up to 32 pairs the sort is stable: the result is exactly the reference.
TEST_P(RankingShapeTest, SortIsStableUpTo32) {
  for (size_t m = 0; m <= 32; ++m) {
    for (uint64_t seed = 0; seed < 20; ++seed) {
      std::vector<ScoredPair> pairs = pairs_of(make_scores(GetParam(), m, seed));
      std::vector<ScoredPair> expected = stable_reference(pairs);
      sort_by_rank(pairs.data(), pairs.size());
      ASSERT_EQ(indices_of(pairs), indices_of(expected)) << "m=" << m << " seed=" << seed;
    }
  }
}

// Above 32 ties may move, but the keys come out in order and no pair is lost.
TEST_P(RankingShapeTest, SortOrdersKeysForManySizes) {
  std::vector<size_t> sizes;
  for (size_t m = 33; m <= 300; ++m) sizes.push_back(m);
  for (size_t m : {511u, 1000u, 4096u, 65537u}) sizes.push_back(m);
  for (size_t m : sizes) {
    std::vector<ScoredPair> input = pairs_of(make_scores(GetParam(), m, m));
    std::vector<ScoredPair> pairs = input;
    sort_by_rank(pairs.data(), pairs.size());
    ASSERT_EQ(keys_of(pairs), keys_of(stable_reference(input))) << "m=" << m;
    expect_same_pairs(input, pairs);
  }
}

// Keys of the first k are the k largest with multiplicity, the (k-1)-th is
// the k-th largest, and no key behind the cut beats one in front of it.
void expect_selected(const std::vector<ScoredPair>& input, const std::vector<int32_t>& sorted_keys,
                     const std::vector<ScoredPair>& out, size_t k) {
  std::vector<int32_t> front = keys_of(std::vector<ScoredPair>(out.begin(), out.begin() + k));
  std::sort(front.rbegin(), front.rend());
  ASSERT_TRUE(std::equal(front.begin(), front.end(), sorted_keys.begin())) << "k=" << k;
  ASSERT_EQ(ranking_key(out[k - 1].score), sorted_keys[k - 1]) << "k=" << k;
  for (size_t i = k; i < out.size(); ++i) {
    ASSERT_LE(ranking_key(out[i].score), sorted_keys[k - 1]) << "k=" << k << " i=" << i;
  }
  expect_same_pairs(input, out);
}

// Besides the cut itself: k = 1 moves only the first of the best to the
// front, and up to 16 pairs the whole array ends stably sorted.
TEST_P(RankingShapeTest, SelectEveryKUpTo200) {
  for (size_t m = 2; m <= 200; ++m) {
    std::vector<ScoredPair> input = pairs_of(make_scores(GetParam(), m, 1000 + m));
    const std::vector<ScoredPair> reference = stable_reference(input);
    const std::vector<int32_t> sorted_keys = keys_of(reference);
    for (size_t k = 1; k < m; ++k) {
      std::vector<ScoredPair> pairs = input;
      select_top(pairs.data(), m, k);
      ASSERT_NO_FATAL_FAILURE(expect_selected(input, sorted_keys, pairs, k)) << "m=" << m;
      if (k == 1) {
        std::vector<ScoredPair> expected = input;
        std::swap(expected[0], expected[reference[0].index]);
        ASSERT_EQ(indices_of(pairs), indices_of(expected)) << "m=" << m;
      } else if (m <= 16) {
        ASSERT_EQ(indices_of(pairs), indices_of(reference)) << "m=" << m << " k=" << k;
      }
    }
  }
}

TEST_P(RankingShapeTest, SelectLargeArrays) {
  for (size_t m : {1000u, 100000u}) {
    std::vector<ScoredPair> input = pairs_of(make_scores(GetParam(), m, 7 * m));
    const std::vector<int32_t> sorted_keys = keys_of(stable_reference(input));
    for (size_t k : {size_t{1}, size_t{2}, size_t{10}, m / 2, m - 1}) {
      std::vector<ScoredPair> pairs = input;
      select_top(pairs.data(), m, k);
      ASSERT_NO_FATAL_FAILURE(expect_selected(input, sorted_keys, pairs, k)) << "m=" << m;
    }
  }
}

TEST_P(RankingShapeTest, HeapSortFallbackOrdersKeys) {
  for (size_t m : {0u, 1u, 2u, 3u, 17u, 64u, 1000u}) {
    std::vector<ScoredPair> input = pairs_of(make_scores(GetParam(), m, 3 * m));
    std::vector<ScoredPair> pairs = input;
    internal::heap_sort_by_rank(pairs.data(), pairs.size());
    ASSERT_EQ(keys_of(pairs), keys_of(stable_reference(input))) << "m=" << m;
    expect_same_pairs(input, pairs);
  }
}

TEST_P(RankingShapeTest, MedianOfMediansFallbackSelects) {
  for (size_t m : {2u, 17u, 40u, 301u, 5000u}) {
    std::vector<ScoredPair> input = pairs_of(make_scores(GetParam(), m, 5 * m));
    const std::vector<int32_t> sorted_keys = keys_of(stable_reference(input));
    for (size_t t : {size_t{0}, size_t{1}, m / 3, m / 2, m - 1}) {
      std::vector<ScoredPair> pairs = input;
      internal::select_by_median_of_medians(pairs.data(), m, t);
      ASSERT_NO_FATAL_FAILURE(expect_selected(input, sorted_keys, pairs, t + 1)) << "m=" << m;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RankingShapeTest, testing::ValuesIn(kAllShapes),
                         [](const testing::TestParamInfo<Shape>& info) {
                           return kShapeNames[static_cast<int>(info.param)];
                         });

// From 21 pairs on, an input that is one run is either left exactly as it is
// (non-increasing, ties included) or reversed (strictly increasing).
TEST(SortByRankTest, SingleRunInputs) {
  for (size_t m : {21u, 32u, 33u, 40u, 1000u}) {
    std::vector<ScoredPair> equal = pairs_of(std::vector<float>(m, 0.0f));
    sort_by_rank(equal.data(), m);
    for (size_t i = 0; i < m; ++i) ASSERT_EQ(equal[i].index, i) << "m=" << m;

    std::vector<float> stairs(m);
    for (size_t i = 0; i < m; ++i) stairs[i] = -static_cast<float>(i / 4);
    std::vector<ScoredPair> descending = pairs_of(stairs);
    sort_by_rank(descending.data(), m);
    for (size_t i = 0; i < m; ++i) ASSERT_EQ(descending[i].index, i) << "m=" << m;

    std::vector<float> rising(m);
    for (size_t i = 0; i < m; ++i) rising[i] = static_cast<float>(i);
    std::vector<ScoredPair> ascending = pairs_of(rising);
    sort_by_rank(ascending.data(), m);
    for (size_t i = 0; i < m; ++i) ASSERT_EQ(ascending[i].index, m - 1 - i) << "m=" << m;
  }
}

// A large array whose best keys form one run of equal keys spread evenly
// through it, so that any evenly spaced sample is crowded with them: the cut
// then falls inside the run, at its end, or just behind it.
TEST(SelectTopTest, CutAtEveryPlaceAroundASpreadOutRun) {
  const size_t m = 32768;
  std::mt19937_64 rng(9);
  std::vector<float> scores(m);
  for (float& x : scores) x = std::uniform_real_distribution<float>(0.0f, 0.5f)(rng);
  for (size_t i = 1; i <= 40; ++i) scores[64 * i] = 1.0f;
  const std::vector<ScoredPair> input = pairs_of(scores);
  const std::vector<int32_t> sorted_keys = keys_of(stable_reference(input));
  for (size_t k = 2; k <= 60; ++k) {
    std::vector<ScoredPair> pairs = input;
    select_top(pairs.data(), m, k);
    ASSERT_NO_FATAL_FAILURE(expect_selected(input, sorted_keys, pairs, k));
  }
}

// A cut outside 1 <= k < m is refused before any pair is read.
TEST(SelectTopTest, RefusesCutOutsideTheArray) {
  std::vector<ScoredPair> pairs = pairs_of({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
  const std::pair<size_t, size_t> cuts[] = {{0, 0}, {0, 1}, {1, 1}, {5, 0}, {5, 5}, {5, 6}};
  for (auto [m, k] : cuts) {
    testing::internal::CaptureStderr();
    bool panicked = false;
    try {
      select_top(pairs.data(), m, k);
    } catch (const PanicError&) {
      note_panic_caught();
      panicked = true;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(panicked) << "m=" << m << " k=" << k;
  }
  EXPECT_EQ(indices_of(pairs), (std::vector<uint64_t>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace velk::similarity
