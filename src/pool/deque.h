// The work-stealing deque of one worker.
//
// The owning worker pushes and pops at the back (its own work runs newest
// first); any other thread steals from the front (thieves take the oldest
// jobs). The ring grows when a push finds it full and shrinks when a pop
// leaves it mostly empty; a replaced ring is freed through the epoch collector
// once no thief that might still read it remains pinned.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "src/pool/job.h"
#include "src/runtime/cache_line.h"

namespace velk::pool {

// What one attempt to take a job from a thief end or the injector found.
enum class StealKind { kEmpty = 0, kStolen = 1, kRetry = 2 };

// kEmpty: nothing there. kStolen: `job` is the taken job. kRetry: the attempt
// lost a race with another thread and took nothing; the queue may still hold
// jobs. `job` is meaningful only for kStolen.
struct StealOutcome {
  StealKind kind;
  JobHandle job;
};

// A ring of job slots: `slots` holds `capacity` handles (a power of two, at
// least kMinCapacity); index i lives in slot i & (capacity - 1).
struct DequeBuffer {
  JobHandle* slots;
  std::size_t capacity;
};

// The part of a deque shared by its owner end and all its thief ends; freed
// with its current ring when the last end goes. Thieves load `buffer`, so it
// sits on a line of its own, away from the indices that every push and steal
// writes.
struct alignas(kCacheLinePair) WorkDeque {
  // The ring in use. Only the owner replaces it.
  alignas(kCacheLinePair) std::atomic<DequeBuffer*> buffer;
  // Number of ends alive. Changes only when ends are made or dropped, so it
  // can share the rarely written buffer line.
  std::atomic<std::size_t> ends;
  // Index of the oldest job; advanced by thieves (and by the owner when it
  // takes the last job). Indices only grow, wrapping.
  alignas(kCacheLinePair) std::atomic<std::int64_t> front;
  // One past the newest job; written only by the owner.
  std::atomic<std::int64_t> back;
};
static_assert(alignof(WorkDeque) == kCacheLinePair);
static_assert(sizeof(WorkDeque) == 2 * kCacheLinePair);

struct DequePair;
DequePair make_work_deque();

// The owning worker's end. Exactly one per deque, used by one thread only.
// Move-only.
class DequeOwner {
 public:
  // Capacity of a new deque and the floor below which it never shrinks.
  static constexpr std::size_t kMinCapacity = 64;

  DequeOwner(DequeOwner&& other) noexcept;
  DequeOwner& operator=(DequeOwner&& other) noexcept;
  DequeOwner(const DequeOwner&) = delete;
  DequeOwner& operator=(const DequeOwner&) = delete;
  ~DequeOwner();

  // Adds `job` as the newest job, doubling the ring first when it is full.
  // If the allocator refuses the larger ring, throws AllocationFailure with
  // the deque unchanged and `job` not added.
  // Memory ordering: a thief that sees the new back also sees the slot and
  // everything the owner wrote before the push.
  void push(JobHandle job);

  // Takes the newest job, or none when the deque is empty or a thief won the
  // race for its last job. May halve the ring afterwards.
  std::optional<JobHandle> pop();

  // True when the deque holds no job (as seen by the owner).
  bool is_empty() const noexcept;

  // Number of jobs (back - front, never below 0) and ring size, for the
  // owner's diagnostics and tests.
  std::size_t size() const noexcept;
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  friend DequePair make_work_deque();
  explicit DequeOwner(WorkDeque* shared) noexcept;

  // Moves the jobs into a ring of `new_capacity` slots and retires the old
  // ring to the epoch collector. False, with nothing changed, when the
  // allocator refuses the new ring.
  bool resize(std::size_t new_capacity);

  WorkDeque* shared_;
  // Private copy of the current ring: only the owner replaces it, so the copy
  // is always current for the owner and it never loads the shared pointer.
  JobHandle* slots_;
  std::size_t capacity_;
};

// A stealing end. Any number may exist and any thread may steal through one;
// copyable, and a single one may be shared between threads.
class DequeThief {
 public:
  DequeThief(const DequeThief& other) noexcept;
  DequeThief& operator=(const DequeThief& other) noexcept;
  DequeThief(DequeThief&& other) noexcept;
  DequeThief& operator=(DequeThief&& other) noexcept;
  ~DequeThief();

  // Tries to take the oldest job. Runs pinned, so that a ring the owner
  // replaces meanwhile is not freed under the read.
  // Memory ordering: a stolen job's pusher-side writes are visible.
  StealOutcome steal() const;

  // True when the deque looked empty at the time of the call.
  bool is_empty() const noexcept;

 private:
  friend DequePair make_work_deque();
  explicit DequeThief(WorkDeque* shared) noexcept;

  WorkDeque* shared_;
};

struct DequePair {
  DequeOwner owner;
  DequeThief thief;
};

// A new empty deque of capacity DequeOwner::kMinCapacity: its owner end and
// one thief end.
DequePair make_work_deque();

}  // namespace velk::pool
