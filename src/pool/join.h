// Running work in the pool, and the two-way join.
//
// A thread outside the pool hands its operation in through the pool's
// injector and blocks on a latch of its own until a worker has run it; a
// worker runs it directly. join_pair runs two callables, queueing the right
// one where idle workers can steal it while the current thread runs the left
// one. A failure (panic) inside a job is captured in the job's record and
// raised again, once, on the thread that waits for it.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "src/pool/job.h"
#include "src/pool/latch.h"
#include "src/pool/registry.h"
#include "src/pool/worker.h"
#include "src/runtime/panic.h"

namespace velk::pool {

// This thread's latch for waiting on work it handed in; made on first use and
// reused by every later call from the thread.
BlockingLatch& caller_latch();

// Pushes `job` onto the pool's injector and wakes a sleeping worker if the
// sleep rule asks for one. Throws AllocationFailure, with nothing queued,
// when the injector needs a block that the allocator refuses.
// Memory ordering: a full fence separates the push from the look at the sleep
// counters, so a worker going to sleep either is seen and woken here or sees
// the job itself.
void inject_job(WorkerPool& pool, JobHandle job);

namespace detail {

// Execute entry of an operation handed in from outside: runs it on the worker
// that took it, then wakes the blocked caller.
template <class Job>
void execute_injected(void* data) {
  AbortOnEscape guard;
  auto* job = static_cast<Job*>(data);
  BlockingLatch& latch = job->latch();
  job->run_capturing();
  // The caller may return (and drop `job`) as soon as this is set.
  latch.set();
  guard.disarm();
}

// Execute entry of the right half of a join that ran away from its joiner's
// own continuation (stolen, or popped by its worker during other work).
template <class Job>
void execute_right_half(void* data) {
  AbortOnEscape guard;
  auto* job = static_cast<Job*>(data);
  job->run_capturing(/*migrated=*/true);
  // The joiner may return (and drop `job`) as soon as this is set.
  job->latch().set();
  guard.disarm();
}

template <class Left, class Right>
auto join_on_worker(WorkerThread& worker, bool injected, Left& left, Right& right)
    -> std::pair<std::invoke_result_t<Left&, bool>, std::invoke_result_t<Right&, bool>> {
  using LeftResult = std::invoke_result_t<Left&, bool>;
  using RightResult = std::invoke_result_t<Right&, bool>;
  auto right_call = [&right](bool migrated) -> RightResult { return right(migrated); };
  using RightJob = InlineJob<WorkerLatch, RightResult, decltype(right_call)>;

  RightJob right_job(right_call, WorkerLatch(&worker.pool().sleep(), worker.index()));
  const JobHandle right_handle = right_job.handle(&execute_right_half<RightJob>);
  worker.push(right_handle);

  std::optional<LeftResult> left_result;
  std::exception_ptr left_failure;
  try {
    left_result.emplace(left(injected));
  } catch (...) {
    note_panic_caught();
    left_failure = std::current_exception();
  }
  if (left_failure) {
    // The right half may be running elsewhere on data in this frame: wait for
    // it (perhaps running it here) before the frame unwinds.
    wait_for_latch(worker, right_job.latch().word());
    resume_panic(std::move(left_failure));
  }

  while (!right_job.latch().probe()) {
    std::optional<JobHandle> own = worker.take_own_job();
    if (!own) {
      // Stolen: help with other work until the thief is done.
      wait_for_latch(worker, right_job.latch().word());
      break;
    }
    if (*own == right_handle) {
      // Nobody took it: run it as the plain continuation of this join.
      auto callable = right_job.take_callable();
      RightResult right_result = callable(injected);
      return {std::move(*left_result), std::move(right_result)};
    }
    // Work pushed on top of ours by jobs this worker ran meanwhile.
    execute(*own);
  }
  return {std::move(*left_result), right_job.outcome().take_result()};
}

}  // namespace detail

// Runs op(worker, injected) from a thread outside every pool: hands it to
// `pool` and blocks (without doing pool work, never spinning) until a worker
// has run it. Returns its result or raises its failure on this thread.
template <class Op>
auto run_from_outside(WorkerPool& pool, Op& op) -> std::invoke_result_t<Op&, WorkerThread&, bool> {
  using Result = std::invoke_result_t<Op&, WorkerThread&, bool>;
  auto call = [&op]() -> Result {
    WorkerThread* worker = current_worker();
    if (worker == nullptr) panic("assertion failed: injected && !worker_thread.is_null()");
    return op(*worker, /*injected=*/true);
  };
  using CallerJob = InlineJob<BlockingLatch&, Result, decltype(call)>;
  CallerJob job(call, caller_latch());
  inject_job(pool, job.handle(&detail::execute_injected<CallerJob>));
  job.latch().await_and_clear();
  return job.outcome().take_result();
}

// Runs op(worker, injected) on a worker of the global pool: directly when the
// calling thread is a worker (injected false), else handed in from outside
// (injected true). Returns op's result or raises its failure.
template <class Op>
auto run_in_pool(Op&& op) -> std::invoke_result_t<Op&, WorkerThread&, bool> {
  if (WorkerThread* worker = current_worker()) return op(*worker, /*injected=*/false);
  WorkerPool& pool = global_pool();
  // Set now only if the pool fell back to making this thread its one worker.
  if (WorkerThread* worker = current_worker()) return op(*worker, /*injected=*/false);
  if (!pool.has_spawned_workers()) {
    // The pool is another thread's fallback: its one worker is that thread,
    // which never runs the worker loop, so a job handed in would wait
    // forever. Work alone instead, like that thread does, with the same
    // thread count and so the same splits.
    LoneWorkerScope lone;
    return op(lone.worker(), /*injected=*/false);
  }
  return run_from_outside(pool, op);
}

// Runs left(migrated) and right(migrated), possibly in parallel, and returns
// (left result, right result). `migrated` tells a half that it runs as a job
// taken from a queue or handed in from outside rather than as the direct
// continuation of its caller. If a half fails, the failure is raised here
// after both halves have finished; if both fail, the left failure wins.
template <class Left, class Right>
auto join_pair(Left&& left, Right&& right)
    -> std::pair<std::invoke_result_t<Left&, bool>, std::invoke_result_t<Right&, bool>> {
  return run_in_pool([&left, &right](WorkerThread& worker, bool injected) {
    return detail::join_on_worker(worker, injected, left, right);
  });
}

}  // namespace velk::pool
