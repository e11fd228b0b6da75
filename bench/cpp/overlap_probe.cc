// overlap_probe [--rows N] [--dim D] [--threads T] [--reps R]
//
// How much computation a one-pass scan can do per byte and still read at the
// speed of a plain streaming read. Each thread reads its half of a matrix
// (N x D floats, 1.5 GB by default) line by line in address order, with the
// lines 32 rows ahead requested into the second-level cache as a scan does,
// and after every kilobyte runs a chain of W dependent vector adds (4 cycles
// each). Printed for each W: the median over interleaved reps of the streaming
// read's time over this read's, so 1.00 means the work was hidden entirely.
//
// The one-query row kernel costs about 100 to 110 cycles per kilobyte of
// float32 rows when they are in cache (engine_bench --queries 1 on a small
// matrix): W = 25 to 28 here.
#include <immintrin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile float g_sink;

__attribute__((target("avx512f"), noinline)) void read_with_work(const float* data, uint64_t first,
                                                                 uint64_t last, int work,
                                                                 uint64_t ahead) {
  __m512 sum = _mm512_setzero_ps();
  __m512 chain = _mm512_setzero_ps();
  for (uint64_t at = first; at + 256 <= last; at += 256) {  // a kilobyte at a time
    for (int line = 0; line < 16; ++line) {
      const float* p = data + at + line * 16;
      if (ahead != 0 && at + ahead + 256 <= last) {
        _mm_prefetch(reinterpret_cast<const char*>(p + ahead), _MM_HINT_T1);
      }
      sum = _mm512_add_ps(sum, _mm512_load_ps(p));
    }
    for (int w = 0; w < work; ++w) chain = _mm512_add_ps(chain, sum);
  }
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, _mm512_add_ps(sum, chain));
  g_sink = lanes[0];
}

double timed_read(const float* data, uint64_t floats, int threads, int work, uint64_t ahead) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    const uint64_t first = floats * t / threads / 256 * 256;
    const uint64_t last = floats * (t + 1) / threads / 256 * 256;
    pool.emplace_back([=] { read_with_work(data, first, last, work, ahead); });
  }
  for (std::thread& thread : pool) thread.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t rows = 1000000, dim = 384;
  int threads = 2, reps = 9;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--rows") rows = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--dim") dim = std::strtoull(argv[i + 1], nullptr, 10);
    if (flag == "--threads") threads = std::atoi(argv[i + 1]);
    if (flag == "--reps") reps = std::atoi(argv[i + 1]);
  }
  if (!__builtin_cpu_supports("avx512f")) {
    std::puts("overlap_probe needs AVX-512");
    return 0;
  }
  const uint64_t floats = rows * dim;
  const uint64_t bytes = (floats * sizeof(float) + (2u << 20) - 1) / (2u << 20) * (2u << 20);
  auto* data = static_cast<float*>(std::aligned_alloc(2u << 20, bytes));
  if (data == nullptr) return 1;
  madvise(data, bytes, MADV_HUGEPAGE);
  for (uint64_t i = 0; i < floats; ++i) data[i] = 1e-3f;
  const uint64_t ahead = 32 * dim;
  const int works[] = {0, 8, 15, 22, 30, 45};
  constexpr int kCases = 1 + static_cast<int>(std::size(works));
  std::vector<double> times[kCases];
  std::mt19937 shuffle(1);
  for (int rep = 0; rep < reps; ++rep) {
    int order[kCases];
    for (int c = 0; c < kCases; ++c) order[c] = c;
    std::shuffle(order, order + kCases, shuffle);
    for (int c : order) {
      usleep(20000);
      // Case 0 is the plain streaming read: no work, no requests.
      times[c].push_back(c == 0 ? timed_read(data, floats, threads, 0, 0)
                                : timed_read(data, floats, threads, works[c - 1], ahead));
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("streaming read: %.1f ms, %.1f GB/s on %d threads\n", median(times[0]) * 1e3,
              floats * 4.0 / median(times[0]) * 1e-9, threads);
  for (int c = 1; c < kCases; ++c) {
    std::vector<double> shares;
    for (int r = 0; r < reps; ++r) shares.push_back(times[0][r] / times[c][r]);
    std::printf("W = %2d adds (%3d cycles) per KB: %.1f ms, %.2f of the streaming read\n",
                works[c - 1], works[c - 1] * 4, median(times[c]) * 1e3, median(shares));
  }
  std::free(data);
}
