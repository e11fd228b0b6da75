#include "src/pool/latch.h"

#include "src/pool/sleep.h"
#include "src/runtime/panic.h"

namespace velk::pool {

bool LatchWord::probe() const noexcept {
  // acquire: pairs with the release half of swap_signalled(), so the job's
  // outcome written before the signal is visible to the waiter.
  return word_.load(std::memory_order_acquire) == static_cast<uint64_t>(LatchState::kSignalled);
}

bool LatchWord::try_transition(LatchState from, LatchState to) noexcept {
  auto expected = static_cast<uint64_t>(from);
  // acquire (both outcomes): a failure usually means the latch was signalled,
  // and the waiter then goes on to read the job's outcome.
  return word_.compare_exchange_strong(expected, static_cast<uint64_t>(to),
                                       std::memory_order_acquire, std::memory_order_acquire);
}

LatchState LatchWord::swap_signalled() noexcept {
  // acq_rel: release publishes the outcome to the waiter's probe; acquire
  // orders the setter after the waiter's transition to asleep, whose wake it
  // then owes.
  return static_cast<LatchState>(
      word_.exchange(static_cast<uint64_t>(LatchState::kSignalled), std::memory_order_acq_rel));
}

LatchState LatchWord::state() const noexcept {
  // acquire: callers may act on a kSignalled they read here like on a probe.
  return static_cast<LatchState>(word_.load(std::memory_order_acquire));
}

void WorkerLatch::set() noexcept {
  // Read where the waiter lives before the swap: once the word is signalled
  // the waiter may return and reuse the frame this latch sits in.
  SleepControl* sleep = sleep_;
  uint64_t waiter = waiter_index_;
  if (word_.swap_signalled() == LatchState::kWaiterAsleep) sleep->wake_worker(waiter);
  // A sleepy (not yet asleep) waiter needs no wake: its own step to asleep
  // fails on the signalled word and it searches again.
}

void BlockingLatch::set() {
  std::lock_guard<std::mutex> hold(mutex_);
  flag_ = true;
  // Notify under the lock, so the waiter cannot miss the wake between its
  // test of the flag and its wait.
  changed_.notify_all();
}

void BlockingLatch::await_and_clear() {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [this] { return flag_; });
  flag_ = false;
}

bool BlockingLatch::is_set() {
  std::lock_guard<std::mutex> hold(mutex_);
  return flag_;
}

AbortOnEscape::~AbortOnEscape() {
  if (armed_ && std::uncaught_exceptions() > unwinding_at_entry_) {
    abort_with_line(kUnexpectedPanicLine);
  }
}

}  // namespace velk::pool
