#include "src/pool/join.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "src/pool/registry.h"
#include "src/runtime/panic.h"
#include "tests/cpp/testing/panics.h"

namespace velk::pool {
namespace {

using test::failure_of;

// Sum of [lo, hi) by recursive joins, deep enough that halves get stolen.
uint64_t join_sum(uint64_t lo, uint64_t hi) {
  if (hi - lo <= 16) {
    uint64_t s = 0;
    for (uint64_t i = lo; i < hi; ++i) s += i;
    return s;
  }
  const uint64_t mid = lo + (hi - lo) / 2;
  auto [a, b] =
      join_pair([&](bool) { return join_sum(lo, mid); }, [&](bool) { return join_sum(mid, hi); });
  return a + b;
}

// Several outside threads at once, each reusing its own caller latch.
TEST(JoinPairTest, NestedJoinsFromSeveralOutsideThreads) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&wrong] {
      for (uint64_t n : {1, 2, 17, 1000, 20000}) {
        if (join_sum(0, n) != n * (n - 1) / 2) wrong.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Many small calls from several outside threads: their handed-in jobs cross
// many injector blocks, while between bursts the workers doze off and must be
// woken by the next injection. A job stuck at a block boundary or a lost
// wake-up hangs, and the alarm turns that into a failure.
TEST(JoinPairTest, ManySmallCallsFromSeveralOutsideThreads) {
  alarm(120);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&wrong, t] {
      for (int i = 0; i < 200; ++i) {
        auto [a, b] = join_pair([i](bool) { return i; }, [t](bool) { return t; });
        if (a != i || b != t) wrong.fetch_add(1);
        if (i % 40 == 39) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  for (auto& c : callers) c.join();
  alarm(0);
  EXPECT_EQ(wrong.load(), 0);
}

// From outside, the whole join is handed in: the left half runs with
// migrated set, and so does the right one whichever way it ran. Inside a
// worker the left half is the plain continuation.
TEST(JoinPairTest, MigratedFlagsFromOutsideAndInside) {
  bool outer_left = false, outer_right = false, inner_left = true;
  join_pair(
      [&](bool migrated) {
        outer_left = migrated;
        join_pair([&](bool m) { return inner_left = m; }, [](bool m) { return m; });
        return 0;
      },
      [&](bool migrated) { return outer_right = migrated; });
  EXPECT_TRUE(outer_left);
  EXPECT_TRUE(outer_right);
  EXPECT_FALSE(inner_left);
}

struct FailureCase {
  bool left_fails;
  bool right_fails;
  bool nested;  // the failing join runs inside a worker rather than handed in
  std::string expected;
};

class JoinFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(JoinFailureTest, FailureReachesCallerAfterBothHalvesFinish) {
  const FailureCase& c = GetParam();
  std::atomic<bool> right_finished{false};
  auto failing_join = [&] {
    join_pair(
        [&](bool) -> int {
          if (c.left_fails) panic("left failed");
          return 1;
        },
        [&](bool) -> int {
          // Long enough that the left failure arrives while this half is
          // still queued or running.
          volatile uint64_t spin = 0;
          for (int i = 0; i < 200000; ++i) spin = spin + 1;
          right_finished.store(true);
          if (c.right_fails) panic("right failed");
          return 2;
        });
  };
  std::string message = failure_of([&] {
    if (c.nested) {
      join_pair(
          [&](bool) {
            failing_join();
            return 0;
          },
          [](bool) { return join_sum(0, 500); });
    } else {
      failing_join();
    }
  });
  EXPECT_EQ(message, c.expected);
  EXPECT_TRUE(right_finished.load());
  EXPECT_EQ(join_sum(0, 100), 4950u);  // the pool still works
}

INSTANTIATE_TEST_SUITE_P(Cases, JoinFailureTest,
                         testing::Values(FailureCase{true, false, false, "left failed"},
                                         FailureCase{false, true, false, "right failed"},
                                         FailureCase{true, true, false, "left failed"},
                                         FailureCase{true, false, true, "left failed"},
                                         FailureCase{false, true, true, "right failed"},
                                         FailureCase{true, true, true, "left failed"}));

}  // namespace
}  // namespace velk::pool
