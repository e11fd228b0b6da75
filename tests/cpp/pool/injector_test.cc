#include "src/pool/injector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "src/runtime/alloc.h"

namespace velk::pool {
namespace {

void never_run(void*) {}

JobHandle job_number(std::uintptr_t n) { return JobHandle{&never_run, reinterpret_cast<void*>(n)}; }
std::uintptr_t number_of(const JobHandle& job) {
  return reinterpret_cast<std::uintptr_t>(job.data);
}

// Takes the oldest job, repeating lost races; none when the queue is empty.
std::optional<JobHandle> take_one(InjectorQueue& queue) {
  for (;;) {
    StealOutcome outcome = queue.steal();
    if (outcome.kind == StealKind::kStolen) return outcome.job;
    if (outcome.kind == StealKind::kEmpty) return std::nullopt;
  }
}

// Counts around the block boundaries (63 jobs per block): pushed, then taken
// in the same order, then the queue is empty again. `keep` jobs are left in
// the queue for its destructor to free with their blocks.
struct FifoShape {
  std::uintptr_t jobs;
  std::uintptr_t keep;
};

class InjectorFifoTest : public testing::TestWithParam<FifoShape> {};

TEST_P(InjectorFifoTest, JobsComeOutInPushOrderAcrossBlocks) {
  const FifoShape shape = GetParam();
  InjectorQueue queue;
  EXPECT_TRUE(queue.is_empty());
  EXPECT_EQ(queue.steal().kind, StealKind::kEmpty);
  for (std::uintptr_t n = 0; n < shape.jobs; ++n) queue.push(job_number(n));
  EXPECT_EQ(queue.size(), shape.jobs);
  for (std::uintptr_t n = 0; n + shape.keep < shape.jobs; ++n) {
    std::optional<JobHandle> job = take_one(queue);
    ASSERT_TRUE(job.has_value()) << n;
    ASSERT_EQ(number_of(*job), n);
  }
  EXPECT_EQ(queue.size(), shape.keep);
  EXPECT_EQ(queue.is_empty(), shape.keep == 0);
  if (shape.keep == 0) {
    EXPECT_EQ(queue.steal().kind, StealKind::kEmpty);
  }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, InjectorFifoTest,
                         testing::Values(FifoShape{1, 0}, FifoShape{62, 0}, FifoShape{63, 0},
                                         FifoShape{64, 0}, FifoShape{125, 0}, FifoShape{126, 0},
                                         FifoShape{127, 0}, FifoShape{1000, 0}, FifoShape{63, 1},
                                         FifoShape{64, 1}, FifoShape{200, 130},
                                         FifoShape{200, 200}));

TEST(InjectorTest, InterleavedPushesAndTakesStayInOrder) {
  InjectorQueue queue;
  std::uintptr_t pushed = 0;
  std::uintptr_t taken = 0;
  // Uneven steps so that the head and the tail cross block boundaries at
  // every possible distance from each other, including both in one block.
  for (int round = 0; round < 300; ++round) {
    for (int i = 0; i < round % 7 + 1; ++i) queue.push(job_number(pushed++));
    for (int i = 0; i < round % 5 + 1; ++i) {
      std::optional<JobHandle> job = take_one(queue);
      if (!job.has_value()) {
        ASSERT_EQ(taken, pushed);
        break;
      }
      ASSERT_EQ(number_of(*job), taken++);
    }
    ASSERT_EQ(queue.size(), pushed - taken);
  }
}

// free_block_from stops at the first slot still being read and marks it, so
// that slot's reader frees the block; every slot above it is left alone.
class FreeBlockTest : public testing::TestWithParam<std::size_t> {};

TEST_P(FreeBlockTest, LeavesTheFreeingToAnUnfinishedReader) {
  const std::size_t unfinished = GetParam();
  void* memory = allocate_zeroed_or_abort(sizeof(InjectorBlock), alignof(InjectorBlock));
  auto* block = new (memory) InjectorBlock;
  for (std::size_t i = 0; i < kBlockSlots; ++i) {
    block->slots[i].state.store(i == unfinished ? kSlotWritten : kSlotWritten | kSlotConsumed);
  }
  free_block_from(block, kBlockSlots - 1);
  for (std::size_t i = 0; i < kBlockSlots; ++i) {
    std::uint64_t expected =
        i == unfinished ? kSlotWritten | kSlotReclaim : kSlotWritten | kSlotConsumed;
    EXPECT_EQ(block->slots[i].state.load(), expected) << i;
  }
  // The reader finishes, sees the mark and frees the block (a sanitizer
  // build reports a leak or a double free if that goes wrong).
  std::uint64_t before = block->slots[unfinished].state.fetch_or(kSlotConsumed);
  ASSERT_NE(before & kSlotReclaim, 0u);
  free_block_from(block, unfinished);
}

INSTANTIATE_TEST_SUITE_P(Slots, FreeBlockTest, testing::Values(0, 1, 30, 61));

// Several producers and consumers at once (or producers alone, the queue then
// drained by one thread): every job is taken exactly once,
// and each consumer sees each producer's jobs in the order they were pushed.
// Jobs point at payloads the producer wrote just before pushing, so that
// ThreadSanitizer checks the hand-over.
struct MpmcShape {
  int producers;
  int consumers;
  std::uintptr_t jobs_per_producer;
};

class InjectorStressTest : public testing::TestWithParam<MpmcShape> {};

TEST_P(InjectorStressTest, EveryJobIsTakenOnceAndInProducerOrder) {
  const MpmcShape shape = GetParam();
  const std::uintptr_t total = shape.producers * shape.jobs_per_producer;
  InjectorQueue queue;
  std::vector<std::atomic<int>> taken(total);
  std::vector<std::uintptr_t> payloads(total);
  std::atomic<std::uintptr_t> taken_count{0};
  std::atomic<int> out_of_order{0};

  std::vector<std::thread> threads;
  for (int c = 0; c < shape.consumers; ++c) {
    threads.emplace_back([&] {
      std::vector<std::intptr_t> last_seen(shape.producers, -1);
      while (taken_count.load(std::memory_order_acquire) < total) {
        StealOutcome outcome = queue.steal();
        if (outcome.kind != StealKind::kStolen) continue;
        std::uintptr_t n = *static_cast<std::uintptr_t*>(outcome.job.data);
        std::uintptr_t producer = n / shape.jobs_per_producer;
        auto sequence = static_cast<std::intptr_t>(n % shape.jobs_per_producer);
        if (sequence <= last_seen[producer]) out_of_order.fetch_add(1);
        last_seen[producer] = sequence;
        taken[n].fetch_add(1, std::memory_order_relaxed);
        taken_count.fetch_add(1, std::memory_order_acq_rel);
      }
    });
  }
  for (int p = 0; p < shape.producers; ++p) {
    threads.emplace_back([&, p] {
      for (std::uintptr_t i = 0; i < shape.jobs_per_producer; ++i) {
        std::uintptr_t n = p * shape.jobs_per_producer + i;
        payloads[n] = n;
        queue.push(JobHandle{&never_run, &payloads[n]});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (shape.consumers == 0) {
    // Pushers alone: every block they linked between them is walked here.
    EXPECT_EQ(queue.size(), total);
    std::vector<std::intptr_t> last_seen(shape.producers, -1);
    while (std::optional<JobHandle> job = take_one(queue)) {
      std::uintptr_t n = *static_cast<std::uintptr_t*>(job->data);
      auto sequence = static_cast<std::intptr_t>(n % shape.jobs_per_producer);
      std::intptr_t& last = last_seen[n / shape.jobs_per_producer];
      if (sequence <= last) out_of_order.fetch_add(1);
      last = sequence;
      taken[n].fetch_add(1, std::memory_order_relaxed);
    }
  }

  EXPECT_EQ(out_of_order.load(), 0);
  for (std::uintptr_t n = 0; n < total; ++n) ASSERT_EQ(taken[n].load(), 1) << n;
  EXPECT_TRUE(queue.is_empty());
  EXPECT_EQ(queue.steal().kind, StealKind::kEmpty);
}

INSTANTIATE_TEST_SUITE_P(Shapes, InjectorStressTest,
                         testing::Values(MpmcShape{1, 1, 20000}, MpmcShape{2, 2, 10000},
                                         MpmcShape{3, 1, 5000}, MpmcShape{1, 3, 10000},
                                         MpmcShape{4, 4, 3000}, MpmcShape{4, 0, 3000}));

}  // namespace
}  // namespace velk::pool
