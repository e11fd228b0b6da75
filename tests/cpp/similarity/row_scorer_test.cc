#include "src/similarity/row_scorer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "tests/cpp/testing/floats.h"

namespace velk::similarity {
namespace {

using test::from_bits;

// Values placed so that the last one ends where an inaccessible page starts:
// a read past the end (a row tail, a column tail, a query tail) crashes.
class GuardedValues {
 public:
  explicit GuardedValues(const std::vector<float>& values) {
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t bytes = values.size() * sizeof(float);
    mapped_bytes_ = (bytes + page - 1) / page * page + page;
    void* mapping =
        mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(mapping, MAP_FAILED);
    mapping_ = static_cast<char*>(mapping);
    char* guard = mapping_ + mapped_bytes_ - page;
    EXPECT_EQ(mprotect(guard, page, PROT_NONE), 0);
    data_ = reinterpret_cast<float*>(guard - bytes);
    if (bytes != 0) std::memcpy(data_, values.data(), bytes);
  }
  ~GuardedValues() { munmap(mapping_, mapped_bytes_); }
  GuardedValues(const GuardedValues&) = delete;
  GuardedValues& operator=(const GuardedValues&) = delete;

  const float* data() const { return data_; }

 private:
  char* mapping_ = nullptr;
  std::size_t mapped_bytes_ = 0;
  float* data_ = nullptr;
};

// Sets MXCSR for the scope of a test and puts the old value back.
class ScopedMxcsr {
 public:
  explicit ScopedMxcsr(unsigned value) : saved_(_mm_getcsr()) { _mm_setcsr(value); }
  ~ScopedMxcsr() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
};

constexpr unsigned kDefaultMxcsr = 0x1F80;
constexpr unsigned kMxcsrFlags = 0x3F;

float quiet_nan(bool negative, uint32_t payload) {
  return from_bits((negative ? 0xFFC00000u : 0x7FC00000u) | (payload & 0x3FFFFFu));
}

// How the values of a test matrix are made.
enum class Values {
  kRandom,   // uniform in [-1, 1]
  kSpecial,  // random, with a sprinkling of the values below
  kRowKinds  // each row one of: random, zeros, denormal squares, denormal
             // values, squares that underflow, squares that overflow, NaNs
};

float signaling_nan(bool negative, uint32_t payload) {
  return from_bits((negative ? 0xFF800000u : 0x7F800000u) | (payload % 0x3FFFFFu + 1));
}

float special_value(std::mt19937& rng) {
  static const float kSpecials[] = {0.0f,  -0.0f,  INFINITY, -INFINITY, 1e-40f,  -3e-42f,
                                    1e30f, -2e25f, 1e-30f,   -1e-25f,   3.4e38f, 1e-20f};
  constexpr int kCount = static_cast<int>(std::size(kSpecials));
  // Past the table: NaNs of both signs, quiet and signaling, each with a
  // payload of its own.
  std::uniform_int_distribution<int> pick(0, kCount + 3);
  int i = pick(rng);
  if (i < kCount) return kSpecials[i];
  bool negative = (i - kCount) % 2 == 1;
  return i - kCount < 2 ? quiet_nan(negative, rng()) : signaling_nan(negative, rng());
}

std::vector<float> make_values(Values kind, uint64_t rows, uint64_t dim, std::mt19937& rng) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::uniform_int_distribution<int> percent(0, 99);
  std::vector<float> values(rows * dim);
  for (uint64_t r = 0; r < rows; ++r) {
    int row_kind = kind == Values::kRowKinds ? percent(rng) % 7 : 0;
    for (uint64_t j = 0; j < dim; ++j) {
      float& x = values[r * dim + j];
      x = uniform(rng);
      if (kind == Values::kSpecial && percent(rng) < 10) x = special_value(rng);
      switch (row_kind) {
        case 1:
          x = 0.0f;
          break;
        case 2:
          x *= 1e-20f;
          break;  // denormal squares
        case 3:
          x *= 1e-39f;
          break;  // denormal values
        case 4:
          x *= 1e-25f;
          break;  // squares underflow to zero
        case 5:
          x *= 1e30f;
          break;  // squares overflow to infinity
        case 6:
          if (percent(rng) < 30) x = quiet_nan(percent(rng) < 50, rng());
          break;
        default:
          break;
      }
    }
  }
  return values;
}

// A query made like a row. For kSpecial it also gets NaNs with distinct
// payloads at every third column: once the dot product is NaN, every later
// NaN product meets a NaN accumulator, so the result shows whether the
// accumulator stayed the first operand.
std::vector<float> make_query(Values kind, uint64_t size, std::mt19937& rng) {
  std::vector<float> query =
      make_values(kind == Values::kRowKinds ? Values::kRandom : kind, 1, size, rng);
  if (kind == Values::kSpecial) {
    for (uint64_t j = 1; j < size; j += 3) query[j] = quiet_nan(j % 2 == 0, 0x1000 + j);
  }
  return query;
}

float norm_of(const std::vector<float>& query) {
  return std::sqrt(squared_norm(VectorView{query.data(), query.size()}));
}

class RowScorerTest : public testing::TestWithParam<RowScorerKind> {
 protected:
  void SetUp() override {
    if (!row_scorer_supported(GetParam())) GTEST_SKIP() << "not supported on this processor";
  }

  // Scores [first, last) with the variant under test and compares every
  // pair with row_cosine() bit for bit.
  // The matrix starts after the first `skip` values.
  void expect_matches_scalar(const std::vector<float>& query, float query_norm,
                             const std::vector<float>& values, uint64_t dim, uint64_t first,
                             uint64_t last, unsigned mxcsr = kDefaultMxcsr, uint64_t skip = 0) {
    GuardedValues guarded_query(query);
    GuardedValues guarded_values(values);
    VectorView query_view{guarded_query.data(), query.size()};
    FlatMatrixView matrix{VectorView{guarded_values.data() + skip, values.size() - skip}, dim};
    std::vector<ScoredPair> out(last - first + 1, ScoredPair{~0ull, -1.0f});
    {
      ScopedMxcsr environment(mxcsr);
      score_rows_with(GetParam(), query_view, query_norm, matrix, first, last, out.data());
      // The caller's control bits come back; flags raised meanwhile may stay.
      EXPECT_EQ(_mm_getcsr() & ~kMxcsrFlags, mxcsr & ~kMxcsrFlags);
    }
    for (uint64_t i = first; i < last; ++i) {
      float expected = row_cosine(query_view, query_norm, matrix, i);
      const ScoredPair& pair = out[i - first];
      ASSERT_EQ(pair.index, i);
      ASSERT_EQ(std::bit_cast<uint32_t>(pair.score), std::bit_cast<uint32_t>(expected))
          << "row " << i << " of [" << first << ", " << last << ") dim " << dim << " query "
          << query.size() << ": " << pair.score << " vs " << expected;
    }
    EXPECT_EQ(out[last - first].index, ~0ull) << "wrote past the end of its window";
  }
};

// Row tails (any count of rows, from any first row) and column tails (any
// width, including widths that are not a multiple of the vector step).
TEST_P(RowScorerTest, EveryRowCountAndWidthMatchesScalar) {
  std::vector<uint64_t> dims;
  for (uint64_t d = 1; d <= 70; ++d) dims.push_back(d);
  for (uint64_t d : {127, 128, 129, 384, 385, 768}) dims.push_back(d);
  std::vector<uint64_t> counts;
  for (uint64_t n = 0; n <= 40; ++n) counts.push_back(n);
  for (uint64_t n : {47, 63, 64, 65, 97, 130}) counts.push_back(n);
  std::mt19937 rng(7);
  for (uint64_t dim : dims) {
    constexpr uint64_t kRows = 133;
    std::vector<float> values = make_values(Values::kRandom, kRows, dim, rng);
    std::vector<float> query = make_query(Values::kRandom, dim, rng);
    float query_norm = norm_of(query);
    for (uint64_t n : counts) {
      expect_matches_scalar(query, query_norm, values, dim, 0, n);
      expect_matches_scalar(query, query_norm, values, dim, kRows - n, kRows);
    }
  }
}

// Where the rows start within a cache line decides how the columns are cut
// into steps; at widths that are a multiple of a line all rows share it.
TEST_P(RowScorerTest, RowsStartingAnywhereInALineMatchScalar) {
  std::mt19937 rng(23);
  for (uint64_t dim : {16, 24, 48, 512, 1024}) {
    std::vector<float> rows = make_values(Values::kRandom, 70, dim, rng);
    std::vector<float> query = make_query(Values::kRandom, dim - 5, rng);
    for (uint64_t offset = 0; offset < 16; ++offset) {
      // `offset` values in no row come first: the first row starts after them.
      std::vector<float> values(offset, 9.0f);
      values.insert(values.end(), rows.begin(), rows.end());
      expect_matches_scalar(query, norm_of(query), values, dim, 0, 70, kDefaultMxcsr, offset);
    }
  }
}

// The dot product covers min(query, dim) columns; the rest of a longer row
// only counts in its norm, and the rest of a longer query is not read.
TEST_P(RowScorerTest, QueryShorterOrLongerThanRowsMatchesScalar) {
  std::mt19937 rng(11);
  for (uint64_t dim : {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 63, 64, 65, 130, 385}) {
    std::vector<float> values = make_values(Values::kRandom, 70, dim, rng);
    for (uint64_t size :
         {uint64_t{0}, uint64_t{1}, uint64_t{2}, dim / 2, dim - 1, dim + 1, dim + 3, 2 * dim + 5}) {
      std::vector<float> query = make_query(Values::kRandom, size, rng);
      float query_norm = size == 0 ? 1.0f : norm_of(query);
      for (uint64_t n : {1, 15, 17, 33, 70}) {
        expect_matches_scalar(query, query_norm, values, dim, 0, n);
      }
    }
  }
}

struct ValuesCase {
  Values values;
  uint64_t dim;
};

// Zeros, NaNs of both signs with their payloads, infinities, denormals and
// squares that overflow or underflow, in the rows and in the query.
TEST_P(RowScorerTest, SpecialValuesMatchScalar) {
  std::mt19937 rng(13);
  for (ValuesCase c : {ValuesCase{Values::kSpecial, 5}, ValuesCase{Values::kSpecial, 37},
                       ValuesCase{Values::kSpecial, 128}, ValuesCase{Values::kRowKinds, 3},
                       ValuesCase{Values::kRowKinds, 64}, ValuesCase{Values::kRowKinds, 131}}) {
    for (int round = 0; round < 4; ++round) {
      std::vector<float> values = make_values(c.values, 100, c.dim, rng);
      std::vector<float> query = make_query(c.values, c.dim + round % 2, rng);
      // Besides the real norm: norms that are NaN (with a payload of their
      // own), infinite, zero and denormal.
      for (float query_norm : {norm_of(query), quiet_nan(false, 77), quiet_nan(true, 78),
                               float{INFINITY}, 0.0f, 1e-41f}) {
        expect_matches_scalar(query, query_norm, values, c.dim, 0, 100);
        expect_matches_scalar(query, query_norm, values, c.dim, 3, 12);
      }
    }
  }
}

// Several NaNs in the query with distinct payloads: the first one's payload
// must win, which breaks if any add or multiply had its operands swapped.
TEST_P(RowScorerTest, FirstNanPayloadOfTheDotProductWins) {
  for (uint64_t dim : {4, 8, 9, 16, 33}) {
    std::vector<float> query(dim, 1.0f);
    for (uint64_t j = 0; j < dim; j += 2) query[j] = quiet_nan(j % 4 == 0, 0x100 + j);
    std::vector<float> values(40 * dim, 0.5f);
    expect_matches_scalar(query, 2.0f, values, dim, 0, 40);
    GuardedValues guarded_values(values);
    FlatMatrixView matrix{VectorView{guarded_values.data(), values.size()}, dim};
    std::vector<ScoredPair> out(40);
    score_rows_with(GetParam(), VectorView{query.data(), dim}, 2.0f, matrix, 0, 40, out.data());
    for (const ScoredPair& pair : out) {
      EXPECT_EQ(std::bit_cast<uint32_t>(pair.score), std::bit_cast<uint32_t>(query[0]));
    }
  }
}

// Another library in the process may have set flush-to-zero, denormals-are-
// zero, another rounding mode or unmasked exceptions; none may change a score.
TEST_P(RowScorerTest, CallersFloatingPointEnvironmentChangesNothing) {
  constexpr unsigned kFlushToZero = 0x8000;
  constexpr unsigned kDenormalsAreZero = 0x0040;
  constexpr unsigned kRoundTowardZero = 0x6000;
  constexpr unsigned kRoundUp = 0x4000;
  constexpr unsigned kDivideByZeroUnmasked = 0x1F80 & ~0x0200u;
  std::mt19937 rng(17);
  for (unsigned mxcsr :
       {kDefaultMxcsr | kFlushToZero, kDefaultMxcsr | kDenormalsAreZero,
        kDefaultMxcsr | kFlushToZero | kDenormalsAreZero, kDefaultMxcsr | kRoundTowardZero,
        kDefaultMxcsr | kRoundUp, kDivideByZeroUnmasked}) {
    for (uint64_t dim : {3, 19, 64}) {
      std::vector<float> values = make_values(Values::kRowKinds, 50, dim, rng);
      std::vector<float> query = make_query(Values::kRandom, dim, rng);
      for (float& x : query) x *= 1e-20f;  // denormal products in every row
      expect_matches_scalar(query, norm_of(query), values, dim, 0, 50, mxcsr);
    }
  }
}

TEST_P(RowScorerTest, RangeOutsideTheMatrixPanics) {
  std::vector<float> values(10 * 4 + 3, 1.0f);  // 10 rows; 3 values in no row
  std::vector<float> query(4, 1.0f);
  FlatMatrixView matrix{VectorView{values.data(), values.size()}, 4};
  std::vector<ScoredPair> out(16);
  struct Range {
    uint64_t first, last;
  };
  for (Range range : {Range{0, 11}, Range{5, 4}, Range{11, 11}}) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(score_rows_with(GetParam(), VectorView{query.data(), 4}, 2.0f, matrix, range.first,
                                 range.last, out.data()),
                 PanicError);
    note_panic_caught();
    testing::internal::GetCapturedStderr();
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, RowScorerTest,
                         testing::Values(RowScorerKind::kScalar, RowScorerKind::kAvx2,
                                         RowScorerKind::kAvx512),
                         [](const testing::TestParamInfo<RowScorerKind>& info) {
                           switch (info.param) {
                             case RowScorerKind::kScalar:
                               return std::string("Scalar");
                             case RowScorerKind::kAvx2:
                               return std::string("Avx2");
                             case RowScorerKind::kAvx512:
                               return std::string("Avx512");
                           }
                           return std::string("Unknown");
                         });

// score_rows() is the entry the engine calls: the preferred variant, with
// the environment guard around it.
TEST(RowScorerEntryTest, ScoresUnderFlushToZeroLikeTheScalarChain) {
  std::mt19937 rng(19);
  std::vector<float> values = make_values(Values::kRowKinds, 45, 21, rng);
  std::vector<float> query = make_query(Values::kRandom, 21, rng);
  for (float& x : query) x *= 1e-20f;
  float query_norm = norm_of(query);
  FlatMatrixView matrix{VectorView{values.data(), values.size()}, 21};
  std::vector<ScoredPair> out(45);
  {
    ScopedMxcsr environment(kDefaultMxcsr | 0x8040);
    score_rows(VectorView{query.data(), query.size()}, query_norm, matrix, 0, 45, out.data());
    EXPECT_EQ(_mm_getcsr() & ~kMxcsrFlags, (kDefaultMxcsr | 0x8040) & ~kMxcsrFlags);
  }
  for (uint64_t i = 0; i < 45; ++i) {
    float expected = row_cosine(VectorView{query.data(), query.size()}, query_norm, matrix, i);
    EXPECT_EQ(std::bit_cast<uint32_t>(out[i].score), std::bit_cast<uint32_t>(expected)) << i;
  }
}

}  // namespace
}  // namespace velk::similarity
