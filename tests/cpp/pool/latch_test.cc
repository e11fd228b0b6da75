#include "src/pool/latch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "src/pool/injector.h"
#include "src/pool/sleep.h"

namespace velk::pool {
namespace {

template <class Pred>
void wait_until(Pred done) {
  while (!done()) std::this_thread::yield();
}

TEST(WorkerLatchTest, OnlyAnAsleepWaiterIsWoken) {
  SleepControl sleep(1);
  InjectorQueue injector;
  WorkerLatch own(&sleep, 0);
  std::thread sleeper([&] {
    IdleSearch search = sleep.begin_idle(0);
    while (!own.probe()) sleep.idle_round(search, own.word(), injector);
    sleep.end_idle();
  });
  wait_until([&] { return SleepCounters::sleeping(sleep.counters()) == 1; });

  // A latch naming the same worker but only sleepy: its set must leave the
  // real sleeper alone.
  WorkerLatch sleepy(&sleep, 0);
  ASSERT_TRUE(sleepy.word().try_transition(LatchState::kUnsignalled, LatchState::kWaiterSleepy));
  sleepy.set();
  EXPECT_TRUE(sleepy.probe());
  EXPECT_EQ(SleepCounters::sleeping(sleep.counters()), 1u);

  own.set();  // asleep: without the targeted wake this join hangs
  sleeper.join();
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF, 0u);
}

TEST(BlockingLatchTest, SecondWaitBlocksUntilSecondSet) {
  BlockingLatch latch;
  std::atomic<int> waits_done{0};
  std::thread waiter([&] {
    for (int i = 0; i < 2; ++i) {
      latch.await_and_clear();
      waits_done.fetch_add(1);
    }
  });
  latch.set();
  wait_until([&] { return waits_done.load() == 1; });
  // The first wait consumed the set, so the second cannot pass on it.
  EXPECT_FALSE(latch.is_set());
  EXPECT_EQ(waits_done.load(), 1);
  latch.set();
  waiter.join();
}

TEST(AbortOnEscapeDeathTest, OnlyAFailureThroughAnArmedGuardAborts) {
  try {
    AbortOnEscape disarmed;
    disarmed.disarm();
    throw std::runtime_error("passes");
  } catch (const std::runtime_error&) {
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        try {
          AbortOnEscape guard;
          throw std::runtime_error("escapes");
        } catch (...) {
        }
      },
      "Rayon: detected unexpected panic; aborting");
}

}  // namespace
}  // namespace velk::pool
