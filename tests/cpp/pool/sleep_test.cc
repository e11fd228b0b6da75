#include "src/pool/sleep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "src/pool/injector.h"
#include "src/pool/latch.h"

namespace velk::pool {
namespace {

uint64_t sleeping(const SleepControl& sleep) { return SleepCounters::sleeping(sleep.counters()); }
uint64_t idle_fields(const SleepControl& sleep) { return sleep.counters() & 0xFFFFFFFF; }

template <class Pred>
void wait_until(Pred done) {
  while (!done()) std::this_thread::yield();
}

void noop_job(void*) {}

// A thread that behaves like an idle worker finding nothing: it gets sleepy,
// sleeps, and counts the times it was woken, until its latch is set.
class Sleeper {
 public:
  Sleeper(SleepControl& sleep, const InjectorQueue& injector, uint64_t index)
      : latch_(&sleep, index), thread_([this, &sleep, &injector, index] {
          IdleSearch search = sleep.begin_idle(index);
          while (!latch_.probe()) {
            const bool was_trying = search.rounds == kSleepRound;
            sleep.idle_round(search, latch_.word(), injector);
            if (was_trying && search.rounds == 0 && !latch_.probe()) wakeups_.fetch_add(1);
          }
          sleep.end_idle();
        }) {}
  ~Sleeper() {
    latch_.set();
    thread_.join();
  }
  int wakeups() const { return wakeups_.load(); }

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

// Single-threaded attempts to sleep that must not block.
enum class Interference { kInjectedJob, kNewJobsAfterSleepy, kLatchSet };

class TrySleepTest : public testing::TestWithParam<Interference> {};

TEST_P(TrySleepTest, SleeperStaysAwakeAndCountersBalance) {
  SleepControl sleep(1);
  InjectorQueue injector;
  WorkerLatch latch(&sleep, 0);
  IdleSearch search = sleep.begin_idle(0);
  while (search.rounds < kSleepRound) sleep.idle_round(search, latch.word(), injector);
  EXPECT_EQ(SleepCounters::jobs_event(sleep.counters()) % 2, 0u);  // sleepy: even
  EXPECT_EQ(search.jobs_event_snapshot, SleepCounters::jobs_event(sleep.counters()));

  switch (GetParam()) {
    case Interference::kInjectedJob:
      injector.push(JobHandle{&noop_job, nullptr});
      break;
    case Interference::kNewJobsAfterSleepy:
      sleep.note_new_jobs(/*queue_was_empty=*/true);
      break;
    case Interference::kLatchSet:
      latch.set();
      break;
  }
  sleep.idle_round(search, latch.word(), injector);  // blocks forever if wrong

  EXPECT_EQ(sleeping(sleep), 0u);
  const uint32_t rounds[] = {0, kSleepyRound, kSleepRound};
  EXPECT_EQ(search.rounds, rounds[static_cast<int>(GetParam())]);
  EXPECT_EQ(latch.probe(), GetParam() == Interference::kLatchSet);
  sleep.end_idle();
  EXPECT_EQ(idle_fields(sleep), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TrySleepTest,
                         testing::Values(Interference::kInjectedJob,
                                         Interference::kNewJobsAfterSleepy,
                                         Interference::kLatchSet));

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

  const uint64_t before = sleep.counters();
  sleep.note_new_jobs(c.queue_was_empty);
  if (c.woken.empty()) {
    // Nobody else touches the word while every sleeper stays asleep.
    EXPECT_EQ(sleep.counters() & ~(uint64_t{1} << 32), before & ~(uint64_t{1} << 32));
  }
  for (uint64_t i : c.woken) wait_until([&] { return sleepers[i]->wakeups() == 1; });
  for (uint64_t i = 0; i < c.sleepers; ++i) {
    if (!c.woken.count(i)) {
      EXPECT_EQ(sleepers[i]->wakeups(), 0) << "sleeper " << i;
    }
  }
  sleepers.clear();
  for (uint64_t i = 0; i < c.awake_searchers; ++i) sleep.end_idle();
  EXPECT_EQ(idle_fields(sleep), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WakeRuleTest,
    testing::Values(WakeRuleCase{0, 1, /*queue_was_empty=*/false, {}},
                    // A sleeper and an awake searcher: the searcher will find a job on an
                    // empty queue; a queue that already held jobs needs the sleeper too.
                    WakeRuleCase{1, 1, /*queue_was_empty=*/true, {}},
                    WakeRuleCase{1, 1, /*queue_was_empty=*/false, {0}},
                    // Every idle worker asleep: exactly one wakes, the lowest-numbered.
                    WakeRuleCase{2, 0, /*queue_was_empty=*/true, {0}},
                    WakeRuleCase{3, 0, /*queue_was_empty=*/false, {0}}));

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
  sleepers.clear();
  EXPECT_EQ(idle_fields(sleep), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sleepers, EndIdleTest, testing::Values(1, 3));

}  // namespace
}  // namespace velk::pool
