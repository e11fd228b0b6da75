// Latches: what a thread waits on until a job it depends on is done.
//
// A worker waits on a LatchWord while it keeps running other jobs and, when
// there are none, sleeps in the pool's SleepControl; a thread outside the pool
// blocks on a BlockingLatch. AbortOnEscape turns a failure that escapes the
// pool's own machinery into a process abort.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>

namespace velk::pool {

class SleepControl;

// The four states of a worker's latch word. The waiting worker moves it
// between the first three as it dozes off and wakes; the setter swaps in
// kSignalled, which is final.
enum class LatchState : uint64_t {
  kUnsignalled = 0,
  kWaiterSleepy = 1,
  kWaiterAsleep = 2,
  kSignalled = 3,
};

// One atomic word holding a LatchState.
class LatchWord {
 public:
  // True once the latch is signalled.
  // Memory ordering: acquire, so everything the setter wrote before
  // swap_signalled() (the job's outcome) is visible when this returns true.
  bool probe() const noexcept;

  // Moves the word from `from` to `to` if it holds `from`; the waiting
  // worker's step. False when the word held something else (in practice: the
  // setter got there first).
  bool try_transition(LatchState from, LatchState to) noexcept;

  // Swaps in kSignalled and returns the state it replaced.
  // Memory ordering: release for the setter's writes, acquire so that the
  // setter sees the waiter's last transition.
  LatchState swap_signalled() noexcept;

  // The current state, for diagnostics and tests.
  LatchState state() const noexcept;

 private:
  std::atomic<uint64_t> word_{static_cast<uint64_t>(LatchState::kUnsignalled)};
};

// The latch a worker waits on: the word plus where to find the waiter when it
// has to be woken (its pool's sleep state and its index there).
class WorkerLatch {
 public:
  WorkerLatch(SleepControl* sleep, uint64_t waiter_index) noexcept
      : sleep_(sleep), waiter_index_(waiter_index) {}
  WorkerLatch(const WorkerLatch&) = delete;
  WorkerLatch& operator=(const WorkerLatch&) = delete;
  WorkerLatch(WorkerLatch&& other) noexcept
      : sleep_(other.sleep_), waiter_index_(other.waiter_index_) {}

  LatchWord& word() noexcept { return word_; }
  bool probe() const noexcept { return word_.probe(); }

  // Signals the latch and, if its waiter had gone to sleep on it, wakes that
  // worker. The latch may belong to a frame that its waiter leaves as soon as
  // it sees the signal, so nothing of it is touched after the swap.
  void set() noexcept;

 private:
  LatchWord word_;
  SleepControl* sleep_;
  uint64_t waiter_index_;
};

// A latch for a thread that blocks without doing pool work. Reusable: each
// await_and_clear() consumes one set().
class BlockingLatch {
 public:
  BlockingLatch() = default;
  BlockingLatch(const BlockingLatch&) = delete;
  BlockingLatch& operator=(const BlockingLatch&) = delete;

  // Raises the flag and wakes every waiter.
  // Memory ordering: everything written before set() is visible to the
  // thread whose await_and_clear() consumes it (the mutex orders both).
  void set();

  // Blocks until the flag is raised, then lowers it for the next wait.
  // Lock: may be called with the interpreter lock held; takes no pool lock
  // after it.
  void await_and_clear();

  // True when set() has been called and not yet consumed.
  bool is_set();

 private:
  std::mutex mutex_;
  bool flag_ = false;
  std::condition_variable changed_;
};

// A guard for code that must not unwind: the execute entries of jobs, the
// worker loop and a worker thread's body. If a failure unwinds through it
// while armed, it writes "Rayon: detected unexpected panic; aborting" on
// standard error and aborts the process.
class [[nodiscard]] AbortOnEscape {
 public:
  AbortOnEscape() noexcept : unwinding_at_entry_(std::uncaught_exceptions()) {}
  AbortOnEscape(const AbortOnEscape&) = delete;
  AbortOnEscape& operator=(const AbortOnEscape&) = delete;
  ~AbortOnEscape();

  // The guarded code ended normally.
  void disarm() noexcept { armed_ = false; }

 private:
  int unwinding_at_entry_;
  bool armed_ = true;
};

// The line AbortOnEscape writes before aborting.
inline constexpr char kUnexpectedPanicLine[] = "Rayon: detected unexpected panic; aborting\n";

}  // namespace velk::pool
