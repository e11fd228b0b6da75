// The pool's injector queue: how threads outside the pool hand work in.
//
// An unbounded first-in-first-out queue of job handles that any thread may
// push into and any thread may take from. Jobs live in a linked list of
// blocks of kBlockSlots slots; pushers append blocks and takers free them
// behind themselves, each block exactly once, by its last reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "src/pool/deque.h"
#include "src/pool/job.h"
#include "src/runtime/cache_line.h"

namespace velk::pool {

// Slot state bits.
inline constexpr std::uint64_t kSlotWritten = 1;   // the handle has been stored
inline constexpr std::uint64_t kSlotConsumed = 2;  // a taker has finished reading it
inline constexpr std::uint64_t kSlotReclaim = 4;   // this slot's reader frees the block

struct InjectorSlot {
  JobHandle job;
  std::atomic<std::uint64_t> state;
};
static_assert(sizeof(InjectorSlot) == 24);

// Positions advance by kBlockSpan per block but a block holds only
// kBlockSlots jobs: a position at offset kBlockSlots means "the block is full
// and its successor is being installed".
inline constexpr std::uint64_t kBlockSpan = 64;
inline constexpr std::uint64_t kBlockSlots = kBlockSpan - 1;

// One block; allocated filled with zeros (null `next`, every state 0).
struct InjectorBlock {
  std::atomic<InjectorBlock*> next;
  InjectorSlot slots[kBlockSlots];
};
static_assert(sizeof(InjectorBlock) == 1520);

class InjectorQueue {
 public:
  // An empty queue with one zeroed block.
  InjectorQueue();
  // Frees every block from the head to the tail without running the jobs
  // left in them. No other thread may use the queue any more.
  ~InjectorQueue();
  InjectorQueue(const InjectorQueue&) = delete;
  InjectorQueue& operator=(const InjectorQueue&) = delete;

  // Appends `job`; waits only while another pusher installs the next block.
  // Fails only when a new block is needed and the allocator refuses it: then
  // it throws AllocationFailure, with the queue unchanged and `job` not added.
  // Memory ordering: the taker of `job` sees everything written before push.
  void push(JobHandle job);

  // Tries to take the oldest job. kEmpty without any compare-and-swap when
  // the queue is empty; kRetry when another taker won the race (no back-off
  // here: the caller repeats).
  StealOutcome steal();

  // True when every pushed job has been claimed by a taker.
  bool is_empty() const noexcept;

  // Jobs pushed and not yet claimed (a snapshot; for tests and diagnostics).
  std::size_t size() const noexcept;

 private:
  // An index holds the position in the bits above bit 0; bit 0 of the head
  // index says that the head block already has a successor.
  static constexpr std::uint64_t kNextBlockFlag = 1;
  static constexpr std::uint32_t kPositionShift = 1;
  static constexpr std::uint64_t kPositionStep = std::uint64_t{1} << kPositionShift;

  struct alignas(kCacheLinePair) End {
    std::atomic<std::uint64_t> index;
    std::atomic<InjectorBlock*> block;
  };

  End head_;
  End tail_;
};
static_assert(alignof(InjectorQueue) == kCacheLinePair);
static_assert(sizeof(InjectorQueue) == 2 * kCacheLinePair);

// Frees `block` once slots [0, start) have all been read; when a reader of
// one of them has not finished, marks it so that reader frees the block.
void free_block_from(InjectorBlock* block, std::size_t start) noexcept;

}  // namespace velk::pool
