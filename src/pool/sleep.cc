#include "src/pool/sleep.h"

#include <sched.h>

#include <algorithm>
#include <new>

#include "src/pool/injector.h"
#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"

namespace velk::pool {
namespace {

// Every counter operation is sequentially consistent: the protocol argues
// about the one total order of changes to this word together with the fences
// of the injector and the sleeper (see try_sleep and inject_job).
constexpr auto kCounterOrder = std::memory_order_seq_cst;

void wake_latch_up(LatchWord& latch) noexcept {
  // The worker leaves its sleep: hand the word back to "unsignalled" unless
  // the setter has already signalled it (then the swap below fails, fine).
  if (!latch.probe()) latch.try_transition(LatchState::kWaiterAsleep, LatchState::kUnsignalled);
}

void reset_fully(IdleSearch& search) noexcept {
  search.rounds = 0;
  search.jobs_event_snapshot = kNoSnapshot;
}

}  // namespace

SleepControl::SleepControl(uint64_t worker_count) : worker_count_(worker_count) {
  VELK_ASSERT(worker_count <= 0xFFFF);
  std::size_t count = worker_count == 0 ? 1 : static_cast<std::size_t>(worker_count);
  void* block = allocate_or_abort(array_bytes(count, sizeof(SleepRecord)), alignof(SleepRecord));
  records_ = static_cast<SleepRecord*>(block);
  for (std::size_t i = 0; i < count; ++i) new (&records_[i]) SleepRecord();
}

SleepControl::~SleepControl() {
  std::size_t count = worker_count_ == 0 ? 1 : static_cast<std::size_t>(worker_count_);
  for (std::size_t i = 0; i < count; ++i) records_[i].~SleepRecord();
  release_allocation(records_);
}

IdleSearch SleepControl::begin_idle(uint64_t worker_index) noexcept {
  counters_.fetch_add(SleepCounters::kOneInactive, kCounterOrder);
  return IdleSearch{worker_index, 0, kNoSnapshot};
}

void SleepControl::end_idle() noexcept {
  uint64_t before = counters_.fetch_sub(SleepCounters::kOneInactive, kCounterOrder);
  wake_some(std::min<uint64_t>(SleepCounters::sleeping(before), 2));
}

void SleepControl::idle_round(IdleSearch& search, LatchWord& latch, const InjectorQueue& injector) {
  if (search.rounds < kSleepyRound) {
    sched_yield();
    ++search.rounds;
  } else if (search.rounds == kSleepyRound) {
    mark_sleepy(search);
    search.rounds = kSleepRound;
    sched_yield();
  } else {
    try_sleep(search, latch, injector);
  }
}

void SleepControl::mark_sleepy(IdleSearch& search) noexcept {
  uint64_t word = counters_.load(kCounterOrder);
  for (;;) {
    if (SleepCounters::jobs_event(word) % 2 == 0) {
      search.jobs_event_snapshot = SleepCounters::jobs_event(word);
      return;
    }
    // Make jobs_event even: "somebody got sleepy since the last new work".
    // A producer that then announces work makes it odd again, which the
    // snapshot will catch in try_sleep.
    uint64_t sleepy = word + SleepCounters::kOneJobsEvent;
    if (counters_.compare_exchange_weak(word, sleepy, kCounterOrder, kCounterOrder)) {
      search.jobs_event_snapshot = SleepCounters::jobs_event(sleepy);
      return;
    }
  }
}

void SleepControl::try_sleep(IdleSearch& search, LatchWord& latch, const InjectorQueue& injector) {
  if (!latch.try_transition(LatchState::kUnsignalled, LatchState::kWaiterSleepy)) return;

  SleepRecord& record = records_[search.worker_index];
  std::unique_lock<std::mutex> hold(record.mutex);

  if (!latch.try_transition(LatchState::kWaiterSleepy, LatchState::kWaiterAsleep)) {
    // The latch was set while we were getting ready; its setter saw us sleepy
    // and owes no wake. Go back and find it signalled.
    reset_fully(search);
    return;
  }

  uint64_t word = counters_.load(kCounterOrder);
  for (;;) {
    if (SleepCounters::jobs_event(word) != search.jobs_event_snapshot) {
      // New work was announced since we got sleepy: search once more, and
      // get sleepy again straight away if that finds nothing.
      search.rounds = kSleepyRound;
      search.jobs_event_snapshot = kNoSnapshot;
      wake_latch_up(latch);
      return;
    }
    if (counters_.compare_exchange_weak(word, word + SleepCounters::kOneSleeping, kCounterOrder,
                                        kCounterOrder)) {
      break;
    }
  }

  // seq_cst fence: pairs with the fence between an injector push and the
  // producer's read of the counters. Either that producer sees our sleeping
  // count and wakes us, or we see its job here and stay awake.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (!injector.is_empty()) {
    counters_.fetch_sub(SleepCounters::kOneSleeping, kCounterOrder);
  } else {
    record.blocked = true;
    // The waker clears `blocked` and takes our sleeping count off for us.
    record.wake.wait(hold, [&record] { return !record.blocked; });
  }

  reset_fully(search);
  wake_latch_up(latch);
}

void SleepControl::note_new_jobs(bool queue_was_empty) noexcept {
  uint64_t word = counters_.load(kCounterOrder);
  for (;;) {
    if (SleepCounters::jobs_event(word) % 2 == 1) break;
    // Make jobs_event odd, so that a worker that got sleepy before this push
    // sees the change when it tries to sleep.
    uint64_t announced = word + SleepCounters::kOneJobsEvent;
    if (counters_.compare_exchange_weak(word, announced, kCounterOrder, kCounterOrder)) {
      word = announced;
      break;
    }
  }

  if (SleepCounters::sleeping(word) == 0) return;
  // A sleeper is needed when the queue was already busy (the searchers that
  // are awake have not kept up) or when nobody awake is searching at all.
  if (!queue_was_empty || SleepCounters::awake_idle(word) == 0) wake_some(1);
}

bool SleepControl::wake_worker(uint64_t index) noexcept {
  SleepRecord& record = records_[index];
  std::lock_guard<std::mutex> hold(record.mutex);
  if (!record.blocked) return false;
  record.blocked = false;
  record.wake.notify_one();
  counters_.fetch_sub(SleepCounters::kOneSleeping, kCounterOrder);
  return true;
}

void SleepControl::wake_some(uint64_t count) noexcept {
  if (count == 0) return;
  for (uint64_t i = 0; i < worker_count_; ++i) {
    if (wake_worker(i) && --count == 0) return;
  }
}

uint64_t SleepControl::counters() const noexcept { return counters_.load(kCounterOrder); }

}  // namespace velk::pool
