// Job handles, what the pool's queues carry, and the job records behind them.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "src/runtime/panic.h"

namespace velk::pool {

// Two machine words: the job's execute entry and its data pointer. A handle
// owns nothing; two handles denote the same job exactly when both words are
// equal. Executing it calls the entry with the data pointer on the executing
// thread's stack; the entry never lets a failure escape.
struct JobHandle {
  void (*execute_fn)(void* data) = nullptr;
  void* data = nullptr;

  friend bool operator==(const JobHandle&, const JobHandle&) = default;
};

inline void execute(JobHandle job) { job.execute_fn(job.data); }

// What became of a job: not run yet, ran to a result, or failed with a
// captured payload.
enum class JobOutcomeKind : uint8_t { kNotRun = 0, kCompleted = 1, kFailed = 2 };

// The result slot of a job record. Written by the thread that runs the job,
// read by the thread that waits for it once the job's latch is set (the latch
// publishes it).
template <class R>
class JobOutcome {
 public:
  JobOutcomeKind kind() const noexcept { return kind_; }

  void store_result(R value) {
    payload_ = nullptr;  // drops an earlier failure's payload first
    value_.emplace(std::move(value));
    kind_ = JobOutcomeKind::kCompleted;
  }

  void store_failure(std::exception_ptr payload) noexcept {
    value_.reset();
    payload_ = std::move(payload);
    kind_ = JobOutcomeKind::kFailed;
  }

  // The result of a completed job. A failed job's payload is raised again on
  // this thread without a second report; reading a job that never ran is an
  // invariant break.
  R take_result() {
    switch (kind_) {
      case JobOutcomeKind::kCompleted:
        return std::move(*value_);
      case JobOutcomeKind::kFailed:
        resume_panic(std::exchange(payload_, nullptr));
      case JobOutcomeKind::kNotRun:
        break;
    }
    panic("internal error: entered unreachable code");
  }

 private:
  JobOutcomeKind kind_ = JobOutcomeKind::kNotRun;
  std::optional<R> value_;
  std::exception_ptr payload_;
};

// A job record that lives in the frame of the thread that waits for it and
// never outlives that frame. `Latch` is the waiter's latch: a WorkerLatch for
// a worker, or a BlockingLatch& for a thread outside the pool. The callable is
// taken exactly once, either by the execute entry or by the waiter itself when
// it takes the job back before anyone else ran it.
template <class Latch, class R, class F>
class InlineJob {
 public:
  InlineJob(F callable, Latch latch)
      : callable_(std::move(callable)), latch_(std::forward<Latch>(latch)) {}
  InlineJob(const InlineJob&) = delete;
  InlineJob& operator=(const InlineJob&) = delete;

  // The handle that runs this record through `entry` (which receives `this`).
  JobHandle handle(void (*entry)(void*)) noexcept { return JobHandle{entry, this}; }

  // Removes the callable; taking it twice is an invariant break.
  F take_callable() {
    VELK_ASSERT(callable_.has_value());
    F callable = std::move(*callable_);
    callable_.reset();
    return callable;
  }

  // Takes the callable and runs it with `args`, storing its result or its
  // failure in the outcome. Nothing escapes but a failure of taking the
  // callable itself.
  template <class... Args>
  void run_capturing(Args&&... args) {
    F callable = take_callable();
    try {
      outcome_.store_result(callable(std::forward<Args>(args)...));
    } catch (...) {
      note_panic_caught();
      outcome_.store_failure(std::current_exception());
    }
  }

  JobOutcome<R>& outcome() noexcept { return outcome_; }
  std::remove_reference_t<Latch>& latch() noexcept { return latch_; }

 private:
  std::optional<F> callable_;
  JobOutcome<R> outcome_;
  Latch latch_;
};

}  // namespace velk::pool
