#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "src/pool/epoch/collector.h"
#include "src/pool/epoch/garbage_bag.h"
#include "src/pool/epoch/pin.h"

namespace velk::pool::epoch {
namespace {

// An action that counts how often it ran in the atomic its first word names.
void count_run(std::uintptr_t* data) {
  reinterpret_cast<std::atomic<int>*>(data[0])->fetch_add(1, std::memory_order_relaxed);
}
DeferredAction counting_action(std::atomic<int>& runs) {
  return DeferredAction{&count_run, {reinterpret_cast<std::uintptr_t>(&runs), 0, 0}};
}

// A collector of its own, so that the test alone decides when the epoch moves.
class EpochTest : public testing::Test {
 protected:
  // One pin of `participant` that runs a collection (the pin itself may run
  // one too; the caller pins at a point where it does not).
  void pin_and_collect(Participant& participant) {
    EpochGuard guard = participant.pin();
    collector_.collect_garbage(participant);
  }

  EpochCollector collector_;
};

TEST_F(EpochTest, BagRunsOnlyOnceTheEpochHasMovedTwoSteps) {
  Participant& participant = *collector_.register_participant();
  std::atomic<int> runs{0};
  std::uint64_t queued_at;
  {
    EpochGuard guard = participant.pin();  // first pin: collects, epoch 0 -> 2
    participant.defer(counting_action(runs));
    queued_at = collector_.global_epoch();
    // Queues the bag at E, then collects: we are pinned in an older epoch,
    // so the epoch stays at E.
    participant.flush();
    EXPECT_EQ(collector_.global_epoch(), queued_at);
  }
  EXPECT_EQ(collector_.queued_bags(), 1u);
  pin_and_collect(participant);
  EXPECT_EQ(collector_.global_epoch(), queued_at + 2);
  EXPECT_EQ(runs.load(), 0);
  pin_and_collect(participant);
  EXPECT_EQ(collector_.global_epoch(), queued_at + 4);
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(collector_.queued_bags(), 0u);
  pin_and_collect(participant);
  EXPECT_EQ(runs.load(), 1);
  participant.drop_handle();
}

TEST_F(EpochTest, PinnedParticipantHoldsTheEpochOneStepAboveItsOwn) {
  Participant& laggard = *collector_.register_participant();
  Participant& worker = *collector_.register_participant();
  std::atomic<int> runs{0};
  std::uint64_t pinned_at;
  {
    EpochGuard held = laggard.pin();
    pinned_at = laggard.epoch_word() & ~kPinnedBit;
    for (int i = 0; i < 10; ++i) {
      EpochGuard guard = worker.pin();
      worker.defer(counting_action(runs));
      worker.flush();
      EXPECT_LE(collector_.global_epoch(), pinned_at + 2);
    }
    EXPECT_EQ(collector_.global_epoch(), pinned_at + 2);
    EXPECT_EQ(runs.load(), 0);
  }
  // Unpinned, the laggard no longer counts: the epoch moves and every bag runs.
  for (int i = 0; i < 4; ++i) pin_and_collect(worker);
  EXPECT_EQ(runs.load(), 10);
  worker.drop_handle();
  laggard.drop_handle();
}

TEST_F(EpochTest, ReentrantPinLeavesTheEpochWordToTheOutermostGuard) {
  Participant& participant = *collector_.register_participant();
  EXPECT_EQ(participant.epoch_word(), 0u);
  {
    EpochGuard outer = participant.pin();
    const std::uint64_t word = participant.epoch_word();
    EXPECT_NE(word & kPinnedBit, 0u);
    {
      EpochGuard inner = participant.pin();
      EXPECT_EQ(participant.epoch_word(), word);
    }
    EXPECT_TRUE(participant.is_pinned());
    EXPECT_EQ(participant.epoch_word(), word);
  }
  EXPECT_FALSE(participant.is_pinned());
  EXPECT_EQ(participant.epoch_word(), 0u);
  participant.drop_handle();
}

// Of n outermost pins, those numbered 0, 128, 256, ... collect (and so move
// the epoch, as nothing else is pinned).
class PinCollectTest : public EpochTest, public testing::WithParamInterface<int> {};

TEST_P(PinCollectTest, EveryHundredTwentyEighthOutermostPinCollects) {
  const int pins = GetParam();
  Participant& participant = *collector_.register_participant();
  for (int i = 0; i < pins; ++i) {
    EpochGuard guard = participant.pin();
    EpochGuard nested = participant.pin();  // nested pins do not count
  }
  const int collections = (pins + 127) / 128;
  EXPECT_EQ(collector_.global_epoch(), kEpochStep * collections);
  participant.drop_handle();
}

INSTANTIATE_TEST_SUITE_P(Counts, PinCollectTest, testing::Values(1, 128, 129, 256, 257));

// The 65th deferred action queues the full bag and starts a new one.
class BagFillTest : public EpochTest, public testing::WithParamInterface<int> {};

TEST_P(BagFillTest, FullBagIsQueuedBeforeTheNextAction) {
  const int actions = GetParam();
  Participant& participant = *collector_.register_participant();
  std::atomic<int> runs{0};
  {
    EpochGuard guard = participant.pin();
    for (int i = 0; i < actions; ++i) participant.defer(counting_action(runs));
    const int queued = (actions - 1) / 64;
    EXPECT_EQ(collector_.queued_bags(), static_cast<std::size_t>(queued));
    EXPECT_EQ(participant.bag_size(), static_cast<std::size_t>(actions - 64 * queued));
  }
  // Nothing is lost: everything runs once the epoch has moved on.
  participant.drop_handle();
  Participant& other = *collector_.register_participant();
  for (int i = 0; i < 6; ++i) pin_and_collect(other);
  EXPECT_EQ(runs.load(), actions);
  other.drop_handle();
}

INSTANTIATE_TEST_SUITE_P(Counts, BagFillTest, testing::Values(1, 63, 64, 65, 128, 129));

// A participant retired with garbage in its bag (its thread exited) hands
// the bag over; a participant retired while pinned goes at its last unpin.
// Either way its actions run and it is unlinked from the list.
class RetireTest : public EpochTest, public testing::WithParamInterface<bool> {};

TEST_P(RetireTest, RetiredParticipantsGarbageStillRuns) {
  const bool pinned_when_dropped = GetParam();
  Participant& survivor = *collector_.register_participant();
  Participant& leaving = *collector_.register_participant();
  std::atomic<int> runs{0};
  {
    EpochGuard guard = leaving.pin();
    leaving.defer(counting_action(runs));
    leaving.defer(counting_action(runs));
    if (pinned_when_dropped) leaving.drop_handle();
  }
  if (!pinned_when_dropped) leaving.drop_handle();
  // The retired participant neither holds the epoch back nor loses garbage.
  for (int i = 0; i < 4; ++i) pin_and_collect(survivor);
  EXPECT_EQ(runs.load(), 2);
  survivor.drop_handle();
}

INSTANTIATE_TEST_SUITE_P(WhenDropped, RetireTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Pinned" : "Unpinned"; });

// Threads of the process collector: readers pin and read a shared object
// while writers replace it and defer freeing the old one. A reader never sees
// freed memory (the sanitizers check the reads), and once everyone has gone
// every deferred free has run, including those left in the bags of exited
// threads.
struct Shared {
  std::uint64_t magic;
  std::atomic<int>* frees;
};
constexpr std::uint64_t kMagic = 0x5eed5eed5eed5eedull;

void free_shared(std::uintptr_t* data) {
  auto* shared = reinterpret_cast<Shared*>(data[0]);
  shared->frees->fetch_add(1, std::memory_order_relaxed);
  shared->magic = 0;
  delete shared;
}

TEST(EpochThreadsTest, ReplacedObjectsAreFreedOnlyAfterReadersLeft) {
  std::atomic<int> frees{0};
  std::atomic<Shared*> current{new Shared{kMagic, &frees}};
  std::atomic<int> bad_reads{0};
  constexpr int kWriters = 2;
  constexpr int kReplacements = 3000;
  std::atomic<int> writers_left{kWriters};

  std::vector<std::thread> threads;
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (writers_left.load(std::memory_order_acquire) > 0) {
        EpochGuard guard = pin_participant();
        Shared* seen = current.load(std::memory_order_acquire);
        if (seen->magic != kMagic) bad_reads.fetch_add(1);
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kReplacements; ++i) {
        EpochGuard guard = pin_participant();
        Shared* old = current.exchange(new Shared{kMagic, &frees}, std::memory_order_acq_rel);
        defer_action(guard,
                     DeferredAction{&free_shared, {reinterpret_cast<std::uintptr_t>(old), 0, 0}});
        if (i % 100 == 0) flush_bag(guard);
      }
      writers_left.fetch_sub(1, std::memory_order_release);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad_reads.load(), 0);

  // The writers' last bags were queued when they exited; a few collections
  // run them (each runs at most 8 bags).
  for (int i = 0; i < 200 && frees.load() < kWriters * kReplacements; ++i) {
    EpochGuard guard = pin_participant();
    flush_bag(guard);
  }
  EXPECT_EQ(frees.load(), kWriters * kReplacements);
  delete current.load();
  EXPECT_FALSE(is_pinned());
}

// A thread-local object destroyed after the thread's epoch handle is gone
// still gets to pin (through a temporary participant), and its garbage runs.
std::atomic<int> late_runs{0};

struct PinsAtThreadExit {
  ~PinsAtThreadExit() {
    EpochGuard guard = pin_participant();
    defer_action(guard, counting_action(late_runs));
  }
};

TEST(EpochThreadsTest, PinningDuringThreadExitUsesATemporaryParticipant) {
  const int before = late_runs.load();
  std::thread([] {
    // Constructed before the first pin, so destroyed after the handle.
    thread_local PinsAtThreadExit late;
    (void)&late;
    EpochGuard guard = pin_participant();
    EXPECT_TRUE(is_pinned());
  }).join();
  for (int i = 0; i < 200 && late_runs.load() == before; ++i) {
    EpochGuard guard = pin_participant();
    flush_bag(guard);
  }
  EXPECT_EQ(late_runs.load(), before + 1);
}

}  // namespace
}  // namespace velk::pool::epoch
