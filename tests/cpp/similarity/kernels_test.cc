#include "src/similarity/kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "tests/cpp/testing/floats.h"

namespace velk::similarity {
namespace {

using test::bits_of;
using test::floats;
using test::from_bits;
using test::view_of;

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kQuietNan = std::numeric_limits<float>::quiet_NaN();
// The NaN that x86 makes for an invalid operation (inf - inf, 0 * inf, ...).
constexpr uint32_t kInvalidNanBits = 0xffc00000;

struct PairCase {
  std::string name;
  std::vector<float> a;
  std::vector<float> b;
  uint32_t expected_bits;
};

void PrintTo(const PairCase& c, std::ostream* os) { *os << c.name; }

class PairCosineTest : public testing::TestWithParam<PairCase> {};

TEST_P(PairCosineTest, GivesExactBits) {
  const PairCase& c = GetParam();
  const float score = pair_cosine(view_of(c.a), view_of(c.b));
  EXPECT_EQ(bits_of(score), c.expected_bits)
      << "got " << score << ", expected " << from_bits(c.expected_bits);
}

uint32_t nearest(double value) { return bits_of(static_cast<float>(value)); }

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, PairCosineTest,
    testing::Values(
        PairCase{"Ascending", floats({1, 2, 3}), floats({4, 5, 6}), nearest(0.9746317863464355)},
        PairCase{"Diagonal", floats({1, 0}), floats({1, 1}), nearest(0.7071067690849304)},
        PairCase{"ShorterB", floats({1, 1}), floats({1}), nearest(0.7071067690849304)},
        PairCase{"Swapped", floats({3, 4}), floats({4, 3}), nearest(0.9599999785423279)},
        PairCase{"Tenths", floats({0.1, 0.2, 0.3}), floats({0.3, 0.2, 0.1}),
                 nearest(0.7142856121063232)},
        PairCase{"NegativeZeroProducts", floats({-1, 0}), floats({0, -1}), bits_of(-0.0f)},
        PairCase{"EmptyA", {}, floats({1, 2}), bits_of(0.0f)},
        PairCase{"EmptyB", floats({1}), {}, bits_of(0.0f)},
        PairCase{"BothEmpty", {}, {}, bits_of(0.0f)},
        PairCase{"ZeroA", floats({0, 0}), floats({1, 2}), bits_of(0.0f)},
        PairCase{"ZeroAgainstNan", floats({0, 0}), {kQuietNan, 1.0f}, bits_of(0.0f)},
        PairCase{"SquaresUnderflow", floats({1e-30, 1e-30, 1e-30}), floats({1, 2, 3}),
                 bits_of(0.0f)},
        // Not clamped to [-1, 1].
        PairCase{"SelfBelowOne", floats({1, 2, 3}), floats({1, 2, 3}), nearest(0.9999999403953552)},
        PairCase{"SelfAboveOne", floats({0.3, 0.7, 0.2, 0.9, 0.5}),
                 floats({0.3, 0.7, 0.2, 0.9, 0.5}), nearest(1.0000001192092896)},
        // A NaN from the input passes through with its sign and payload.
        PairCase{"PositiveNanInA", {from_bits(0x7fc00123), 1.0f}, floats({1, 1}), 0x7fc00123},
        PairCase{"NegativeNanInA", {from_bits(0xffc00123), 1.0f}, floats({1, 1}), 0xffc00123},
        PairCase{"NanInB", floats({1, 1}), {1.0f, from_bits(0x7fc00456)}, 0x7fc00456},
        // With NaNs on both sides the first operand of each step wins: a's.
        PairCase{"NanOnBothSides", {from_bits(0x7fc00001)}, {from_bits(0xffc00002)}, 0x7fc00001},
        // inf + -inf in the dot product: the invalid-operation NaN.
        PairCase{"InfinitiesCancel", {kInf, -kInf}, floats({1, 1}), kInvalidNanBits},
        // Squares overflow: inf / (inf * inf) is invalid too.
        PairCase{"SquaresOverflow", floats({1e30}), floats({1e30}), kInvalidNanBits},
        // A finite dot over an infinite norm is a zero score.
        PairCase{"InfiniteNormOnly", floats({1, 1e30}), floats({1}), bits_of(0.0f)}),
    [](const testing::TestParamInfo<PairCase>& info) { return info.param.name; });

// Sums start from -0.0, so an empty or all -0.0 sum stays -0.0.
TEST(ScalarChainTest, EmptyAndNegativeZeroSums) {
  const std::vector<float> empty;
  const std::vector<float> ones = floats({1, 1});
  EXPECT_EQ(bits_of(dot(view_of(empty), view_of(ones))), bits_of(-0.0f));
  EXPECT_EQ(bits_of(squared_norm(view_of(empty))), bits_of(-0.0f));
  EXPECT_EQ(bits_of(dot(view_of(floats({-1, 0})), view_of(floats({0, -1})))), bits_of(-0.0f));
  EXPECT_EQ(bits_of(dot(view_of(floats({-0.0})), view_of(floats({0})))), bits_of(-0.0f));
  EXPECT_EQ(bits_of(squared_norm(view_of(floats({-0.0, 0.0})))), bits_of(0.0f));
}

// x = 1 + 2^-12 has x*x = 1 + 2^-11 + 2^-24, which binary32 rounds (a tie, to
// even) to 1 + 2^-11. A fused multiply-add would keep the 2^-24 and change
// both sums below; a separately rounded product does not.
TEST(ScalarChainTest, ProductsAreRoundedBeforeTheAdd) {
  const float x = 1.0f + 0x1p-12f;
  const std::vector<float> left = {x, x};
  const std::vector<float> right = {x, -x};
  // Unfused: (1 + 2^-11) - (1 + 2^-11) = +0; fused: -2^-24.
  EXPECT_EQ(bits_of(dot(view_of(left), view_of(right))), bits_of(0.0f));
  // Unfused: 2^-24 + (1 + 2^-11) ties to 1 + 2^-11; fused: 1 + 2^-11 + 2^-23.
  const std::vector<float> squares = {0x1p-12f, x};
  EXPECT_EQ(bits_of(squared_norm(view_of(squares))), bits_of(1.0f + 0x1p-11f));
}

// Each step rounds: a left-to-right chain, not a pairwise or wider sum.
TEST(ScalarChainTest, SumsLeftToRight) {
  // 1e8 + 1 + ... + 1 (sixteen ones) stays 1e8 step by step; pairwise or
  // double-precision summation would reach 1e8 + 16.
  std::vector<float> values(17, 1.0f);
  values[0] = 1e8f;
  const std::vector<float> ones(17, 1.0f);
  EXPECT_EQ(dot(view_of(values), view_of(ones)), 1e8f);
}

struct RowCase {
  std::string name;
  std::vector<float> query;
  std::vector<float> matrix;
  uint64_t dim;
  uint64_t row;
  uint32_t expected_bits;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class RowCosineTest : public testing::TestWithParam<RowCase> {};

// The query norm is taken the way the flat top-k takes it: once, over the
// whole query.
TEST_P(RowCosineTest, GivesExactBits) {
  const RowCase& c = GetParam();
  const float query_norm = std::sqrt(squared_norm(view_of(c.query)));
  const FlatMatrixView matrix{view_of(c.matrix), c.dim};
  const float score = row_cosine(view_of(c.query), query_norm, matrix, c.row);
  EXPECT_EQ(bits_of(score), c.expected_bits)
      << "got " << score << ", expected " << from_bits(c.expected_bits);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, RowCosineTest,
    testing::Values(
        RowCase{"QueryLongerThanDim", floats({1, 0, 0, 9}), floats({1, 0, 0}), 3, 0,
                nearest(0.11043152213096619)},
        RowCase{"QueryShorterThanDim", floats({1}), floats({1, 1}), 2, 0,
                nearest(0.7071067690849304)},
        RowCase{"SecondRowTrailingIgnored", floats({1, 0}), floats({0, 1, 1, 1, 7}), 2, 1,
                nearest(0.7071067690849304)},
        RowCase{"AscendingAsPair", floats({1, 2, 3}), floats({4, 5, 6}), 3, 0,
                nearest(0.9746317863464355)},
        RowCase{"ZeroRow", floats({1, 2}), floats({0, 0}), 2, 0, bits_of(0.0f)},
        RowCase{"NanRowScoresZero", floats({1, 2}), {kQuietNan, 1.0f}, 2, 0, bits_of(0.0f)},
        RowCase{"NegativeZeroProducts", floats({-1, 0}), floats({0, -1}), 2, 0, bits_of(-0.0f)},
        RowCase{
            "NanQueryPositiveRow", {from_bits(0x7fc00077), 1.0f}, floats({1, 1}), 2, 0, 0x7fc00077},
        RowCase{
            "NanQueryZeroRow", {from_bits(0x7fc00077), 1.0f}, floats({0, 0}), 2, 0, bits_of(0.0f)}),
    [](const testing::TestParamInfo<RowCase>& info) { return info.param.name; });

}  // namespace
}  // namespace velk::similarity
