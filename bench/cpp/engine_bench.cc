// engine_bench [--queries Q] [--rows N] [--dim D] [--k K] [--repeats R] [--type f32|f16|bf16]
//              [--kernel scalar|avx2|avx512] [--allowed FRACTION] [--probe 1]
//              [--block ROWS] [--inline PAIRS] [--offset BYTES] [--paired 1]
//
// Times search_top_k() on the global pool (RAYON_NUM_THREADS sets its size)
// and prints the median and best of R calls, with the rate in multiply-add
// pairs (queries x rows x dim) per second and in matrix bytes per second.
// --inline sets the work (multiply-add pairs) below which a call runs on the
// calling thread; by default every call goes to the pool.
// The defaults are the batch case: 256 queries x 200,000 x 384, k = 10.
// The rate per processor-second (all threads' time, from getrusage) is also
// given: on a busy machine it says more about the kernel than wall time.
// --offset places the matrix that many bytes (mod 64) past a cache line, as
// numpy places large arrays 16 bytes past one.
// --paired 1 searches the matrix against its own rows (--queries is ignored)
// with search_top_k_paired_with(); the rate counts every (query, row) pair.
// --probe 1 first measures this thread's multiply-add peak under the same
// rules (separate vmulps and vaddps into 24 independent 512-bit
// accumulators, no loads): the ceiling of the batch kernel's rate per thread.
#include <immintrin.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "src/engine/elements.h"
#include "src/engine/search.h"
#include "src/runtime/alloc.h"

namespace {

using velk::engine::ElementType;
using velk::engine::KernelKind;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Multiply-add pairs (16 lanes each) per second of processor time on this
// thread, for `steps` steps of 24 chains (named one by one, so that every
// accumulator stays in a register). The multiply is volatile: with the same
// operands every time, the compiler would otherwise keep one product for all
// the adds and the probe would count twice the pairs it ran.
#define VELK_PROBE_STEP(a)                                              \
  do {                                                                  \
    __m512 product;                                                     \
    asm volatile("vmulps %1, %2, %0" : "=v"(product) : "v"(x), "v"(y)); \
    asm("vaddps %1, %0, %0" : "+v"(a) : "v"(product));                  \
  } while (0)
__attribute__((target("avx512f"))) double probe_pairs_per_cpu_second(uint64_t steps) {
  __m512 a0 = _mm512_set1_ps(1.0f), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0,
         a8 = a0, a9 = a0, a10 = a0, a11 = a0, a12 = a0, a13 = a0, a14 = a0, a15 = a0, a16 = a0,
         a17 = a0, a18 = a0, a19 = a0, a20 = a0, a21 = a0, a22 = a0, a23 = a0;
  const __m512 x = _mm512_set1_ps(0.999f);
  const __m512 y = _mm512_set1_ps(1e-9f);
  const double start = cpu_seconds();
  for (uint64_t s = 0; s < steps; ++s) {
    VELK_PROBE_STEP(a0);
    VELK_PROBE_STEP(a1);
    VELK_PROBE_STEP(a2);
    VELK_PROBE_STEP(a3);
    VELK_PROBE_STEP(a4);
    VELK_PROBE_STEP(a5);
    VELK_PROBE_STEP(a6);
    VELK_PROBE_STEP(a7);
    VELK_PROBE_STEP(a8);
    VELK_PROBE_STEP(a9);
    VELK_PROBE_STEP(a10);
    VELK_PROBE_STEP(a11);
    VELK_PROBE_STEP(a12);
    VELK_PROBE_STEP(a13);
    VELK_PROBE_STEP(a14);
    VELK_PROBE_STEP(a15);
    VELK_PROBE_STEP(a16);
    VELK_PROBE_STEP(a17);
    VELK_PROBE_STEP(a18);
    VELK_PROBE_STEP(a19);
    VELK_PROBE_STEP(a20);
    VELK_PROBE_STEP(a21);
    VELK_PROBE_STEP(a22);
    VELK_PROBE_STEP(a23);
    asm volatile("" ::: "memory");
  }
  const double elapsed = cpu_seconds() - start;
  const __m512 sum =
      _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)),
                                  _mm512_add_ps(_mm512_add_ps(a4, a5), _mm512_add_ps(a6, a7))),
                    _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a8, a9), _mm512_add_ps(a10, a11)),
                                  _mm512_add_ps(_mm512_add_ps(a12, a13), _mm512_add_ps(a14, a15))));
  const __m512 rest =
      _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a16, a17), _mm512_add_ps(a18, a19)),
                    _mm512_add_ps(_mm512_add_ps(a20, a21), _mm512_add_ps(a22, a23)));
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, _mm512_add_ps(sum, rest));
  if (lanes[0] == 1.0f) std::puts("");
  return static_cast<double>(steps) * 24.0 * 16.0 / elapsed;
}
#undef VELK_PROBE_STEP

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t queries = 256, rows = 200000, dim = 384, k = 10, repeats = 5, offset = 0;
  double allowed_fraction = 1.0;
  bool probe = false;
  bool paired = false;
  ElementType type = ElementType::kFloat32;
  velk::engine::SearchPlan plan = velk::engine::default_plan();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--queries") queries = std::strtoull(value, nullptr, 10);
    if (flag == "--rows") rows = std::strtoull(value, nullptr, 10);
    if (flag == "--dim") dim = std::strtoull(value, nullptr, 10);
    if (flag == "--k") k = std::strtoull(value, nullptr, 10);
    if (flag == "--repeats") repeats = std::strtoull(value, nullptr, 10);
    if (flag == "--allowed") allowed_fraction = std::strtod(value, nullptr);
    if (flag == "--inline") plan.inline_pairs = std::strtoull(value, nullptr, 10);
    if (flag == "--block") plan.block_rows = std::strtoull(value, nullptr, 10);
    if (flag == "--offset") offset = std::strtoull(value, nullptr, 10) % 64;
    if (flag == "--probe") probe = std::strtoull(value, nullptr, 10) != 0;
    if (flag == "--paired") paired = std::strtoull(value, nullptr, 10) != 0;
    if (flag == "--type") {
      const std::string t = value;
      type = t == "f16" ? ElementType::kFloat16
                        : (t == "bf16" ? ElementType::kBFloat16 : ElementType::kFloat32);
    }
    if (flag == "--kernel") {
      const std::string kind = value;
      plan.kernel = kind == "scalar" ? KernelKind::kScalar
                                     : (kind == "avx2" ? KernelKind::kAvx2 : KernelKind::kAvx512);
    }
  }
  if (probe) {
    std::printf("multiply-add peak of one thread: %.1f G pairs per cpu-second\n",
                probe_pairs_per_cpu_second(50000000) * 1e-9);
  }
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const uint64_t element_bytes = type == ElementType::kFloat32 ? 4 : 2;
  // Large blocks on huge pages, as numpy places large arrays: on 4 KiB pages
  // the requests for rows ahead cost far more.
  const uint64_t matrix_bytes = rows * dim * element_bytes;
  auto* storage = static_cast<uint8_t*>(velk::allocate_or_abort(matrix_bytes + 64, 64));
  uint8_t* matrix = storage + offset;
  for (uint64_t i = 0; i < rows * dim; ++i) {
    const float x = uniform(rng);
    if (element_bytes == 4) {
      std::memcpy(matrix + 4 * i, &x, 4);
    } else {
      // Any bit pattern of small magnitude will do for timing.
      const auto half = static_cast<uint16_t>(0x3000 + (rng() & 0x0FFF) + ((rng() & 1) << 15));
      std::memcpy(matrix + 2 * i, &half, 2);
    }
  }
  if (paired) queries = rows;
  std::vector<float> query_values(queries * dim);
  for (float& x : query_values) x = uniform(rng);
  if (paired) {
    for (uint64_t i = 0; i < rows * dim; ++i) {
      if (element_bytes == 4) {
        std::memcpy(&query_values[i], matrix + 4 * i, 4);
      } else {
        uint16_t half;
        std::memcpy(&half, matrix + 2 * i, 2);
        query_values[i] = type == ElementType::kFloat16 ? velk::engine::widen_float16(half)
                                                        : velk::engine::widen_bfloat16(half);
      }
    }
  }
  std::vector<uint8_t> allowed;
  if (allowed_fraction < 1.0) {
    std::bernoulli_distribution keep(allowed_fraction);
    allowed.resize(rows);
    for (uint8_t& a : allowed) a = keep(rng);
  }
  std::vector<int64_t> indices(queries * k);
  std::vector<float> scores(queries * k);
  std::vector<uint64_t> counts(queries);
  const velk::engine::MatrixView view{matrix, rows, dim, type};
  const velk::engine::QueryBlock block{query_values.data(), queries};

  std::vector<double> times;
  double cpu_start = 0.0;
  for (uint64_t r = 0; r < repeats + 1; ++r) {
    if (r == 1) cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    if (paired) {
      velk::engine::search_top_k_paired_with(plan, block, view, k, indices.data(), scores.data(),
                                             counts.data(), velk::engine::Progress{});
    } else {
      velk::engine::search_top_k_with(plan, block, view, k,
                                      allowed.empty() ? nullptr : allowed.data(), indices.data(),
                                      scores.data(), counts.data());
    }
    if (r > 0) times.push_back(seconds_since(start));  // the first call warms up
  }
  const double cpu_per_call = (cpu_seconds() - cpu_start) / static_cast<double>(repeats);
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  const double best = times.front();
  const double pairs = static_cast<double>(queries) * static_cast<double>(rows) * dim;
  std::printf(
      "%llu queries x %llu rows x %llu dim, k %llu: median %.3f ms (best %.3f ms), "
      "%.1f G pairs/s (best %.1f), %.1f GB/s of matrix; %.1f G pairs per cpu-second\n",
      static_cast<unsigned long long>(queries), static_cast<unsigned long long>(rows),
      static_cast<unsigned long long>(dim), static_cast<unsigned long long>(k), median * 1e3,
      best * 1e3, pairs / median * 1e-9, pairs / best * 1e-9,
      static_cast<double>(matrix_bytes) / median * 1e-9, pairs / cpu_per_call * 1e-9);
  velk::release_allocation(storage);
  return 0;
}
