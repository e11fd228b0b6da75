#include "src/pool/sleep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "src/pool/injector.h"
#include "src/pool/latch.h"

namespace velk::pool {
namespace {

using Counters = SleepCounters;

uint64_t sleeping(const SleepControl& sleep) { return Counters::sleeping(sleep.counters()); }
uint64_t inactive(const SleepControl& sleep) { return Counters::inactive(sleep.counters()); }
uint64_t jobs_event(const SleepControl& sleep) { return Counters::jobs_event(sleep.counters()); }

// Waits (without a time limit that could flake; the test runner's own
// timeout catches a hang) until `done` holds.
template <class Pred>
void wait_until(Pred done) {
  while (!done()) std::this_thread::yield();
}

void noop_job(void*) {}

// Drives one worker's idle rounds up to (not including) the round that tries
// to sleep.
void make_sleepy(SleepControl& sleep, IdleSearch& search, LatchWord& latch,
                 const InjectorQueue& injector) {
  while (search.rounds < kSleepRound) sleep.idle_round(search, latch, injector);
}

// A test thread that behaves like an idle worker: it searches (finding
// nothing), gets sleepy, sleeps, and counts the times it was woken, until its
// latch is set.
class Sleeper {
 public:
  Sleeper(SleepControl& sleep, const InjectorQueue& injector, uint64_t index)
      : latch_(&sleep, index), thread_([this, &sleep, &injector, index] {
          IdleSearch search = sleep.begin_idle(index);
          while (!latch_.probe()) {
            const bool was_trying = search.rounds == kSleepRound;
            sleep.idle_round(search, latch_.word(), injector);
            if (was_trying && search.rounds == 0 && !latch_.probe()) {
              wakeups_.fetch_add(1, std::memory_order_relaxed);
            }
          }
          sleep.end_idle();
        }) {}
  ~Sleeper() { stop(); }

  void stop() {
    if (thread_.joinable()) {
      latch_.set();
      thread_.join();
    }
  }
  int wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

 private:
  WorkerLatch latch_;
  std::atomic<int> wakeups_{0};
  std::thread thread_;
};

std::vector<std::unique_ptr<Sleeper>> start_sleepers(SleepControl& sleep,
                                                     const InjectorQueue& injector,
                                                     uint64_t count) {
  std::vector<std::unique_ptr<Sleeper>> sleepers;
  for (uint64_t i = 0; i < count; ++i) {
    sleepers.push_back(std::make_unique<Sleeper>(sleep, injector, i));
  }
  wait_until([&] { return sleeping(sleep) == count; });
  return sleepers;
}

TEST(SleepCountersTest, FieldsDecodeFromTheirBits) {
  const uint64_t word = (uint64_t{0xABCDEF01} << 32) | (uint64_t{7} << 16) | 5;
  EXPECT_EQ(Counters::jobs_event(word), 0xABCDEF01u);
  EXPECT_EQ(Counters::inactive(word), 7u);
  EXPECT_EQ(Counters::sleeping(word), 5u);
  EXPECT_EQ(Counters::awake_idle(word), 2u);
}

TEST(SleepControlTest, IdleCountRisesAndFallsWithBeginAndEnd) {
  SleepControl sleep(4);
  IdleSearch a = sleep.begin_idle(1);
  IdleSearch b = sleep.begin_idle(3);
  EXPECT_EQ(inactive(sleep), 2u);
  EXPECT_EQ(a.worker_index, 1u);
  EXPECT_EQ(b.rounds, 0u);
  EXPECT_EQ(b.jobs_event_snapshot, kNoSnapshot);
  sleep.end_idle();
  sleep.end_idle();
  EXPECT_EQ(sleep.counters(), 0u);
}

// Without sleepers, announcing work changes at most the parity of jobs_event.
TEST(SleepControlTest, NewJobsWithoutSleepersOnlyMakeTheEventOdd) {
  for (bool queue_was_empty : {true, false}) {
    SleepControl sleep(2);
    IdleSearch searcher = sleep.begin_idle(0);
    (void)searcher;
    const uint64_t before = sleep.counters();
    sleep.note_new_jobs(queue_was_empty);
    EXPECT_EQ(sleep.counters(), before + Counters::kOneJobsEvent);
    sleep.note_new_jobs(queue_was_empty);  // already odd: unchanged
    EXPECT_EQ(sleep.counters(), before + Counters::kOneJobsEvent);
    sleep.end_idle();
  }
}

TEST(SleepControlTest, GettingSleepyMakesTheEventEvenAndSnapshotsIt) {
  SleepControl sleep(1);
  InjectorQueue injector;
  LatchWord latch;
  sleep.note_new_jobs(true);  // jobs_event 1
  IdleSearch search = sleep.begin_idle(0);
  make_sleepy(sleep, search, latch, injector);
  EXPECT_EQ(jobs_event(sleep), 2u);
  EXPECT_EQ(search.jobs_event_snapshot, 2u);

  // An even event is taken as it is.
  IdleSearch second = sleep.begin_idle(0);
  make_sleepy(sleep, second, latch, injector);
  EXPECT_EQ(jobs_event(sleep), 2u);
  EXPECT_EQ(second.jobs_event_snapshot, 2u);
  sleep.end_idle();
  sleep.end_idle();
}

TEST(SleepControlTest, WorkAnnouncedAfterGettingSleepyPreventsSleep) {
  SleepControl sleep(1);
  InjectorQueue injector;
  LatchWord latch;
  IdleSearch search = sleep.begin_idle(0);
  make_sleepy(sleep, search, latch, injector);
  sleep.note_new_jobs(true);
  sleep.idle_round(search, latch, injector);  // would block without the event
  EXPECT_EQ(search.rounds, kSleepyRound);
  EXPECT_EQ(search.jobs_event_snapshot, kNoSnapshot);
  EXPECT_EQ(latch.state(), LatchState::kUnsignalled);
  EXPECT_EQ(sleeping(sleep), 0u);
  sleep.end_idle();
}

TEST(SleepControlTest, InjectedJobMakesTheSleeperBackOut) {
  SleepControl sleep(1);
  InjectorQueue injector;
  injector.push(JobHandle{&noop_job, nullptr});
  LatchWord latch;
  IdleSearch search = sleep.begin_idle(0);
  make_sleepy(sleep, search, latch, injector);
  const uint64_t before = sleep.counters();
  sleep.idle_round(search, latch, injector);  // registers, sees the job, leaves
  EXPECT_EQ(sleep.counters(), before);
  EXPECT_EQ(search.rounds, 0u);
  EXPECT_EQ(latch.state(), LatchState::kUnsignalled);
  sleep.end_idle();
}

TEST(SleepControlTest, SignalledLatchIsLeftAloneByTrySleep) {
  SleepControl sleep(1);
  InjectorQueue injector;
  WorkerLatch latch(&sleep, 0);
  IdleSearch search = sleep.begin_idle(0);
  make_sleepy(sleep, search, latch.word(), injector);
  latch.set();
  const uint64_t before = sleep.counters();
  sleep.idle_round(search, latch.word(), injector);
  EXPECT_EQ(sleep.counters(), before);
  EXPECT_EQ(search.rounds, kSleepRound);
  EXPECT_TRUE(latch.probe());
  sleep.end_idle();
}

struct WakeRuleCase {
  uint64_t sleepers;
  uint64_t awake_searchers;
  bool queue_was_empty;
  std::set<uint64_t> woken;
};

class WakeRuleTest : public testing::TestWithParam<WakeRuleCase> {};

TEST_P(WakeRuleTest, NewJobsWakeByTheRule) {
  const WakeRuleCase& c = GetParam();
  SleepControl sleep(c.sleepers + c.awake_searchers);
  InjectorQueue injector;
  auto sleepers = start_sleepers(sleep, injector, c.sleepers);
  for (uint64_t i = 0; i < c.awake_searchers; ++i) (void)sleep.begin_idle(c.sleepers + i);

  const uint64_t asleep_before = sleeping(sleep);
  sleep.note_new_jobs(c.queue_was_empty);
  if (c.woken.empty()) {
    // Nobody else touches the counters while every sleeper stays asleep.
    EXPECT_EQ(sleeping(sleep), asleep_before);
  }
  for (uint64_t i : c.woken) wait_until([&] { return sleepers[i]->wakeups() == 1; });
  for (uint64_t i = 0; i < c.sleepers; ++i) {
    if (!c.woken.count(i)) {
      EXPECT_EQ(sleepers[i]->wakeups(), 0) << "sleeper " << i;
    }
  }

  for (auto& s : sleepers) s->stop();
  for (uint64_t i = 0; i < c.awake_searchers; ++i) sleep.end_idle();
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WakeRuleTest,
    testing::Values(
        // A sleeper and an awake searcher: the searcher will find a job on an
        // empty queue; a queue that already held jobs needs the sleeper too.
        WakeRuleCase{1, 1, /*queue_was_empty=*/true, {}},
        WakeRuleCase{1, 1, /*queue_was_empty=*/false, {0}},
        // Every idle worker asleep: exactly one wakes, the lowest-numbered.
        WakeRuleCase{2, 0, /*queue_was_empty=*/true, {0}},
        WakeRuleCase{3, 0, /*queue_was_empty=*/false, {0}},
        WakeRuleCase{2, 1, /*queue_was_empty=*/true, {}}));

class EndIdleTest : public testing::TestWithParam<uint64_t> {};

TEST_P(EndIdleTest, EndingAnIdlePhaseWakesUpToTwoLowestSleepers) {
  const uint64_t count = GetParam();
  SleepControl sleep(count + 1);
  InjectorQueue injector;
  auto sleepers = start_sleepers(sleep, injector, count);
  (void)sleep.begin_idle(count);
  sleep.end_idle();
  const uint64_t woken = std::min<uint64_t>(count, 2);
  for (uint64_t i = 0; i < woken; ++i) wait_until([&] { return sleepers[i]->wakeups() == 1; });
  for (uint64_t i = woken; i < count; ++i) EXPECT_EQ(sleepers[i]->wakeups(), 0);
  for (auto& s : sleepers) s->stop();
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sleepers, EndIdleTest, testing::Values(1, 2, 3));

TEST(SleepControlTest, SettingALatchWakesItsSleeperWhoseExitWakesTheNext) {
  SleepControl sleep(2);
  InjectorQueue injector;
  auto sleepers = start_sleepers(sleep, injector, 2);
  sleepers[1]->stop();  // sets its latch: without the targeted wake this hangs
  // Its end_idle passes the wake on to the remaining sleeper.
  wait_until([&] { return sleepers[0]->wakeups() == 1; });
  sleepers[0]->stop();
  EXPECT_EQ(sleep.counters() & 0xFFFFFFFF, 0u);
}

TEST(SleepControlTest, WakingAWorkerThatIsNotBlockedReportsFalse) {
  SleepControl sleep(3);
  EXPECT_FALSE(sleep.wake_worker(1));
  sleep.wake_some(3);
  EXPECT_EQ(sleep.counters(), 0u);
}

}  // namespace
}  // namespace velk::pool
