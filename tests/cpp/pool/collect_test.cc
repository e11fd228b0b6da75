#include "src/pool/collect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "src/pool/registry.h"
#include "src/runtime/panic.h"
#include "tests/cpp/testing/subprocess.h"

// The sanitizers' allocators treat a request they cannot serve as an error of
// their own; here it must be a null result, as from the C library.
#define VELK_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))
VELK_SANITIZER_HOOK const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
VELK_SANITIZER_HOOK const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace velk::pool {
namespace {

using test::ChildResult;
using test::in_child_process;
using test::run_self_in_child;

uint64_t scramble(uint64_t i) { return i * 0x9E3779B97F4A7C15ULL ^ (i >> 7); }

// Ranges of 0 or 1 run on the calling thread; anything longer is handed in
// whole, so every item is made on a worker while the caller only waits.
TEST(CollectRangesTest, WhereTheItemsAreMade) {
  for (uint64_t n : {0, 1, 2, 9}) {
    std::mutex lock;
    std::vector<bool> on_worker;
    parallel_map_collect<uint64_t>(n, [&](uint64_t i) {
      std::lock_guard<std::mutex> hold(lock);
      on_worker.push_back(current_worker() != nullptr);
      return i;
    });
    ASSERT_EQ(on_worker.size(), n);
    for (bool w : on_worker) EXPECT_EQ(w, n >= 2) << "n=" << n;
  }
}

TEST(CollectFailureTest, MapFailureReachesTheCallerWithItsMessage) {
  for (uint64_t bad : {uint64_t{0}, uint64_t{499}, uint64_t{999}}) {
    try {
      parallel_map_collect<uint64_t>(1000, [bad](uint64_t i) {
        if (i == bad) panic("row " + std::to_string(i) + " is bad");
        return i;
      });
      ADD_FAILURE() << "no failure for row " << bad;
    } catch (const PanicError& error) {
      note_panic_caught();
      EXPECT_EQ(error.message(), "row " + std::to_string(bad) + " is bad");
    }
  }
  // The pool is still usable afterwards.
  EXPECT_EQ(parallel_map_collect<uint64_t>(10, [](uint64_t i) { return i; }).size(), 10u);
}

// A leaf whose scratch buffer the allocator refuses (no machine maps an
// exbibyte): the same AllocationFailure reaches the caller through the joins,
// the counts balance, and the pool keeps working.
TEST(CollectFailureTest, RefusedLeafBufferReachesTheCallerAsAllocationFailure) {
  constexpr std::size_t kRefused = std::size_t{1} << 60;
  for (uint64_t bad : {uint64_t{0}, uint64_t{499}, uint64_t{999}}) {
    try {
      parallel_map_collect<uint64_t>(1000, [bad](uint64_t i) {
        if (i == bad) {
          GrowableArray<std::byte> scratch;
          scratch.reserve(kRefused);
        }
        return i;
      });
      ADD_FAILURE() << "no failure for row " << bad;
    } catch (const AllocationFailure& failure) {
      note_panic_caught();
      EXPECT_EQ(failure.bytes(), kRefused);
    }
    EXPECT_EQ(thread_panic_count(), 0);
  }
  GrowableArray<uint64_t> out = parallel_map_collect<uint64_t>(1000, [](uint64_t i) { return i; });
  ASSERT_EQ(out.size(), 1000u);
  for (uint64_t i = 0; i < 1000; ++i) ASSERT_EQ(out[i], i);
}

// Run only in a child process with a chosen RAYON_NUM_THREADS (see below).
TEST(CollectChildTest, ManySizesMatchSequential) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  for (uint64_t n : {0, 1, 2, 5, 1000, 100003}) {
    std::atomic<uint64_t> calls{0};
    GrowableArray<uint64_t> out = parallel_map_collect<uint64_t>(n, [&calls](uint64_t i) {
      calls.fetch_add(1, std::memory_order_relaxed);
      return scramble(i);
    });
    ASSERT_EQ(out.size(), n);
    EXPECT_EQ(calls.load(), n);
    for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(out[i], scramble(i)) << "n=" << n;
  }
}

TEST(CollectChildTest, OneWorkerSplitsIntoEightLeavesOf125) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  ASSERT_EQ(current_thread_count(), 1u);
  std::mutex lock;
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  GrowableArray<uint64_t> out =
      parallel_map_collect_ranges<uint64_t>(1000, [&](uint64_t start, uint64_t end, uint64_t* w) {
        for (uint64_t i = start; i < end; ++i) w[i - start] = i;
        std::lock_guard<std::mutex> hold(lock);
        pieces.emplace_back(start, end);
      });
  ASSERT_EQ(pieces.size(), 8u);
  for (size_t k = 0; k < pieces.size(); ++k) {
    EXPECT_EQ(pieces[k].first, 125 * k);  // one worker: leaves run in order
    EXPECT_EQ(pieces[k].second, 125 * (k + 1));
  }
  for (uint64_t i = 0; i < 1000; ++i) ASSERT_EQ(out[i], i);
}

struct ChildCase {
  const char* child_test;
  const char* threads;
};

class CollectPoolSizeTest : public testing::TestWithParam<ChildCase> {};

TEST_P(CollectPoolSizeTest, InFreshProcess) {
  ChildResult child =
      run_self_in_child(GetParam().child_test, {{"RAYON_NUM_THREADS", GetParam().threads}});
  EXPECT_TRUE(child.passed()) << child.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CollectPoolSizeTest,
    testing::Values(ChildCase{"CollectChildTest.ManySizesMatchSequential", "1"},
                    ChildCase{"CollectChildTest.ManySizesMatchSequential", "2"},
                    ChildCase{"CollectChildTest.ManySizesMatchSequential", "3"},
                    ChildCase{"CollectChildTest.ManySizesMatchSequential", "8"},
                    ChildCase{"CollectChildTest.OneWorkerSplitsIntoEightLeavesOf125", "1"}));

}  // namespace
}  // namespace velk::pool
