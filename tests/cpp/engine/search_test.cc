#include "src/engine/search.h"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "src/engine/elements.h"
#include "src/runtime/cache_line.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/ranking.h"
#include "tests/cpp/testing/floats.h"

namespace velk::engine {
namespace {

using similarity::ranking_key;

// Rounds of the property test; fewer under a sanitizer, which runs it about
// twenty times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kRounds = 8;
constexpr int kConcurrentRepeats = 3;
#else
constexpr int kRounds = 60;
constexpr int kConcurrentRepeats = 20;
#endif

using test::from_bits;

// A test input: the matrix in the element type under test, its widened
// float32 copy (what the model scores), the queries and a filter.
struct Case {
  uint64_t rows = 0;
  uint64_t dim = 0;
  uint64_t queries = 0;
  uint64_t k = 0;
  ElementType type = ElementType::kFloat32;
  std::vector<float> widened;
  std::vector<uint16_t> narrow;
  std::vector<float> query_values;
  std::vector<uint8_t> allowed;  // empty: no filter
  const void* placed = nullptr;   // a copy of the matrix elsewhere, read instead

  MatrixView matrix() const {
    const void* data =
        type == ElementType::kFloat32 ? static_cast<const void*>(widened.data()) : narrow.data();
    return MatrixView{placed != nullptr ? placed : data, rows, dim, type};
  }
};

// One value of a hostile matrix or query: mostly small random numbers, with
// zeros, denormals, huge values, infinities and NaNs of either sign sprinkled.
float hostile_value(std::mt19937_64& rng, int kind) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  switch (kind) {
    case 0:
      return uniform(rng);
    case 1:
      return 0.0f;
    case 2:
      return from_bits(0x00000001u + static_cast<uint32_t>(rng() % 0x7FFFFF));  // denormal
    case 3:
      return uniform(rng) * 1e30f;
    case 4:
      return (rng() & 1) ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
    default:
      return from_bits(((rng() & 1) ? 0xFFC00000u : 0x7FC00000u) |
                       static_cast<uint32_t>(rng() % 0x3FFFFF));
  }
}

// Rows (and queries) come in kinds: random, all zero, tiny, huge, with a NaN
// or an inf, small integers (ties), or a copy of an earlier row (ties).
void fill_vectors(std::mt19937_64& rng, uint64_t count, uint64_t dim, std::vector<float>& out) {
  out.assign(count * dim, 0.0f);
  for (uint64_t i = 0; i < count; ++i) {
    float* v = out.data() + i * dim;
    const int kind = static_cast<int>(rng() % 10);
    for (uint64_t j = 0; j < dim; ++j) {
      if (kind <= 3) {
        v[j] = hostile_value(rng, 0);
      } else if (kind == 4) {
        v[j] = 0.0f;
      } else if (kind == 5) {
        v[j] = hostile_value(rng, static_cast<int>(rng() % 6));
      } else if (kind == 6) {
        v[j] = static_cast<float>(static_cast<int>(rng() % 3) - 1);
      } else if (kind == 7) {
        v[j] = hostile_value(rng, 2);
      } else {
        v[j] = hostile_value(rng, 3);
      }
    }
    if (kind == 8 && i > 0) std::memcpy(v, out.data() + (rng() % i) * dim, dim * sizeof(float));
  }
}

uint16_t narrow_bits(float x, ElementType type, std::mt19937_64& rng) {
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  if (type == ElementType::kBFloat16) return static_cast<uint16_t>(bits >> 16);
  // Any binary16 pattern is a value to widen; draw from the float's bits so
  // that rows repeat when the float rows do.
  (void)rng;
  return static_cast<uint16_t>((bits >> 16) ^ (bits & 0xFFFF));
}

// A random case; of width `dim` where that is not 0.
Case make_case(std::mt19937_64& rng, ElementType type, uint64_t dim = 0) {
  Case c;
  c.type = type;
  // Rows of 4 KiB and more (float32 at 1024 and 1100) take the one-query
  // loop's consecutive groups, narrower ones its stretches.
  static constexpr uint64_t kDims[] = {1, 2, 3, 7, 15, 16, 17, 31, 33, 64, 100, 129, 1024, 1100};
  c.dim = kDims[rng() % std::size(kDims)];
  if (dim != 0) c.dim = dim;
  c.rows = rng() % 200;
  if (rng() % 4 == 0) c.rows += 300 + rng() % 700;
  c.queries = 1 + rng() % 30;
  static constexpr uint64_t kKs[] = {0, 1, 2, 5, 10, 33, 100000};
  c.k = (rng() % 3 == 0) ? c.rows + rng() % 3 : kKs[rng() % std::size(kKs)];
  fill_vectors(rng, c.rows, c.dim, c.widened);
  if (type != ElementType::kFloat32) {
    c.narrow.resize(c.widened.size());
    for (std::size_t i = 0; i < c.widened.size(); ++i) {
      c.narrow[i] = narrow_bits(c.widened[i], type, rng);
      c.widened[i] =
          type == ElementType::kFloat16 ? widen_float16(c.narrow[i]) : widen_bfloat16(c.narrow[i]);
    }
  }
  // Queries: fresh vectors, or copies of rows (exact matches and ties).
  fill_vectors(rng, c.queries, c.dim, c.query_values);
  for (uint64_t q = 0; q < c.queries && c.rows != 0; ++q) {
    if (rng() % 4 == 0) {
      std::memcpy(c.query_values.data() + q * c.dim, c.widened.data() + (rng() % c.rows) * c.dim,
                  c.dim * sizeof(float));
    }
  }
  const int filter = static_cast<int>(rng() % 4);
  if (filter != 0) {
    // Dense, sparse, or in runs (whole blocks allowed or not).
    c.allowed.resize(c.rows);
    for (uint64_t i = 0; i < c.rows; ++i) {
      if (filter == 1) c.allowed[i] = rng() % 2;
      if (filter == 2) c.allowed[i] = rng() % 20 == 0 ? static_cast<uint8_t>(1 + rng() % 255) : 0;
      if (filter == 3) c.allowed[i] = (i / 70) % 3 == 1;
    }
  }
  return c;
}

struct Result {
  std::vector<int64_t> indices;
  std::vector<uint32_t> score_bits;
  std::vector<uint64_t> counts;
};

struct Ranked {
  int32_t key;
  uint64_t index;
  float score;
};

// The model: every allowed row scored alone by the single-query chain, all
// sorted by (key descending, index ascending); none for a zero query.
std::vector<std::vector<Ranked>> model_ranking(const Case& c) {
  std::vector<std::vector<Ranked>> all(c.queries);
  const similarity::FlatMatrixView matrix{{c.widened.data(), c.widened.size()}, c.dim};
  for (uint64_t q = 0; q < c.queries; ++q) {
    const similarity::VectorView query{c.query_values.data() + q * c.dim, c.dim};
    const float squares = similarity::squared_norm(query);
    if (squares == 0.0f) continue;
    const float norm = std::sqrt(squares);
    for (uint64_t i = 0; i < c.rows; ++i) {
      if (!c.allowed.empty() && c.allowed[i] == 0) continue;
      const float score = similarity::row_cosine(query, norm, matrix, i);
      all[q].push_back(Ranked{ranking_key(score), i, score});
    }
    std::sort(all[q].begin(), all[q].end(), [](const Ranked& a, const Ranked& b) {
      return a.key != b.key ? a.key > b.key : a.index < b.index;
    });
  }
  return all;
}

// The model's top k: the first k of each ranking.
Result model_search(const Case& c, const std::vector<std::vector<Ranked>>& ranking) {
  Result r;
  r.counts.assign(c.queries, 0);
  r.indices.assign(c.queries * c.k, -1);
  r.score_bits.assign(c.queries * c.k, 0xDEADBEEF);
  for (uint64_t q = 0; q < c.queries; ++q) {
    const uint64_t kept = std::min<uint64_t>(c.k, ranking[q].size());
    r.counts[q] = kept;
    for (uint64_t j = 0; j < kept; ++j) {
      r.indices[q * c.k + j] = static_cast<int64_t>(ranking[q][j].index);
      r.score_bits[q * c.k + j] = std::bit_cast<uint32_t>(ranking[q][j].score);
    }
  }
  return r;
}

// The model's threshold search: each ranking's rows with score >= threshold,
// as (lims, indices, score bits).
Result model_range(const std::vector<std::vector<Ranked>>& ranking, float threshold) {
  Result r;
  r.counts.push_back(0);
  for (const std::vector<Ranked>& rows : ranking) {
    for (const Ranked& row : rows) {
      if (!(row.score >= threshold)) continue;
      r.indices.push_back(static_cast<int64_t>(row.index));
      r.score_bits.push_back(std::bit_cast<uint32_t>(row.score));
    }
    r.counts.push_back(r.indices.size());
  }
  return r;
}

Result engine_range(const Case& c, const SearchPlan& plan, float threshold) {
  const QueryBlock queries{c.query_values.data(), c.queries};
  RangeResult found = search_range_with(plan, queries, c.matrix(), threshold,
                                        c.allowed.empty() ? nullptr : c.allowed.data());
  Result r;
  r.counts.assign(found.lims.begin(), found.lims.end());
  r.indices.assign(found.indices.begin(), found.indices.end());
  for (float s : found.scores) r.score_bits.push_back(std::bit_cast<uint32_t>(s));
  return r;
}

// A threshold that cuts somewhere interesting: a score that occurs (ties at
// the threshold), a zero of either sign, or beyond every score.
float pick_threshold(std::mt19937_64& rng, const std::vector<std::vector<Ranked>>& ranking) {
  switch (rng() % 6) {
    case 0:
      return 0.0f;
    case 1:
      return -0.0f;
    case 2:
      return -std::numeric_limits<float>::infinity();
    case 3:
      return 0.9f;
    default:
      for (const std::vector<Ranked>& rows : ranking) {
        if (rows.empty()) continue;
        const float score = rows[rng() % rows.size()].score;
        if (!std::isnan(score)) return score;
      }
      return 0.5f;
  }
}

// Records the progress reports of a call: each on the calling thread, done
// growing to the total.
struct ProgressLog {
  std::thread::id caller = std::this_thread::get_id();
  uint64_t reports = 0;
  uint64_t done = 0;
  uint64_t total = 0;
  bool in_order = true;

  static bool record(void* context, uint64_t done, uint64_t total) {
    auto* log = static_cast<ProgressLog*>(context);
    log->in_order &= std::this_thread::get_id() == log->caller && done > log->done &&
                     done <= total && (log->reports == 0 || total == log->total);
    ++log->reports;
    log->done = done;
    log->total = total;
    return true;
  }
};

Result engine_search(const Case& c, const SearchPlan& plan, uint64_t first_query,
                     uint64_t query_count, ProgressLog* log = nullptr) {
  Result r;
  r.counts.assign(query_count, 12345);
  r.indices.assign(query_count * c.k, -1);
  std::vector<float> scores(query_count * c.k, from_bits(0xDEADBEEF));
  const QueryBlock queries{c.query_values.data() + first_query * c.dim, query_count};
  Progress progress;
  if (log != nullptr) progress = Progress{&ProgressLog::record, log};
  EXPECT_TRUE(search_top_k_with(plan, queries, c.matrix(), c.k,
                                c.allowed.empty() ? nullptr : c.allowed.data(), r.indices.data(),
                                scores.data(), r.counts.data(), progress));
  for (float s : scores) r.score_bits.push_back(std::bit_cast<uint32_t>(s));
  return r;
}

// Sets MXCSR for a scope and puts the old value back.
class ScopedMxcsr {
 public:
  explicit ScopedMxcsr(unsigned value) : saved_(_mm_getcsr()) { _mm_setcsr(value); }
  ~ScopedMxcsr() { _mm_setcsr(saved_); }
  ScopedMxcsr(const ScopedMxcsr&) = delete;
  ScopedMxcsr& operator=(const ScopedMxcsr&) = delete;

 private:
  unsigned saved_;
};

std::vector<KernelKind> supported_kernels() {
  std::vector<KernelKind> kinds;
  for (KernelKind kind : {KernelKind::kScalar, KernelKind::kAvx2, KernelKind::kAvx512}) {
    if (kernel_supported(kind)) kinds.push_back(kind);
  }
  return kinds;
}

// Where a query element and a row element are both NaN, the factors' order
// decides the product's payload, and some kernels multiply column first; the
// results still equal the model's on every path, because such a row scores
// +0.0. The queries have NaNs at a few columns and many rows have other NaNs
// at the same ones.
TEST(SearchTest, QueryNaNPayloadsWhereRowsAreNaNToo) {
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 24; ++round) {
    Case c;
    c.dim = 1 + rng() % 70;
    c.rows = 16 + rng() % 300;
    c.queries = 1 + round % 3;
    c.k = c.rows;
    std::vector<bool> nan_column(c.dim);
    for (uint64_t j = 0; j < c.dim; ++j) nan_column[j] = rng() % 4 == 0;
    auto fill = [&](uint64_t count, std::vector<float>& out, unsigned nan_share) {
      out.resize(count * c.dim);
      for (uint64_t i = 0; i < count; ++i) {
        for (uint64_t j = 0; j < c.dim; ++j) {
          const bool nan = nan_column[j] && rng() % nan_share == 0;
          out[i * c.dim + j] = hostile_value(rng, nan ? 5 : 0);
        }
      }
    };
    fill(c.rows, c.widened, 2);
    fill(c.queries, c.query_values, 1);
    const Result expected = model_search(c, model_ranking(c));
    for (KernelKind kind : supported_kernels()) {
      SearchPlan plan;
      plan.kernel = kind;
      plan.inline_pairs = round % 2 == 0 ? 0 : std::numeric_limits<uint64_t>::max();
      SCOPED_TRACE("round " + std::to_string(round) + " kernel " +
                   std::to_string(static_cast<int>(kind)));
      const Result all = engine_search(c, plan, 0, c.queries);
      ASSERT_EQ(all.indices, expected.indices);
      ASSERT_EQ(all.score_bits, expected.score_bits);
      for (uint64_t q = 0; q < c.queries; ++q) {
        const Result one = engine_search(c, plan, q, 1);
        for (uint64_t slot = 0; slot < c.k; ++slot) {
          ASSERT_EQ(one.indices[slot], expected.indices[q * c.k + slot]);
          ASSERT_EQ(one.score_bits[slot], expected.score_bits[q * c.k + slot]);
        }
      }
    }
  }
}

// The whole result (indices, score bits, counts, untouched slots) equals the
// model's for every kernel, block size, inline or pooled run, and for the
// queries searched all together or split in two batches; so does a threshold
// search.
TEST(SearchTest, EqualsModelOverRandomShapes) {
  std::mt19937_64 rng(20261207);
  const ElementType types[] = {ElementType::kFloat32, ElementType::kFloat16,
                               ElementType::kBFloat16};
  for (int round = 0; round < kRounds; ++round) {
    const Case c = make_case(rng, types[round % 3]);
    const std::vector<std::vector<Ranked>> ranking = model_ranking(c);
    const Result expected = model_search(c, ranking);
    const float threshold = pick_threshold(rng, ranking);
    const Result expected_range = model_range(ranking, threshold);
    // Every other round the caller runs with flush-to-zero, denormals-are-
    // zero and rounding down (as a library built with fast-math leaves it):
    // the scores must not change, and the caller's setting must come back.
    const unsigned caller_mxcsr = round % 2 == 0 ? 0x1F80u : 0x1F80u | 0x8040u | 0x2000u;
    ScopedMxcsr environment(caller_mxcsr);
    for (KernelKind kind : supported_kernels()) {
      for (uint64_t block_rows : {uint64_t{0}, uint64_t{32}, uint64_t{96}}) {
        SearchPlan plan;
        plan.kernel = kind;
        plan.block_rows = block_rows;
        plan.inline_pairs =
            (round + block_rows) % 2 == 0 ? 0 : std::numeric_limits<uint64_t>::max();
        // A call on the calling thread offers half of its rows to the pool
        // in some rounds: whichever thread runs it, the result is the same.
        plan.shared_pairs = round % 3 == 0 ? 0 : std::numeric_limits<uint64_t>::max();
        // One to a few steps (each one a round trip through the pool).
        plan.step_pairs = c.queries * c.rows * c.dim / (1 + rng() % 4) + 1;
        // A threshold search's rows sorted on the pool, in pieces of a few.
        plan.pool_sort_rows = 1 + rng() % 64;
        const std::string where = "round " + std::to_string(round) + " kernel " +
                                  std::to_string(static_cast<int>(kind)) + " block " +
                                  std::to_string(block_rows) + " rows " + std::to_string(c.rows) +
                                  " dim " + std::to_string(c.dim) + " k " + std::to_string(c.k);
        SCOPED_TRACE(where);
        // In steps, with progress reports where the work is not trivial.
        ProgressLog log;
        const Result all = engine_search(c, plan, 0, c.queries, &log);
        EXPECT_TRUE(log.in_order);
        if (c.k != 0 && c.rows != 0 && log.reports != 0) {
          EXPECT_EQ(log.done, log.total);
        }
        ASSERT_EQ(all.counts, expected.counts);
        ASSERT_EQ(all.indices, expected.indices);
        ASSERT_EQ(all.score_bits, expected.score_bits);
        // A query's result does not depend on the batch it came in.
        const uint64_t split = rng() % (c.queries + 1);
        const Result head = engine_search(c, plan, 0, split);
        const Result tail = engine_search(c, plan, split, c.queries - split);
        Result joined;
        for (const Result* part : {&head, &tail}) {
          joined.counts.insert(joined.counts.end(), part->counts.begin(), part->counts.end());
          joined.indices.insert(joined.indices.end(), part->indices.begin(), part->indices.end());
          joined.score_bits.insert(joined.score_bits.end(), part->score_bits.begin(),
                                   part->score_bits.end());
        }
        ASSERT_EQ(joined.counts, expected.counts);
        ASSERT_EQ(joined.indices, expected.indices);
        ASSERT_EQ(joined.score_bits, expected.score_bits);
        // One query alone takes the one-query path through the rows.
        const uint64_t q = rng() % c.queries;
        const Result one = engine_search(c, plan, q, 1);
        ASSERT_EQ(one.counts[0], expected.counts[q]);
        for (uint64_t slot = 0; slot < c.k; ++slot) {
          ASSERT_EQ(one.indices[slot], expected.indices[q * c.k + slot]);
          ASSERT_EQ(one.score_bits[slot], expected.score_bits[q * c.k + slot]);
        }
        // Every row at or above a threshold, in the same order.
        SCOPED_TRACE("threshold " + std::to_string(threshold));
        const Result range = engine_range(c, plan, threshold);
        ASSERT_EQ(range.counts, expected_range.counts);
        ASSERT_EQ(range.indices, expected_range.indices);
        ASSERT_EQ(range.score_bits, expected_range.score_bits);
        ASSERT_EQ(_mm_getcsr() & ~0x3Fu, caller_mxcsr);
      }
    }
  }
}

// One query's search (`one`) equals query q's part of the model's results.
void expect_query_of(const Result& one, const Result& expected, const Case& c, uint64_t q) {
  ASSERT_EQ(one.counts[0], expected.counts[q]);
  for (uint64_t slot = 0; slot < c.k; ++slot) {
    ASSERT_EQ(one.indices[slot], expected.indices[q * c.k + slot]);
    ASSERT_EQ(one.score_bits[slot], expected.score_bits[q * c.k + slot]);
  }
}

// The one-query scan takes its rows in steps of 16 columns, and with float16
// loads each step while the step before is added up, ending differently
// after an odd and an even number of steps: every count from 1 to 7, with a
// tail of columns and without, for every element type on every kernel,
// equals the model.
TEST(SearchTest, OneQueryOverEveryStepCount) {
  std::mt19937_64 rng(5);
  for (ElementType type : {ElementType::kFloat32, ElementType::kFloat16, ElementType::kBFloat16}) {
    for (uint64_t dim = 16; dim <= 120; dim += 8) {
      Case c = make_case(rng, type, dim);
      c.k = std::max<uint64_t>(c.rows, 1);
      const Result expected = model_search(c, model_ranking(c));
      for (KernelKind kind : supported_kernels()) {
        SearchPlan plan;
        plan.kernel = kind;
        plan.inline_pairs = std::numeric_limits<uint64_t>::max();
        for (uint64_t q = 0; q < c.queries; ++q) {
          SCOPED_TRACE("type " + std::to_string(static_cast<int>(type)) + " dim " +
                       std::to_string(dim) + " rows " + std::to_string(c.rows) + " kernel " +
                       std::to_string(static_cast<int>(kind)) + " query " + std::to_string(q));
          expect_query_of(engine_search(c, plan, q, 1), expected, c, q);
        }
      }
    }
  }
}

// Rows are read in steps that start where the matrix does, or (float32 rows
// a multiple of 4 KiB long, on AVX-512) at the next line after a first
// shorter step: one query and a batch over the matrix at every place in a
// line, for every element type on every kernel, equal the model.
TEST(SearchTest, MatrixAtEveryPlaceInALine) {
  std::mt19937_64 rng(6);
  for (ElementType type : {ElementType::kFloat32, ElementType::kFloat16, ElementType::kBFloat16}) {
    for (uint64_t dim : {1024, 2048, 4096}) {
      Case c = make_case(rng, type, dim);
      c.k = std::max<uint64_t>(c.rows, 1);
      // Unfiltered: a sparse filter sends one query to the batch kernel.
      c.allowed.clear();
      const Result expected = model_search(c, model_ranking(c));
      const uint64_t element = type == ElementType::kFloat32 ? 4 : 2;
      const uint64_t bytes = c.rows * dim * element;
      const auto* values = static_cast<const uint8_t*>(c.matrix().data);
      std::vector<uint8_t> storage(bytes + 2 * kCacheLine);
      const uint64_t line = (kCacheLine - reinterpret_cast<uintptr_t>(storage.data()) % kCacheLine) %
                            kCacheLine;
      for (uint64_t offset = 0; offset < kCacheLine; offset += element) {
        std::memcpy(storage.data() + line + offset, values, bytes);
        c.placed = storage.data() + line + offset;
        for (KernelKind kind : supported_kernels()) {
          SearchPlan plan;
          plan.kernel = kind;
          plan.inline_pairs = std::numeric_limits<uint64_t>::max();
          const uint64_t q = rng() % c.queries;
          SCOPED_TRACE("type " + std::to_string(static_cast<int>(type)) + " dim " +
                       std::to_string(dim) + " rows " + std::to_string(c.rows) + " offset " +
                       std::to_string(offset) + " kernel " +
                       std::to_string(static_cast<int>(kind)) + " query " + std::to_string(q));
          expect_query_of(engine_search(c, plan, q, 1), expected, c, q);
          const Result batch = engine_search(c, plan, 0, c.queries);
          ASSERT_EQ(batch.counts, expected.counts);
          ASSERT_EQ(batch.indices, expected.indices);
          ASSERT_EQ(batch.score_bits, expected.score_bits);
        }
      }
    }
  }
}

// Calls from several threads at once share the pool and each get their own
// exact result: batches, single queries and threshold searches (sorted on the
// pool), over every element type and filter.
TEST(SearchTest, ConcurrentCallsGetTheirOwnResults) {
  std::mt19937_64 rng(11);
  const ElementType types[] = {ElementType::kFloat32, ElementType::kFloat16,
                               ElementType::kBFloat16};
  std::vector<Case> cases;
  std::vector<Result> expected;
  std::vector<float> thresholds;
  std::vector<Result> expected_ranges;
  while (cases.size() < 4) {
    Case c = make_case(rng, types[cases.size() % 3]);
    if (c.rows < 100 || c.k == 0 || c.k > 100) continue;
    const std::vector<std::vector<Ranked>> ranking = model_ranking(c);
    expected.push_back(model_search(c, ranking));
    thresholds.push_back(pick_threshold(rng, ranking));
    expected_ranges.push_back(model_range(ranking, thresholds.back()));
    cases.push_back(std::move(c));
  }
  SearchPlan plan = default_plan();
  plan.inline_pairs = 0;
  plan.block_rows = 32;
  plan.pool_sort_rows = 8;
  // Half the threads run on the pool, half on the calling thread sharing
  // their rows with a worker (which may then linger for the next call, of
  // the same thread or another, while the pool takes other calls).
  SearchPlan shared = plan;
  shared.inline_pairs = std::numeric_limits<uint64_t>::max();
  shared.shared_pairs = 0;
  std::vector<std::thread> threads;
  std::vector<int> matches(cases.size(), 0);
  for (std::size_t t = 0; t < cases.size(); ++t) {
    threads.emplace_back([&, t] {
      const Case& c = cases[t];
      const Result& want = expected[t];
      const SearchPlan& mine = t % 2 == 0 ? plan : shared;
      for (int repeat = 0; repeat < kConcurrentRepeats; ++repeat) {
        bool same = false;
        if (repeat % 3 == 0) {
          const Result r = engine_search(c, mine, 0, c.queries);
          same = r.indices == want.indices && r.score_bits == want.score_bits &&
                 r.counts == want.counts;
        } else if (repeat % 3 == 1) {
          const uint64_t q = static_cast<uint64_t>(repeat) % c.queries;
          const Result r = engine_search(c, mine, q, 1);
          same = r.counts[0] == want.counts[q] &&
                 std::equal(r.indices.begin(), r.indices.end(), want.indices.begin() + q * c.k) &&
                 std::equal(r.score_bits.begin(), r.score_bits.end(),
                            want.score_bits.begin() + q * c.k);
        } else {
          const Result r = engine_range(c, mine, thresholds[t]);
          same = r.counts == expected_ranges[t].counts &&
                 r.indices == expected_ranges[t].indices &&
                 r.score_bits == expected_ranges[t].score_bits;
        }
        matches[t] += same;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int m : matches) EXPECT_EQ(m, kConcurrentRepeats);
}

// A report that says stop ends the call after its first step.
TEST(SearchTest, ProgressReportStopsTheCall) {
  std::mt19937_64 rng(5);
  std::vector<float> matrix;
  std::vector<float> queries;
  fill_vectors(rng, 4000, 16, matrix);
  fill_vectors(rng, 20, 16, queries);
  std::vector<int64_t> indices(20 * 5);
  std::vector<float> scores(20 * 5);
  std::vector<uint64_t> counts(20);
  uint64_t reports = 0;
  auto stop = [](void* context, uint64_t, uint64_t) {
    ++*static_cast<uint64_t*>(context);
    return false;
  };
  SearchPlan plan = default_plan();
  plan.step_pairs = 20 * 256 * 16;
  EXPECT_FALSE(search_top_k_with(
      plan, {queries.data(), 20}, MatrixView{matrix.data(), 4000, 16, ElementType::kFloat32}, 5,
      nullptr, indices.data(), scores.data(), counts.data(), Progress{stop, &reports}));
  EXPECT_EQ(reports, 1u);
  RangeResult range;
  EXPECT_FALSE(search_range_with(plan, {queries.data(), 20},
                                 MatrixView{matrix.data(), 4000, 16, ElementType::kFloat32}, 0.5f,
                                 nullptr, Progress{stop, &reports}, range));
  EXPECT_EQ(reports, 2u);
}

// A zero-width matrix and a NaN threshold are a caller's faults, reported as
// panics.
TEST(SearchTest, BrokenPreconditionsPanic) {
  float query = 1.0f;
  uint64_t count = 0;
  EXPECT_THROW(search_top_k({&query, 1}, MatrixView{&query, 1, 0, ElementType::kFloat32}, 1,
                            nullptr, nullptr, nullptr, &count),
               PanicError);
  EXPECT_THROW(search_range({&query, 1}, MatrixView{&query, 1, 1, ElementType::kFloat32},
                            std::numeric_limits<float>::quiet_NaN(), nullptr),
               PanicError);
}

// The float16 whose value is x (a value float16 holds exactly, or a NaN).
uint16_t float16_bits_of(float x) {
  if (std::isnan(x)) return 0x7E00;
  static const std::vector<std::pair<uint32_t, uint16_t>> table = [] {
    std::vector<std::pair<uint32_t, uint16_t>> all;
    for (uint32_t h = 0; h < 0x10000; ++h) {
      const float v = widen_float16(static_cast<uint16_t>(h));
      if (!std::isnan(v)) all.emplace_back(std::bit_cast<uint32_t>(v), static_cast<uint16_t>(h));
    }
    std::sort(all.begin(), all.end());
    return all;
  }();
  const auto found = std::lower_bound(table.begin(), table.end(),
                                      std::make_pair(std::bit_cast<uint32_t>(x), uint16_t{0}));
  EXPECT_TRUE(found != table.end() && found->first == std::bit_cast<uint32_t>(x));
  return found->second;
}

// A matrix searched against its own rows scores each pair once and gives the
// plain search's results, for every kernel, block size, inline or pooled
// run and element type; it falls back to the plain search (same results)
// where some row has a zero, infinite or NaN norm or the queries are not the
// rows. Small integers and copied rows make equal scores common.
TEST(SearchTest, PairedSearchEqualsModel) {
  std::mt19937_64 rng(20261209);
  const ElementType types[] = {ElementType::kFloat32, ElementType::kFloat16,
                               ElementType::kBFloat16};
  for (int round = 0; round < kRounds; ++round) {
    Case c;
    c.type = types[round % 3];
    c.dim = 1 + rng() % 70;
    c.rows = rng() % 5 == 0 ? rng() % 6 : 4 + rng() % 400;
    c.widened.resize(c.rows * c.dim);
    const bool integers = rng() % 2 == 0;
    for (float& v : c.widened) {
      v = integers ? static_cast<float>(static_cast<int>(rng() % 5) - 2)
                   : std::ldexp(static_cast<float>(static_cast<int>(rng() % 2001) - 1000), -9);
    }
    for (uint64_t i = 0; i < c.rows; ++i) {
      float* row = c.widened.data() + i * c.dim;
      if (i > 0 && rng() % 4 == 0) {
        std::memcpy(row, c.widened.data() + (rng() % i) * c.dim, c.dim * sizeof(float));
      }
      if (std::all_of(row, row + c.dim, [](float v) { return v == 0.0f; })) row[0] = 1.0f;
    }
    // Now and then one row that the paired search cannot take.
    const bool hostile = c.rows != 0 && rng() % 5 == 0;
    if (hostile) {
      const float odd[] = {0.0f, std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity()};
      float* row = c.widened.data() + (rng() % c.rows) * c.dim;
      if (rng() % 2 == 0) {
        std::fill(row, row + c.dim, 0.0f);
      } else {
        row[rng() % c.dim] = odd[1 + rng() % 2];
      }
    }
    if (c.type != ElementType::kFloat32) {
      c.narrow.resize(c.widened.size());
      for (std::size_t i = 0; i < c.widened.size(); ++i) {
        const uint32_t bits = std::bit_cast<uint32_t>(c.widened[i]);
        // Every value above is exact in both 2-byte types.
        c.narrow[i] = c.type == ElementType::kBFloat16
                          ? static_cast<uint16_t>(bits >> 16)
                          : float16_bits_of(c.widened[i]);
        c.widened[i] = c.type == ElementType::kFloat16 ? widen_float16(c.narrow[i])
                                                       : widen_bfloat16(c.narrow[i]);
      }
    }
    c.queries = c.rows;
    c.query_values = c.widened;
    // Now and then queries that are not quite the rows.
    const bool other_queries = c.rows != 0 && rng() % 6 == 0;
    if (other_queries) c.query_values[rng() % c.query_values.size()] += 0.5f;
    static constexpr uint64_t kKs[] = {0, 1, 2, 5, 10, 33, 1000};
    c.k = rng() % 3 == 0 ? c.rows + rng() % 3 : kKs[rng() % std::size(kKs)];
    const Result expected = model_search(c, model_ranking(c));
    const bool pairable = c.k != 0 && c.rows >= 4 && !hostile && !other_queries;
    for (KernelKind kind : supported_kernels()) {
      for (uint64_t block_rows : {uint64_t{0}, uint64_t{32}, uint64_t{96}}) {
        SearchPlan plan;
        plan.kernel = kind;
        plan.block_rows = block_rows;
        plan.inline_pairs = round % 2 == 0 ? 0 : std::numeric_limits<uint64_t>::max();
        plan.shared_pairs = round % 3 == 0 ? 0 : std::numeric_limits<uint64_t>::max();
        plan.step_pairs = c.rows * c.rows * c.dim / (1 + rng() % 4) + 1;
        SCOPED_TRACE("round " + std::to_string(round) + " kernel " +
                     std::to_string(static_cast<int>(kind)) + " block " +
                     std::to_string(block_rows) + " rows " + std::to_string(c.rows) + " dim " +
                     std::to_string(c.dim) + " k " + std::to_string(c.k));
        Result r;
        r.counts.assign(c.queries, 12345);
        r.indices.assign(c.queries * c.k, -1);
        std::vector<float> scores(c.queries * c.k, from_bits(0xDEADBEEF));
        ProgressLog log;
        bool paired = !pairable;
        ASSERT_TRUE(search_top_k_paired_with(
            plan, QueryBlock{c.query_values.data(), c.queries}, c.matrix(), c.k, r.indices.data(),
            scores.data(), r.counts.data(), Progress{&ProgressLog::record, &log}, &paired));
        for (float s : scores) r.score_bits.push_back(std::bit_cast<uint32_t>(s));
        EXPECT_EQ(paired, pairable);
        EXPECT_TRUE(log.in_order);
        if (log.reports != 0) {
          EXPECT_EQ(log.done, log.total);
        }
        ASSERT_EQ(r.counts, expected.counts);
        ASSERT_EQ(r.indices, expected.indices);
        ASSERT_EQ(r.score_bits, expected.score_bits);
      }
    }
  }
}

}  // namespace
}  // namespace velk::engine
