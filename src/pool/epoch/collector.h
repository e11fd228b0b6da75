// Epoch-based reclamation: freeing memory that other threads may still be
// reading, once none of them can be.
//
// A thread marks the regions in which it reads shared memory by pinning its
// Participant; memory it unlinks is handed to its bag as a DeferredAction.
// Full bags (and flushed ones) are queued stamped with the global epoch, and
// a queued bag runs once the global epoch has moved two steps past its stamp.
// The epoch moves a step only when every pinned participant is pinned in the
// current epoch, so after two steps no thread pinned before the bag was
// queued can still be pinned.
//
// Most code uses the thread's own participant of the process collector
// through src/pool/epoch/pin.h; collectors of their own are for tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "src/pool/epoch/garbage_bag.h"
#include "src/runtime/cache_line.h"

namespace velk::pool::epoch {

// Epoch words: bit 0 is the pinned flag; epochs advance by kEpochStep, so an
// epoch is always even. A participant's word is 0 while it is not pinned.
inline constexpr std::uint64_t kPinnedBit = 1;
inline constexpr std::uint64_t kEpochStep = 2;
// A bag runs once the epoch has moved this far past its stamp (two steps).
inline constexpr std::int64_t kExpiryDistance = 4;
// collect_garbage runs on every kPinsPerCollect-th outermost pin of a thread.
inline constexpr std::uint64_t kPinsPerCollect = 128;
// collect_garbage runs at most this many bags per call.
inline constexpr int kBagsPerCollect = 8;

class EpochCollector;
class Participant;

// A node of the collector's queue of bags. The data of a node is valid only
// while it is not the queue's sentinel.
struct StampedBag {
  GarbageBag bag;
  std::uint64_t epoch;
  std::atomic<StampedBag*> next;
};
static_assert(sizeof(StampedBag) == 2072);

// Proof that a participant is pinned; dropping it unpins. Move-only.
class [[nodiscard]] EpochGuard {
 public:
  EpochGuard(EpochGuard&& other) noexcept;
  EpochGuard& operator=(EpochGuard&&) = delete;
  EpochGuard(const EpochGuard&) = delete;
  EpochGuard& operator=(const EpochGuard&) = delete;
  ~EpochGuard();

  Participant& participant() const noexcept { return *participant_; }

 private:
  friend class Participant;
  // `drops_handle`: the guard also holds the participant's only handle (a
  // temporary participant) and drops it after unpinning.
  EpochGuard(Participant* participant, bool drops_handle) noexcept
      : participant_(participant), drops_handle_(drops_handle) {}

  Participant* participant_;
  bool drops_handle_;
};

// One thread's (or one test's) registration with a collector. Used by one
// thread at a time; only `epoch_` and the list link are read by others.
class alignas(kCacheLinePair) Participant {
 public:
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;

  // Pins (re-entrant). The outermost pin publishes the global epoch with the
  // pinned flag as this participant's epoch, with a full fence, and runs
  // collect_garbage on every kPinsPerCollect-th outermost pin (the first
  // included).
  EpochGuard pin();
  bool is_pinned() const noexcept { return pin_depth_ > 0; }
  // As pin(), for a participant made for one operation: the guard also
  // drops the participant's only handle after unpinning, which retires it.
  EpochGuard pin_for_one_use();

  // Adds `action` to the bag, queueing the bag first when it is full.
  // Precondition: pinned.
  void defer(const DeferredAction& action);
  // Queues the bag if it is not empty, then runs collect_garbage.
  // Precondition: pinned.
  void flush();

  // Handles keep a participant registered. Dropping the last one while
  // unpinned retires it (its bag is queued, it is marked deleted and a later
  // advance_epoch unlinks and frees it); when still pinned, the outermost
  // unpin retires it. The participant must not be used after retirement.
  void add_handle() noexcept { ++handle_count_; }
  void drop_handle();

  // Observers for tests and diagnostics.
  std::uint64_t epoch_word() const noexcept;
  std::size_t bag_size() const noexcept { return bag_.count; }
  EpochCollector& collector() const noexcept { return *collector_; }

 private:
  friend class EpochCollector;
  friend class EpochGuard;

  explicit Participant(EpochCollector* collector) noexcept;
  ~Participant() = default;

  void unpin();
  void retire();

  // Next participant of the collector's list; bit 0 set means deleted.
  std::atomic<std::uintptr_t> link_;
  EpochCollector* collector_;
  GarbageBag bag_;
  std::size_t pin_depth_;
  std::size_t handle_count_;
  std::uint64_t pin_count_;
  // Written by the owner on every outermost pin and unpin, read by every
  // advance_epoch: keep it off the lines of the rest.
  alignas(kCacheLinePair) std::atomic<std::uint64_t> epoch_;
};
static_assert(sizeof(Participant) == 2304);

class EpochCollector {
 public:
  EpochCollector();
  // Only for collectors other than the process one, once no thread uses it:
  // runs every bag still held (queued or in a participant) and frees all.
  ~EpochCollector();
  EpochCollector(const EpochCollector&) = delete;
  EpochCollector& operator=(const EpochCollector&) = delete;

  // A new participant with one handle, unpinned, at the head of the list.
  Participant* register_participant();

  // The global epoch word (even).
  std::uint64_t global_epoch() const noexcept;

  // Moves the global epoch one step unless a pinned participant lags behind
  // it; unlinks deleted participants on the way and defers their memory into
  // `self`'s bag. Returns the global epoch as this call leaves it.
  // Precondition: `self` is pinned.
  std::uint64_t advance_epoch(Participant& self);

  // Advances the epoch, then runs up to kBagsPerCollect expired bags from the
  // front of the queue. Precondition: `self` is pinned.
  void collect_garbage(Participant& self);

  // Swaps `self`'s bag for an empty one and queues it stamped with the
  // current global epoch (even when empty).
  void queue_bag(Participant& self);

  // Number of bags in the queue. Exact only while no thread changes it.
  std::size_t queued_bags() const noexcept;

 private:
  // Each shared word on its own line: pushers write the tail, collectors the
  // head, and every pin reads the epoch.
  template <class T>
  struct alignas(kCacheLinePair) Line {
    std::atomic<T> value;
  };

  friend class Participant;

  // Deferred actions that free what the collector unlinked.
  static void free_participant(Participant* participant) noexcept;
  static void run_free_participant(std::uintptr_t* data) noexcept;

  Line<StampedBag*> queue_head_;
  Line<StampedBag*> queue_tail_;
  Line<std::uint64_t> epoch_;
  Line<std::uintptr_t> participants_;
};
static_assert(sizeof(EpochCollector) == 4 * kCacheLinePair);

// The process-wide collector: created on first use, never destroyed.
EpochCollector& process_collector();

}  // namespace velk::pool::epoch
