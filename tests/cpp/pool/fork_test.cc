// A child made by fork() has only the forking thread; the parent's workers do
// not exist in it. Its first parallel call must build a pool of its own
// instead of handing work to workers that will never run it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "src/pool/collect.h"
#include "src/pool/epoch/collector.h"
#include "src/pool/epoch/pin.h"
#include "src/pool/join.h"

namespace velk::pool {
namespace {

bool map_is_right(uint64_t n) {
  GrowableArray<uint64_t> out = parallel_map_collect<uint64_t>(n, [](uint64_t i) { return 3 * i; });
  if (out.size() != n) return false;
  for (uint64_t i = 0; i < n; ++i) {
    if (out[i] != 3 * i) return false;
  }
  return true;
}

// Forks; the child runs a parallel map and exits 0 when it is right, or dies
// by its alarm if the map hangs. Returns the child's wait status.
int run_map_in_forked_child() {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    _exit(map_is_right(20000) && map_is_right(3) ? 0 : 1);
  }
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  return status;
}

class ForkTest : public testing::TestWithParam<bool> {};

TEST_P(ForkTest, ChildGetsAPoolOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads in a child of a threaded process";
#endif
  const bool parent_busy = GetParam();
  ASSERT_TRUE(map_is_right(1000));  // the parent's pool exists and has run work

  std::atomic<bool> stop{false};
  std::thread background;
  if (parent_busy) {
    // Another thread keeps the parent's workers busy while we fork, so the
    // child inherits queues and locks caught in the middle of use.
    background = std::thread([&stop] {
      while (!stop.load()) map_is_right(5000);
    });
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run_map_in_forked_child(), 0) << "fork " << i;
  stop.store(true);
  if (background.joinable()) background.join();
  EXPECT_TRUE(map_is_right(1000));  // the parent's pool is unaffected
}

INSTANTIATE_TEST_SUITE_P(Parent, ForkTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Busy" : "Idle";
                         });

// A parent thread that was pinned at the moment of the fork does not exist in
// the child; it must not hold the child's epoch back, or nothing retired in
// the child would ever be freed.
TEST(ForkEpochTest, ParentThreadPinnedAtTheForkDoesNotHoldTheChildsEpoch) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads in a child of a threaded process";
#endif
  std::atomic<int> stage{0};
  std::thread pinned([&stage] {
    epoch::EpochGuard guard = epoch::pin_participant();
    stage.store(1);
    while (stage.load() != 2) std::this_thread::yield();
  });
  while (stage.load() != 1) std::this_thread::yield();
  {
    epoch::EpochGuard registered = epoch::pin_participant();
  }  // this thread too, before the fork
  pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    // An advance needs every pinned participant at the current epoch; a
    // fresh pin per round puts ours there, so each round moves the epoch on
    // unless someone else holds it back.
    const uint64_t start = epoch::process_collector().global_epoch();
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
      epoch::EpochGuard guard = epoch::pin_participant();
      guard.participant().collector().advance_epoch(guard.participant());
    }
    const uint64_t end = epoch::process_collector().global_epoch();
    _exit(end - start >= kRounds * epoch::kEpochStep ? 0 : 1);
  }
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  stage.store(2);
  pinned.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace
}  // namespace velk::pool
