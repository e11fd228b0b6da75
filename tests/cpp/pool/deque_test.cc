#include "src/pool/deque.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "src/pool/epoch/collector.h"
#include "src/pool/epoch/pin.h"

namespace velk::pool {
namespace {

void never_run(void*) {}

// Job number `n` as a handle; the data word carries the number.
JobHandle job_number(std::uintptr_t n) { return JobHandle{&never_run, reinterpret_cast<void*>(n)}; }
std::uintptr_t number_of(const JobHandle& job) {
  return reinterpret_cast<std::uintptr_t>(job.data);
}

// Takes one job from the front through `thief`, repeating lost races.
std::optional<JobHandle> steal_one(const DequeThief& thief) {
  for (;;) {
    StealOutcome outcome = thief.steal();
    if (outcome.kind == StealKind::kStolen) return outcome.job;
    if (outcome.kind == StealKind::kEmpty) return std::nullopt;
  }
}

// The 65th push grows the ring to 128; the jobs then come back in the right
// order whichever end takes them, also from the copied slots.
class DequeGrowthTest : public testing::TestWithParam<bool> {};

TEST_P(DequeGrowthTest, JobsKeepTheirOrderAcrossTheResize) {
  const bool from_thief = GetParam();
  DequePair deque = make_work_deque();
  EXPECT_EQ(deque.thief.steal().kind, StealKind::kEmpty);
  constexpr std::uintptr_t kJobs = 200;
  for (std::uintptr_t n = 0; n < kJobs; ++n) {
    deque.owner.push(job_number(n));
    if (n == 63) {
      EXPECT_EQ(deque.owner.capacity(), 64u);
    } else if (n == 64) {
      EXPECT_EQ(deque.owner.capacity(), 128u);
    }
  }
  EXPECT_EQ(deque.owner.capacity(), 256u);
  for (std::uintptr_t i = 0; i < kJobs; ++i) {
    std::optional<JobHandle> job = from_thief ? steal_one(deque.thief) : deque.owner.pop();
    ASSERT_TRUE(job.has_value()) << i;
    EXPECT_EQ(number_of(*job), from_thief ? i : kJobs - 1 - i);
  }
  EXPECT_TRUE(deque.owner.is_empty());
  EXPECT_EQ(steal_one(deque.thief), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(OwnerAndThief, DequeGrowthTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Thief" : "Owner"; });

TEST(DequeTest, ShrinksToHalfOnlyWhenFewerThanAQuarterRemain) {
  DequePair deque = make_work_deque();
  for (std::uintptr_t n = 0; n < 65; ++n) deque.owner.push(job_number(n));
  ASSERT_EQ(deque.owner.capacity(), 128u);
  // Pops leaving 64 down to 32 jobs keep 128 slots; the one leaving 31 halves.
  for (std::size_t left = 64; left >= 31; --left) {
    ASSERT_EQ(number_of(*deque.owner.pop()), left);
    EXPECT_EQ(deque.owner.capacity(), left >= 32 ? 128u : 64u) << left;
  }
  // The jobs survive the shrink, oldest at the front.
  EXPECT_EQ(number_of(*steal_one(deque.thief)), 0u);
  EXPECT_EQ(number_of(*deque.owner.pop()), 30u);
  // At 64 slots it never shrinks further.
  while (deque.owner.pop().has_value()) EXPECT_EQ(deque.owner.capacity(), 64u);
  EXPECT_EQ(deque.owner.size(), 0u);
}

TEST(DequeTest, ThiefCopiesKeepTheDequeAliveAfterTheOwnerGoes) {
  std::optional<DequeThief> copy;
  {
    DequePair deque = make_work_deque();
    for (std::uintptr_t n = 0; n < 100; ++n) deque.owner.push(job_number(n));
    copy.emplace(deque.thief);
    DequeOwner moved = std::move(deque.owner);
    EXPECT_EQ(moved.size(), 100u);
  }
  for (std::uintptr_t n = 0; n < 100; ++n) EXPECT_EQ(number_of(*steal_one(*copy)), n);
  EXPECT_TRUE(copy->is_empty());
}

// The owner pops the only job while a thief keeps stealing: exactly one of
// them gets it, and the indices are left equal (checked by a job pushed
// afterwards). The owner goes on until the thief has won a fair number of
// rounds (or a round limit), so that the two did meet whatever the load on
// the machine; its pause before each pop varies to hit every point of a steal.
TEST(DequeTest, OwnerAndThiefRacingForTheLastJobTakeItOnce) {
  DequePair deque = make_work_deque();
  constexpr std::uintptr_t kMaxRounds = 300000;
  constexpr int kThiefWins = 1000;
  std::vector<std::atomic<int>> taken(kMaxRounds);
  std::atomic<int> thief_wins{0};
  std::atomic<bool> stop{false};
  std::atomic<std::uintptr_t> delay_sink{0};
  std::thread thief_thread([&] {
    while (!stop.load(std::memory_order_acquire)) {
      StealOutcome outcome = deque.thief.steal();
      if (outcome.kind == StealKind::kStolen) {
        taken[number_of(outcome.job)].fetch_add(1, std::memory_order_relaxed);
        thief_wins.fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  std::uintptr_t rounds = 0;
  while (rounds < kMaxRounds && thief_wins.load(std::memory_order_relaxed) < kThiefWins) {
    std::uintptr_t n = rounds++;
    deque.owner.push(job_number(n));
    for (std::uintptr_t spin = 0; spin < n % 61; ++spin) {
      delay_sink.fetch_add(1, std::memory_order_relaxed);
    }
    if (std::optional<JobHandle> job = deque.owner.pop()) {
      taken[number_of(*job)].fetch_add(1, std::memory_order_relaxed);
    }
    // Whoever won, the job is gone and the deque empty.
    ASSERT_TRUE(deque.owner.is_empty()) << n;
  }
  stop.store(true, std::memory_order_release);
  thief_thread.join();
  for (std::uintptr_t n = 0; n < rounds; ++n) ASSERT_EQ(taken[n].load(), 1) << n;

  deque.owner.push(job_number(rounds));
  EXPECT_EQ(deque.owner.size(), 1u);
  EXPECT_EQ(number_of(*steal_one(deque.thief)), rounds);
  EXPECT_EQ(deque.owner.pop(), std::nullopt);
}

// A ring replaced by a resize is not freed while another thread is pinned
// (it might be a thief still reading the ring); it is once that thread unpins.
TEST(DequeTest, ReplacedRingsWaitForPinnedThreads) {
  epoch::EpochCollector& collector = epoch::process_collector();
  // Collects without queueing our own bag (which collecting refills).
  auto drain = [&collector] {
    for (int i = 0; i < 100 && collector.queued_bags() > 0; ++i) {
      epoch::EpochGuard guard = epoch::pin_participant();
      collector.collect_garbage(guard.participant());
    }
  };
  drain();
  ASSERT_EQ(collector.queued_bags(), 0u);

  std::atomic<int> stage{0};
  std::thread reader([&stage] {
    epoch::EpochGuard guard = epoch::pin_participant();
    stage.store(1, std::memory_order_release);
    while (stage.load(std::memory_order_acquire) != 2) std::this_thread::yield();
  });
  while (stage.load(std::memory_order_acquire) != 1) std::this_thread::yield();

  DequePair deque = make_work_deque();
  constexpr int kResizes = 10;
  for (int i = 0; i < kResizes / 2; ++i) {
    for (std::uintptr_t n = 0; n < 65; ++n) deque.owner.push(job_number(n));  // grows
    while (deque.owner.pop().has_value()) {
    }  // shrinks
  }
  // Every resize flushed its bag, and none of them could run.
  EXPECT_GE(collector.queued_bags(), static_cast<std::size_t>(kResizes));

  stage.store(2, std::memory_order_release);
  reader.join();
  drain();
  EXPECT_EQ(collector.queued_bags(), 0u);
}

// The owner pushes bursts that grow the ring and pops that shrink it again,
// while several thieves steal: every job is taken exactly once, and what a
// thief takes was fully written before the push (checked by ThreadSanitizer
// through the payloads).
struct StressShape {
  int thieves;
  int bursts;
  int burst_size;
};

class DequeStressTest : public testing::TestWithParam<StressShape> {};

TEST_P(DequeStressTest, EveryJobIsTakenExactlyOnce) {
  const StressShape shape = GetParam();
  const std::size_t total = static_cast<std::size_t>(shape.bursts) * shape.burst_size;
  struct Payload {
    std::uintptr_t number;
    std::atomic<int> taken;
  };
  std::vector<Payload> payloads(total);
  DequePair deque = make_work_deque();

  auto take = [&payloads](const JobHandle& job) {
    auto* payload = static_cast<Payload*>(job.data);
    // A plain read of what the owner wrote before pushing.
    EXPECT_EQ(payload->number, static_cast<std::uintptr_t>(payload - payloads.data()));
    payload->taken.fetch_add(1, std::memory_order_relaxed);
  };

  std::atomic<bool> done{false};
  std::atomic<std::size_t> taken_count{0};
  std::vector<std::thread> thieves;
  for (int t = 0; t < shape.thieves; ++t) {
    // Each thief has its own copy of the end, as workers do.
    thieves.emplace_back([&, thief = deque.thief] {
      while (!done.load(std::memory_order_acquire)) {
        StealOutcome outcome = thief.steal();
        if (outcome.kind == StealKind::kStolen) {
          take(outcome.job);
          taken_count.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }

  std::size_t next = 0;
  for (int burst = 0; burst < shape.bursts; ++burst) {
    for (int i = 0; i < shape.burst_size; ++i, ++next) {
      payloads[next].number = next;
      deque.owner.push(JobHandle{&never_run, &payloads[next]});
    }
    // Take back about half ourselves, newest first.
    for (int i = 0; i < shape.burst_size / 2; ++i) {
      if (std::optional<JobHandle> job = deque.owner.pop()) {
        take(*job);
        taken_count.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  while (std::optional<JobHandle> job = deque.owner.pop()) {
    take(*job);
    taken_count.fetch_add(1, std::memory_order_relaxed);
  }
  done.store(true, std::memory_order_release);
  for (std::thread& thief : thieves) thief.join();

  EXPECT_EQ(taken_count.load(), total);
  for (std::size_t n = 0; n < total; ++n) ASSERT_EQ(payloads[n].taken.load(), 1) << n;
}

INSTANTIATE_TEST_SUITE_P(Shapes, DequeStressTest,
                         testing::Values(StressShape{1, 400, 20}, StressShape{3, 100, 300},
                                         StressShape{4, 40, 1000}));

}  // namespace
}  // namespace velk::pool
