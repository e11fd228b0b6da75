// Sleep and wake protocol of the pool's workers.
//
// A worker that finds no work keeps searching, yielding the processor between
// searches; after kSleepyRound fruitless rounds it announces that it is
// getting sleepy, and one round later it blocks on a condition variable of its
// own. Producers of work announce new jobs through one packed counter word and
// wake sleeping workers by a fixed rule, so that one event never wakes the
// whole pool and no wake-up is lost.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "src/pool/latch.h"
#include "src/runtime/cache_line.h"

namespace velk::pool {

class InjectorQueue;

// Round at which a searching worker marks itself sleepy, and the round at
// which it tries to block.
inline constexpr uint32_t kSleepyRound = 32;
inline constexpr uint32_t kSleepRound = 33;
// The jobs-event snapshot of a search that has not got sleepy.
inline constexpr uint64_t kNoSnapshot = ~uint64_t{0};

// The fields of the packed counter word: `sleeping` in bits 0-15, `inactive`
// in bits 16-31, `jobs_event` in bits 32-63 (wrapping). Odd jobs_event means
// the last event was new work; even means a worker got sleepy since.
struct SleepCounters {
  static constexpr uint64_t kOneSleeping = 1;
  static constexpr uint64_t kOneInactive = uint64_t{1} << 16;
  static constexpr uint64_t kOneJobsEvent = uint64_t{1} << 32;

  static uint64_t sleeping(uint64_t word) noexcept { return word & 0xFFFF; }
  static uint64_t inactive(uint64_t word) noexcept { return (word >> 16) & 0xFFFF; }
  static uint64_t jobs_event(uint64_t word) noexcept { return word >> 32; }
  // Workers that are idle but awake, still searching.
  static uint64_t awake_idle(uint64_t word) noexcept { return inactive(word) - sleeping(word); }
};

// The state of one idle phase of one worker's wait.
struct IdleSearch {
  uint64_t worker_index = 0;
  uint32_t rounds = 0;
  uint64_t jobs_event_snapshot = kNoSnapshot;
};

// The counter word and one sleep record per worker. Lives inside the pool for
// the pool's whole life and is never reset.
// Lock: a thread holds at most one record's mutex at a time and takes no other
// lock under it.
class SleepControl {
 public:
  // Up to 65535 workers (the 16-bit fields must not overflow).
  explicit SleepControl(uint64_t worker_count);
  ~SleepControl();
  SleepControl(const SleepControl&) = delete;
  SleepControl& operator=(const SleepControl&) = delete;

  uint64_t worker_count() const noexcept { return worker_count_; }

  // The worker's own deque came up empty: it now counts as inactive and
  // starts a search with 0 rounds.
  IdleSearch begin_idle(uint64_t worker_index) noexcept;

  // The idle phase ended (a job was found or the latch was set): the worker
  // no longer counts as inactive, and up to 2 sleepers are woken so that the
  // work it found can spread.
  void end_idle() noexcept;

  // One failed search: yields below kSleepyRound, marks the worker sleepy at
  // kSleepyRound, and at kSleepRound tries to block until woken. `latch` is
  // the latch the worker waits for (a set latch wakes it); `injector` is the
  // pool's queue of handed-in jobs, looked at once more just before blocking.
  void idle_round(IdleSearch& search, LatchWord& latch, const InjectorQueue& injector);

  // One new job was pushed onto a queue that was empty (`queue_was_empty`) or
  // already held jobs. Wakes one sleeper when there is one and either the
  // queue already held jobs or no idle worker is awake to find it.
  void note_new_jobs(bool queue_was_empty) noexcept;

  // Wakes worker `index` if it is blocked; true when it was.
  bool wake_worker(uint64_t index) noexcept;

  // Wakes up to `count` blocked workers, lowest index first.
  void wake_some(uint64_t count) noexcept;

  // The counter word (sequentially consistent load), for tests and
  // diagnostics; decode it with SleepCounters.
  uint64_t counters() const noexcept;

 private:
  // Each record fills one line pair of its own: its mutex is hammered by
  // its worker and by wakers, never by the neighbours.
  struct alignas(kCacheLinePair) SleepRecord {
    std::mutex mutex;
    // The worker waits on `wake` and nobody has woken it yet. Guarded by mutex.
    bool blocked = false;
    std::condition_variable wake;
  };
  static_assert(sizeof(SleepRecord) == kCacheLinePair);

  void mark_sleepy(IdleSearch& search) noexcept;
  void try_sleep(IdleSearch& search, LatchWord& latch, const InjectorQueue& injector);

  // The counter word sits alone on its line: every producer reads it.
  alignas(kCacheLinePair) std::atomic<uint64_t> counters_{0};
  alignas(kCacheLinePair) SleepRecord* records_;
  uint64_t worker_count_;
};

}  // namespace velk::pool
