// row_scorer_bench [--rows N] [--dim D] [--repeats R] [--offset F] [--scalar] [--cpu-time]
//
// Times score_rows() over a matrix in memory, on one thread and on two (the
// rows split in halves, one std::thread each), against a plain streaming sum
// over the same matrix: the memory-bandwidth limit the scorer aims for. Each
// figure is the median of R runs (the best in brackets); ratios are scorer
// bandwidth / stream bandwidth at the same thread count, from the medians.
// With --cpu-time, a run's time is the longest processor time any of its
// threads used instead of wall time: less disturbed by other work on a busy
// machine (memory traffic still is). --offset F starts the matrix F floats
// past a cache line.
#include <emmintrin.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "src/runtime/alloc.h"
#include "src/similarity/row_scorer.h"

namespace {

using velk::similarity::FlatMatrixView;
using velk::similarity::RowScorerKind;
using velk::similarity::ScoredPair;
using velk::similarity::VectorView;

// Reads every value once; eight independent sums so that the adds never
// hold the loads back. The result is kept so the reads cannot be dropped.
float stream_sum(const float* values, uint64_t count) {
  __m128 sums[8];
  for (__m128& s : sums) s = _mm_setzero_ps();
  uint64_t i = 0;
  for (; i + 32 <= count; i += 32) {
    for (int k = 0; k < 8; ++k) sums[k] = _mm_add_ps(sums[k], _mm_loadu_ps(values + i + 4 * k));
  }
  float total = 0.0f;
  for (; i < count; ++i) total += values[i];
  alignas(16) float lanes[4];
  for (__m128& s : sums) {
    _mm_store_ps(lanes, s);
    total += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
  return total;
}

bool use_cpu_time = false;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs work(first, last) over [0, rows) split in `threads` contiguous parts
// and returns the time in seconds (wall, or the largest thread CPU time).
double time_split(uint64_t rows, int threads, const std::function<void(uint64_t, uint64_t)>& work) {
  std::vector<double> cpu(threads);
  auto part = [&](int t) {
    double start = thread_cpu_seconds();
    work(rows * t / threads, rows * (t + 1) / threads);
    cpu[t] = thread_cpu_seconds() - start;
  };
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> helpers;
  for (int t = 1; t < threads; ++t) helpers.emplace_back(part, t);
  part(0);
  for (std::thread& helper : helpers) helper.join();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return use_cpu_time ? *std::max_element(cpu.begin(), cpu.end()) : wall;
}

const char* kind_name(RowScorerKind kind) {
  switch (kind) {
    case RowScorerKind::kScalar:
      return "scalar";
    case RowScorerKind::kAvx2:
      return "avx2";
    case RowScorerKind::kAvx512:
      return "avx512";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t rows = 1'000'000;
  uint64_t dim = 384;
  int repeats = 7;
  bool with_scalar = false;
  uint64_t offset = 0;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--rows") == 0 && a + 1 < argc) {
      rows = std::strtoull(argv[++a], nullptr, 10);
    } else if (std::strcmp(argv[a], "--dim") == 0 && a + 1 < argc) {
      dim = std::strtoull(argv[++a], nullptr, 10);
    } else if (std::strcmp(argv[a], "--repeats") == 0 && a + 1 < argc) {
      repeats = std::atoi(argv[++a]);
    } else if (std::strcmp(argv[a], "--offset") == 0 && a + 1 < argc) {
      offset = std::strtoull(argv[++a], nullptr, 10);
    } else if (std::strcmp(argv[a], "--scalar") == 0) {
      with_scalar = true;
    } else if (std::strcmp(argv[a], "--cpu-time") == 0) {
      use_cpu_time = true;
    } else {
      std::fprintf(
          stderr,
          "usage: %s [--rows N] [--dim D] [--repeats R] [--offset F] [--scalar] [--cpu-time]\n",
          argv[0]);
      return 2;
    }
  }
  if (dim == 0 || rows == 0 || repeats < 1 || offset > 15) return 2;

  uint64_t count = rows * dim;
  // --offset F starts the matrix F floats past a cache line, as numpy's large
  // arrays start 16 bytes (F = 4) past one.
  auto* values = static_cast<float*>(velk::allocate_or_abort((count + offset) * sizeof(float), 64));
  values += offset;
  uint32_t state = 12345;
  for (uint64_t i = 0; i < count; ++i) {
    state = state * 1664525u + 1013904223u;
    values[i] = static_cast<float>(static_cast<int32_t>(state >> 8) - (1 << 23)) / (1 << 23);
  }
  std::vector<float> query(values, values + dim);
  float query_norm = 1.0f;
  FlatMatrixView matrix{VectorView{values, count}, dim};
  std::vector<ScoredPair> out(rows);
  double gigabytes = static_cast<double>(count) * sizeof(float) / 1e9;

  std::printf("rows %llu, dim %llu, %.2f GB, median of %d, %s time\n",
              static_cast<unsigned long long>(rows), static_cast<unsigned long long>(dim),
              gigabytes, repeats, use_cpu_time ? "thread cpu" : "wall");
  // One case per line of output; the repeats of all cases are interleaved so
  // that a change in the machine's load affects them alike.
  struct Case {
    const char* name;
    int threads;
    std::function<void(uint64_t, uint64_t)> work;
    std::vector<double> times;
    double median() const {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      return sorted[sorted.size() / 2];
    }
    double best() const { return *std::min_element(times.begin(), times.end()); }
  };
  volatile float sink = 0.0f;
  std::vector<Case> cases;
  for (int threads : {1, 2}) {
    cases.push_back({"stream sum",
                     threads,
                     [&](uint64_t first, uint64_t last) {
                       sink = sink + stream_sum(values + first * dim, (last - first) * dim);
                     },
                     {}});
  }
  std::vector<RowScorerKind> kinds = {RowScorerKind::kAvx2, RowScorerKind::kAvx512};
  if (with_scalar) kinds.insert(kinds.begin(), RowScorerKind::kScalar);
  for (RowScorerKind kind : kinds) {
    if (!velk::similarity::row_scorer_supported(kind)) continue;
    for (int threads : {1, 2}) {
      cases.push_back({kind_name(kind),
                       threads,
                       [&, kind](uint64_t first, uint64_t last) {
                         velk::similarity::score_rows_with(kind, VectorView{query.data(), dim},
                                                           query_norm, matrix, first, last,
                                                           out.data() + first);
                       },
                       {}});
    }
  }
  for (int r = 0; r < repeats; ++r) {
    for (Case& c : cases) c.times.push_back(time_split(rows, c.threads, c.work));
  }
  // Shares are of medians: now and then one streaming read runs far faster
  // than the rest on a machine that shares its memory bandwidth, and a
  // best-of ratio would then depend on luck.
  double stream[3] = {cases[0].median(), cases[0].median(), cases[1].median()};
  for (const Case& c : cases) {
    std::printf("  %-12s %d thread%s %9.3f ms (best %7.3f) %6.1f GB/s  %.2f of stream\n", c.name,
                c.threads, c.threads == 1 ? " " : "s", c.median() * 1e3, c.best() * 1e3,
                gigabytes / c.median(), stream[c.threads] / c.median());
  }
  velk::release_allocation(values - offset);
  return 0;
}
