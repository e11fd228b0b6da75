#include "src/similarity/top_k.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "src/runtime/fp_environment.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/ranking.h"
#include "tests/cpp/testing/floats.h"

namespace velk::similarity {
namespace {

using test::bits_of;
using test::floats;
using test::from_bits;
using test::view_of;

// (row, score bits): results compare exactly, NaN payloads and zero signs too.
using Result = std::vector<std::pair<uint64_t, uint32_t>>;

Result result_of(const GrowableArray<ScoredPair>& pairs) {
  Result out;
  for (const ScoredPair& p : pairs) out.emplace_back(p.index, bits_of(p.score));
  return out;
}

uint32_t nearest(double value) { return bits_of(static_cast<float>(value)); }
const uint32_t kZero = bits_of(0.0f);
const float kQuietNan = std::numeric_limits<float>::quiet_NaN();

Result run_flat(const std::vector<float>& query, const std::vector<float>& values, uint64_t dim,
                uint64_t k) {
  const FlatMatrixView matrix{view_of(values), dim};
  return result_of(flat_top_k(view_of(query), matrix, k));
}

Result run_rows(const std::vector<float>& query, const std::vector<std::vector<float>>& rows,
                uint64_t k) {
  std::vector<float> values;
  std::vector<uint64_t> ends;
  for (const std::vector<float>& row : rows) {
    values.insert(values.end(), row.begin(), row.end());
    ends.push_back(values.size());
  }
  return result_of(top_k_rows(view_of(query), {values.data(), ends.data(), ends.size()}, k));
}

struct FlatCase {
  std::string name;
  std::vector<float> query;
  std::vector<float> values;
  uint64_t dim;
  uint64_t k;
  Result expected;
};

void PrintTo(const FlatCase& c, std::ostream* os) { *os << c.name; }

class FlatTopKTest : public testing::TestWithParam<FlatCase> {};

TEST_P(FlatTopKTest, GivesExactResult) {
  const FlatCase& c = GetParam();
  EXPECT_EQ(run_flat(c.query, c.values, c.dim, c.k), c.expected);
}

const uint32_t kHalfRoot = nearest(0.7071067690849304);

INSTANTIATE_TEST_SUITE_P(
    Cases, FlatTopKTest,
    testing::Values(
        FlatCase{"QueryLongerThanDim",
                 floats({1, 0, 0, 9}),
                 floats({1, 0, 0}),
                 3,
                 1,
                 {{0, nearest(0.11043152213096619)}}},
        FlatCase{"QueryShorterThanDim", floats({1}), floats({1, 1}), 2, 1, {{0, kHalfRoot}}},
        FlatCase{"BestTwoOfThree",
                 floats({1, 0}),
                 floats({0, 1, 1, 0, 1, 1}),
                 2,
                 2,
                 {{1, nearest(1.0)}, {2, kHalfRoot}}},
        FlatCase{"FewerValuesThanDim", floats({1, 0, 0}), floats({1, 1}), 3, 5, {}},
        FlatCase{"NoValues", floats({1}), {}, 1, 5, {}},
        // 7 values at width 3: two rows, the last value belongs to none.
        FlatCase{"TrailingValuesIgnored",
                 floats({1, 0, 0}),
                 floats({0, 1, 0, 1, 0, 0, 1}),
                 3,
                 10,
                 {{1, nearest(1.0)}, {0, kZero}}},
        FlatCase{"KZero", floats({1, 0}), floats({1, 0}), 2, 0, {}},
        FlatCase{"KAboveRowCount",
                 floats({1, 0}),
                 floats({0, 1, 1, 1, 1, 0}),
                 2,
                 100,
                 {{2, nearest(1.0)}, {1, kHalfRoot}, {0, kZero}}},
        FlatCase{"EmptyQuery", {}, floats({1, 0}), 2, 1, {}},
        FlatCase{"ZeroQuery", floats({0, -0.0}), floats({1, 0}), 2, 1, {}},
        FlatCase{"QuerySquaresUnderflow", floats({1e-30, 1e-30}), floats({1, 0}), 2, 1, {}},
        // A zero row and a NaN row both score +0.0 and are still ranked.
        FlatCase{"ZeroAndNanRowsScoreZero",
                 floats({1, 0}),
                 {0.0f, 0.0f, kQuietNan, 1.0f, -1.0f, 0.0f},
                 2,
                 3,
                 {{0, kZero}, {1, kZero}, {2, nearest(-1.0)}}},
        // A NaN query: rows with a positive norm score its NaN, zero rows 0.0.
        FlatCase{"NanQuery",
                 {from_bits(0x7fc00005), 1.0f},
                 floats({0, 0, 1, 0, 0, 1}),
                 2,
                 3,
                 {{1, 0x7fc00005}, {2, 0x7fc00005}, {0, kZero}}}),
    [](const testing::TestParamInfo<FlatCase>& info) { return info.param.name; });

// A zero width is reported before every other check, whatever the inputs.
TEST(FlatTopKTest, ZeroDimPanicsBeforeAnyOtherCheck) {
  const std::vector<float> some = floats({1, 2, 3});
  const std::vector<float> none;
  const std::vector<float> zeros = floats({0, 0});
  struct Inputs {
    const std::vector<float>* query;
    const std::vector<float>* values;
    uint64_t k;
  };
  for (Inputs in : {Inputs{&some, &some, 1}, Inputs{&none, &none, 0}, Inputs{&some, &none, 1},
                    Inputs{&none, &some, 3}, Inputs{&some, &some, 0}, Inputs{&zeros, &some, 2}}) {
    testing::internal::CaptureStderr();
    try {
      run_flat(*in.query, *in.values, 0, in.k);
      ADD_FAILURE() << "no panic";
    } catch (const PanicError& error) {
      note_panic_caught();
      EXPECT_EQ(error.message(), "attempt to divide by zero");
    }
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("src/similarity/top_k.cc:"), std::string::npos) << report;
    EXPECT_NE(report.find("attempt to divide by zero"), std::string::npos) << report;
  }
}

// n rows of width dim with values from a small set, so that many scores tie.
std::vector<float> tie_heavy_matrix(uint64_t n, uint64_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<float> values(n * dim);
  for (float& v : values) v = static_cast<float>(static_cast<int>(rng() % 3) - 1);
  return values;
}

// Against a reference built from the kernels: scores are row_cosine's, the
// kept keys are exactly the k largest, best first, and the rows are distinct.
TEST(FlatTopKTest, KeepsTheKLargestScoresBestFirst) {
  const std::vector<float> query = floats({1, 0.5, -1, 0.25});
  for (uint64_t n : {1u, 2u, 15u, 16u, 17u, 30u, 33u, 200u, 5000u}) {
    const std::vector<float> values = tie_heavy_matrix(n, 4, n);
    const FlatMatrixView matrix{view_of(values), 4};
    const float query_norm = std::sqrt(squared_norm(view_of(query)));
    std::vector<ScoredPair> reference;
    for (uint64_t i = 0; i < n; ++i) {
      reference.push_back(ScoredPair{i, row_cosine(view_of(query), query_norm, matrix, i)});
    }
    std::stable_sort(reference.begin(), reference.end(), [](const auto& a, const auto& b) {
      return ranking_key(a.score) > ranking_key(b.score);
    });
    for (uint64_t k : {uint64_t{1}, uint64_t{2}, uint64_t{10}, n / 2, n - 1, n, n + 5}) {
      if (k == 0) continue;
      const Result got = run_flat(query, values, 4, k);
      ASSERT_EQ(got.size(), std::min(k, n)) << "n=" << n << " k=" << k;
      std::vector<bool> seen(n, false);
      for (size_t j = 0; j < got.size(); ++j) {
        ASSERT_EQ(got[j].second, bits_of(reference[j].score)) << "n=" << n << " k=" << k;
        const uint64_t row = got[j].first;
        ASSERT_FALSE(seen[row]);
        seen[row] = true;
        ASSERT_EQ(got[j].second, bits_of(row_cosine(view_of(query), query_norm, matrix, row)));
      }
      // Where ties are guaranteed to come out in row order, the result is
      // exactly the stable reference: n <= 16, k = 1, or k >= n with n <= 32.
      if (n <= 16 || k == 1 || (k >= n && n <= 32)) {
        for (size_t j = 0; j < got.size(); ++j) {
          ASSERT_EQ(got[j].first, reference[j].index) << "n=" << n << " k=" << k;
        }
      }
    }
  }
}

// k >= n over rows that all score the same: the run check leaves row order.
TEST(FlatTopKTest, AllTiedRowsWithoutSelectionKeepRowOrder) {
  const std::vector<float> query = floats({1, 1});
  const std::vector<float> values(2 * 100, 1.0f);
  const Result got = run_flat(query, values, 2, 1000);
  ASSERT_EQ(got.size(), 100u);
  for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(got[i].first, i);
}

TEST(TopKRowsTest, ExamplesAndEdgeCases) {
  const std::vector<std::vector<float>> three = {floats({0, 1}), floats({1, 0}), floats({1, 1})};
  EXPECT_EQ(run_rows(floats({1, 0}), three, 2), (Result{{1, nearest(1.0)}, {2, kHalfRoot}}));
  EXPECT_EQ(run_rows(floats({1, 0}), three, 10),
            (Result{{1, nearest(1.0)}, {2, kHalfRoot}, {0, kZero}}));
  EXPECT_EQ(run_rows(floats({1, 0}), three, 0), Result{});
  EXPECT_EQ(run_rows(floats({1, 0}), {}, 5), Result{});
  // Rows of other lengths than the query, and an empty row.
  EXPECT_EQ(run_rows(floats({1, 1}), {floats({1}), {}}, 2), (Result{{0, kHalfRoot}, {1, kZero}}));
  EXPECT_EQ(run_rows(floats({1}), {floats({1, 1})}, 1), (Result{{0, kHalfRoot}}));
  // A NaN row (sign clear) ranks before every number.
  EXPECT_EQ(run_rows(floats({1, 0}), {floats({1, 0}), {from_bits(0x7fc00009), 0.0f}}, 2),
            (Result{{1, 0x7fc00009}, {0, nearest(1.0)}}));
}

// An empty or all-zero query scores every row +0.0: the rows come back in
// row order for any n, below and above the insertion-sort and stable limits.
TEST(TopKRowsTest, DegenerateQueryKeepsRowOrder) {
  for (const std::vector<float>& query : {std::vector<float>{}, floats({0, 0})}) {
    for (uint64_t n : {5u, 20u, 21u, 32u, 40u, 300u}) {
      std::vector<std::vector<float>> rows(n, floats({1, 2}));
      const Result got = run_rows(query, rows, 7);
      ASSERT_EQ(got.size(), std::min<uint64_t>(7, n));
      for (uint64_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], (std::pair<uint64_t, uint32_t>{i, kZero})) << "n=" << n;
      }
    }
  }
}

// Every score is the one cosine_similarity gives the same two vectors, bit
// for bit, also where NaN payloads meet (a query NaN past a row's end, NaN
// rows, infinities, zero and empty rows), whatever the query.
TEST(TopKRowsTest, ScoresMatchPairCosineBitForBit) {
  std::mt19937_64 rng(42);
  const float pool[] = {1.0f,
                        -2.5f,
                        0.0f,
                        -0.0f,
                        3e38f,
                        1e-30f,
                        std::numeric_limits<float>::infinity(),
                        from_bits(0x7fc00011),
                        from_bits(0xffc00022),
                        from_bits(0x7fc00033)};
  auto random_vector = [&](size_t length) {
    std::vector<float> v(length);
    for (float& x : v) x = rng() % 3 == 0 ? pool[rng() % std::size(pool)] : 0.25f * (rng() % 9);
    return v;
  };
  const std::vector<std::vector<float>> queries = {
      floats({0.5, -1, 2}),
      {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, from_bits(0xffc00044)},
      {from_bits(0x7fc00055), 1.0f},
      {},
      floats({0, 0}),
      random_vector(4)};
  std::vector<std::vector<float>> rows;
  for (int i = 0; i < 300; ++i) rows.push_back(random_vector(rng() % 8));
  for (const std::vector<float>& query : queries) {
    const Result all = run_rows(query, rows, rows.size());
    ASSERT_EQ(all.size(), rows.size());
    for (const auto& [row, bits] : all) {
      ASSERT_EQ(bits, bits_of(pair_cosine(view_of(query), view_of(rows[row])))) << "row " << row;
    }
  }
}

// On full rows of finite values the flat top-k scores as the list top-k does.
TEST(TopKRowsTest, AgreesWithFlatTopKOnFullRows) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  const std::vector<float> query = {value(rng), value(rng), value(rng)};
  std::vector<std::vector<float>> rows;
  std::vector<float> flat;
  for (int i = 0; i < 500; ++i) {
    rows.push_back({value(rng), value(rng), value(rng)});
    flat.insert(flat.end(), rows.back().begin(), rows.back().end());
  }
  const Result all = run_rows(query, rows, 25);
  const Result best = run_flat(query, flat, 3, 25);
  ASSERT_EQ(best.size(), 25u);
  for (size_t j = 0; j < best.size(); ++j) EXPECT_EQ(best[j].second, all[j].second);
}

// Runs `call` with the caller's MXCSR set to `csr`, checks that the call gave
// the caller's control bits back, and returns what it returned.
template <class Call>
auto with_callers_mxcsr(unsigned csr, Call call) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(csr);
  auto out = call();
  const unsigned after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(after & ~kMxcsrFlags, csr & ~kMxcsrFlags);
  return out;
}

// A caller (or a library built with fast-math, whose setting new threads
// inherit) may leave flush-to-zero, denormals-are-zero or another rounding
// mode in place; every entry scores as in the default environment anyway.
TEST(CallerEnvironmentTest, EveryEntryScoresInTheDefaultEnvironment) {
  constexpr unsigned kFlushToZero = 0x8000, kDenormalsAreZero = 0x0040;
  constexpr unsigned kTowardZero = 0x6000, kUpward = 0x4000;
  // [1, 2, 3] against [4, 5, 6] rounds differently in every mode; the tiny
  // rows and query have denormal squares, which flushing would make zero.
  const std::vector<float> query = {1.0f, 2.0f, 3.0f};
  const std::vector<float> tiny = {1e-20f, 1e-20f, 3e-20f};
  const std::vector<std::vector<float>> rows = {{4.0f, 5.0f, 6.0f}, tiny, {-1.0f, 0.5f, 2.0f}};
  std::vector<float> flat;
  for (const std::vector<float>& row : rows) flat.insert(flat.end(), row.begin(), row.end());

  auto everything = [&] {
    std::vector<Result> out;
    for (const std::vector<float>& q : {query, tiny}) {
      out.push_back(run_rows(q, rows, 3));
      out.push_back(run_flat(q, flat, 3, 3));
      Result pairs;
      for (const std::vector<float>& row : rows) {
        pairs.emplace_back(0, bits_of(pair_cosine(view_of(q), view_of(row))));
      }
      out.push_back(pairs);
    }
    return out;
  };
  const std::vector<Result> expected = everything();
  ASSERT_EQ(expected[4].size(), 3u);  // the tiny query scores every row
  for (unsigned csr :
       {kDefaultMxcsr | kFlushToZero | kDenormalsAreZero, kDefaultMxcsr | kTowardZero,
        kDefaultMxcsr | kUpward, kDefaultMxcsr | kFlushToZero | kDenormalsAreZero | kTowardZero}) {
    EXPECT_EQ(with_callers_mxcsr(csr, everything), expected) << std::hex << "MXCSR " << csr;
  }
}

}  // namespace
}  // namespace velk::similarity
