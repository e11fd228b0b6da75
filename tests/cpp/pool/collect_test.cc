#include "src/pool/collect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "src/pool/registry.h"
#include "src/runtime/panic.h"
#include "tests/cpp/pool/subprocess.h"

namespace velk::pool {
namespace {

struct Item {
  uint64_t index;
  uint64_t value;
};

uint64_t scramble(uint64_t i) { return i * 0x9E3779B97F4A7C15ULL ^ (i >> 7); }

class CollectMatchesSequentialTest : public testing::TestWithParam<uint64_t> {};

TEST_P(CollectMatchesSequentialTest, EverySlotHoldsItsOwnIndex) {
  const uint64_t n = GetParam();
  std::atomic<uint64_t> calls{0};
  GrowableArray<Item> out = parallel_map_collect<Item>(n, [&calls](uint64_t i) {
    calls.fetch_add(1, std::memory_order_relaxed);
    return Item{i, scramble(i)};
  });
  ASSERT_EQ(out.size(), n);
  EXPECT_EQ(calls.load(), n);
  for (uint64_t i = 0; i < n; ++i) {
    ASSERT_EQ(out[i].index, i);
    ASSERT_EQ(out[i].value, scramble(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CollectMatchesSequentialTest,
                         testing::Values(0, 1, 2, 3, 5, 64, 1000, 100003));

// Leaves see disjoint, ascending pieces that tile the range exactly.
TEST(CollectRangesTest, LeavesTileTheRangeWithoutOverlap) {
  constexpr uint64_t kN = 4099;
  std::mutex lock;
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  GrowableArray<uint64_t> out =
      parallel_map_collect_ranges<uint64_t>(kN, [&](uint64_t start, uint64_t end, uint64_t* w) {
        for (uint64_t i = start; i < end; ++i) w[i - start] = i;
        std::lock_guard<std::mutex> hold(lock);
        pieces.emplace_back(start, end);
      });
  std::sort(pieces.begin(), pieces.end());
  uint64_t next = 0;
  for (auto [start, end] : pieces) {
    EXPECT_EQ(start, next);
    EXPECT_LT(start, end);
    next = end;
  }
  EXPECT_EQ(next, kN);
  for (uint64_t i = 0; i < kN; ++i) ASSERT_EQ(out[i], i);
}

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

// The guards that keep a leaf inside its own window of the output.
TEST(CollectFailureTest, PiecesNeverWritePastTheirWindow) {
  uint64_t storage[16] = {};
  auto fill = [](uint64_t start, uint64_t end, uint64_t* w) {
    for (uint64_t i = start; i < end; ++i) w[i - start] = i;
  };
  const RangeLeaf leaf{[](void* c, uint64_t s, uint64_t e, void* w) {
                         (*static_cast<decltype(fill)*>(c))(s, e, static_cast<uint64_t*>(w));
                       },
                       &fill, sizeof(uint64_t)};
  auto window = CollectWindow{reinterpret_cast<std::byte*>(storage), 3};
  struct Case {
    SplitBudget budget;
    const char* message;
  };
  for (const Case& c : {Case{{0, 1}, "too many values pushed to consumer"},
                        Case{{4, 1}, "assertion failed: index <= len"}}) {
    try {
      map_piece(0, 10, /*migrated=*/false, c.budget, window, leaf);
      ADD_FAILURE() << "no failure for " << c.message;
    } catch (const PanicError& error) {
      note_panic_caught();
      EXPECT_EQ(error.message(), c.message);
    }
  }
  for (int i = 3; i < 16; ++i) EXPECT_EQ(storage[i], 0u);
}

TEST(CollectFailureTest, UnrepresentableSizeIsCapacityOverflow) {
  try {
    parallel_map_collect<uint64_t>(UINT64_MAX / 4, [](uint64_t i) { return i; });
    ADD_FAILURE() << "no failure";
  } catch (const PanicError& error) {
    note_panic_caught();
    EXPECT_EQ(error.message(), "capacity overflow");
  }
}

// Run only in a child process with a chosen RAYON_NUM_THREADS (see below).
TEST(CollectChildTest, ManySizesMatchSequential) {
  if (!in_child_process()) GTEST_SKIP() << "runs in a subprocess";
  for (uint64_t n : {0, 1, 2, 5, 1000, 100003}) {
    GrowableArray<uint64_t> out = parallel_map_collect<uint64_t>(n, scramble);
    ASSERT_EQ(out.size(), n);
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

class CollectThreadCountTest : public testing::TestWithParam<const char*> {};

TEST_P(CollectThreadCountTest, ResultIndependentOfPoolSize) {
  ChildResult child = run_self_in_child("CollectChildTest.ManySizesMatchSequential",
                                        {{"RAYON_NUM_THREADS", GetParam()}});
  EXPECT_TRUE(child.passed()) << child.output;
}

INSTANTIATE_TEST_SUITE_P(Counts, CollectThreadCountTest, testing::Values("1", "2", "3", "8"));

TEST(CollectThreadCountTest, OneWorkerLeafCount) {
  ChildResult child = run_self_in_child("CollectChildTest.OneWorkerSplitsIntoEightLeavesOf125",
                                        {{"RAYON_NUM_THREADS", "1"}});
  EXPECT_TRUE(child.passed()) << child.output;
}

}  // namespace
}  // namespace velk::pool
