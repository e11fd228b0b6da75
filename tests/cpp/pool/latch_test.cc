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

TEST(LatchWordTest, SignalIsFinalAndVisibleToProbe) {
  for (LatchState start :
       {LatchState::kUnsignalled, LatchState::kWaiterSleepy, LatchState::kWaiterAsleep}) {
    LatchWord word;
    if (start != LatchState::kUnsignalled) {
      ASSERT_TRUE(word.try_transition(LatchState::kUnsignalled, LatchState::kWaiterSleepy));
    }
    if (start == LatchState::kWaiterAsleep) {
      ASSERT_TRUE(word.try_transition(LatchState::kWaiterSleepy, LatchState::kWaiterAsleep));
    }
    EXPECT_FALSE(word.probe());
    EXPECT_EQ(word.swap_signalled(), start);
    EXPECT_TRUE(word.probe());
    // No waiter step can take the word out of kSignalled.
    EXPECT_FALSE(word.try_transition(LatchState::kUnsignalled, LatchState::kWaiterSleepy));
    EXPECT_FALSE(word.try_transition(LatchState::kWaiterAsleep, LatchState::kUnsignalled));
    EXPECT_EQ(word.swap_signalled(), LatchState::kSignalled);
  }
}

// The outcome written before the signal is what a probing waiter reads.
TEST(LatchWordTest, ProbePublishesWritesMadeBeforeTheSignal) {
  for (int round = 0; round < 200; ++round) {
    LatchWord word;
    int payload = 0;
    std::thread setter([&] {
      payload = round + 1;
      word.swap_signalled();
    });
    wait_until([&] { return word.probe(); });
    EXPECT_EQ(payload, round + 1);
    setter.join();
  }
}

TEST(WorkerLatchTest, SleepyWaiterIsNotWokenBySet) {
  SleepControl sleep(2);
  InjectorQueue injector;
  // Worker 0 really sleeps, on a latch of its own.
  WorkerLatch own(&sleep, 0);
  std::thread sleeper([&] {
    IdleSearch search = sleep.begin_idle(0);
    while (!own.probe()) sleep.idle_round(search, own.word(), injector);
    sleep.end_idle();
  });
  wait_until([&] { return SleepCounters::sleeping(sleep.counters()) == 1; });

  // A second latch that names worker 0 but is only sleepy: setting it must
  // not touch worker 0's sleep.
  WorkerLatch sleepy(&sleep, 0);
  ASSERT_TRUE(sleepy.word().try_transition(LatchState::kUnsignalled, LatchState::kWaiterSleepy));
  sleepy.set();
  EXPECT_TRUE(sleepy.probe());
  EXPECT_EQ(SleepCounters::sleeping(sleep.counters()), 1u);

  own.set();  // asleep: this one wakes it
  sleeper.join();
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF, 0u);
}

TEST(BlockingLatchTest, SetBeforeWaitDoesNotBlock) {
  BlockingLatch latch;
  latch.set();
  latch.await_and_clear();
  EXPECT_FALSE(latch.is_set());
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
  EXPECT_EQ(waits_done.load(), 2);
}

TEST(AbortOnEscapeTest, DisarmedOrUntroubledGuardIsHarmless) {
  { AbortOnEscape quiet; }  // armed, no failure
  try {
    AbortOnEscape guard;
    guard.disarm();
    throw std::runtime_error("passes");
  } catch (const std::runtime_error&) {
  }
  // A guard made while a failure is already being handled only reacts to a
  // new one.
  try {
    throw std::runtime_error("outer");
  } catch (const std::runtime_error&) {
    AbortOnEscape inside_handler;
  }
}

TEST(AbortOnEscapeDeathTest, FailureThroughArmedGuardAborts) {
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
