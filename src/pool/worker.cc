#include "src/pool/worker.h"

#include <memory>
#include <utility>

#include "src/pool/deque.h"
#include "src/pool/injector.h"
#include "src/pool/siphash.h"
#include "src/pool/sleep.h"
#include "src/runtime/panic.h"

namespace velk::pool {
namespace {

// The calls of wait_for_latch() the calling thread is in.
thread_local uint32_t t_latch_waits = 0;

struct LatchWaitCount {
  LatchWaitCount() noexcept { ++t_latch_waits; }
  ~LatchWaitCount() { --t_latch_waits; }
  LatchWaitCount(const LatchWaitCount&) = delete;
  LatchWaitCount& operator=(const LatchWaitCount&) = delete;
};

}  // namespace

bool in_nested_wait() noexcept { return t_latch_waits > 1; }

bool jobs_waiting(WorkerThread& worker) noexcept {
  WorkerPool& pool = worker.pool();
  if (!pool.injector().is_empty()) return true;
  for (uint64_t i = 0; i < pool.thread_count(); ++i) {
    if (i != worker.index() && !pool.slot(i).thief.is_empty()) return true;
  }
  return false;
}

std::optional<JobHandle> search_for_job(WorkerThread& worker) {
  if (auto job = worker.take_own_job()) return job;
  if (auto job = steal_from_peers(worker)) return job;
  return take_injected_job(worker);
}

std::optional<JobHandle> steal_from_peers(WorkerThread& worker) {
  WorkerPool& pool = worker.pool();
  const uint64_t count = pool.thread_count();
  if (count < 2) return std::nullopt;
  for (;;) {
    bool lost_a_race = false;
    // A random first victim spreads the thieves over the pool instead of
    // having them all queue up at worker 0.
    const uint64_t start = worker.next_victim_random() % count;
    for (uint64_t step = 0; step < count; ++step) {
      uint64_t victim = start + step;
      if (victim >= count) victim -= count;
      if (victim == worker.index()) continue;
      StealOutcome outcome = pool.slot(victim).thief.steal();
      if (outcome.kind == StealKind::kStolen) return outcome.job;
      if (outcome.kind == StealKind::kRetry) lost_a_race = true;
    }
    if (!lost_a_race) return std::nullopt;
  }
}

std::optional<JobHandle> take_injected_job(WorkerThread& worker) {
  InjectorQueue& injector = worker.pool().injector();
  for (;;) {
    StealOutcome outcome = injector.steal();
    if (outcome.kind == StealKind::kStolen) return outcome.job;
    if (outcome.kind == StealKind::kEmpty) return std::nullopt;
  }
}

void wait_for_latch(WorkerThread& worker, LatchWord& latch) {
  AbortOnEscape guard;
  const LatchWaitCount count;
  SleepControl& sleep = worker.pool().sleep();
  while (!latch.probe()) {
    // Our own work first, without touching the shared sleep counters.
    if (auto job = worker.take_own_job()) {
      execute(*job);
      continue;
    }
    IdleSearch search = sleep.begin_idle(worker.index());
    for (;;) {
      if (latch.probe()) {
        sleep.end_idle();
        guard.disarm();
        return;
      }
      if (auto job = search_for_job(worker)) {
        // Finding work while idle is a hint that there is more: end_idle may
        // wake sleepers to help.
        sleep.end_idle();
        execute(*job);
        break;
      }
      sleep.idle_round(search, latch, worker.pool().injector());
    }
  }
  guard.disarm();
}

void worker_main(void* raw_launch) {
  // A failure must not leave a worker's body: the catch below makes sure the
  // unwinding reaches the guard (an exception with no handler at all may
  // terminate without unwinding).
  try {
    AbortOnEscape guard;
    std::unique_ptr<WorkerLaunch> launch(static_cast<WorkerLaunch*>(raw_launch));
    WorkerThread worker(std::move(launch->deque), launch->index, std::move(launch->pool),
                        next_victim_seed());
    launch.reset();
    enter_worker(worker);

    WorkerSlot& slot = worker.pool().slot(worker.index());
    slot.started.set();
    wait_for_latch(worker, slot.stop.word());
    slot.stopped.set();

    leave_worker(worker);
    guard.disarm();
  } catch (...) {
    abort_with_line(kUnexpectedPanicLine);
  }
}

}  // namespace velk::pool
