// The process-wide worker pool: its record, its workers' state, how a pool is
// built and started, and the one global pool that the parallel map runs on.
//
// The global pool is created lazily by the first operation that needs it,
// sized from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or the processors available
// to the process, and never shut down: its detached workers live until the
// process exits. A child made by fork() gets a fresh pool of its own on its
// first parallel call, since the parent's workers do not exist in it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "src/pool/deque.h"
#include "src/pool/injector.h"
#include "src/pool/latch.h"
#include "src/pool/sleep.h"
#include "src/pool/thread_config.h"
#include "src/runtime/cache_line.h"

namespace velk::pool {

// Largest number of workers in one pool (the sleep counters' 16-bit fields).
inline constexpr uint64_t kMaxWorkers = 65535;

// Why a pool could not be built.
struct ThreadPoolBuildError {
  enum class Kind { kGlobalPoolAlreadyInitialized, kCurrentThreadAlreadyInPool, kIOError };

  Kind kind;
  // The operating-system error, for kIOError only.
  std::optional<OsError> os_error;

  // "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }", and so on;
  // an IOError carries the OS error's debug form in its parentheses.
  std::string to_string() const;
  // An IOError for ENOSYS, EOPNOTSUPP or an error of the unsupported kind:
  // threads cannot be made here at all.
  bool is_unsupported() const;
};

// What the pool keeps of worker i.
struct alignas(kCacheLinePair) WorkerSlot {
  WorkerSlot(DequeThief thief_end, SleepControl* sleep, uint64_t index)
      : thief(std::move(thief_end)), stop(sleep, index) {}

  // Other workers steal worker i's jobs through this end.
  DequeThief thief;
  // Worker i leaves its loop once this is signalled.
  WorkerLatch stop;
  // Set by the worker when it has started and when it has stopped.
  BlockingLatch started;
  BlockingLatch stopped;
};

// A set of worker threads with one deque each, one injector for work handed in
// from outside, and the sleep state. Shared by std::shared_ptr between its
// holder and every worker thread.
class WorkerPool {
 public:
  // A pool of `thread_count` slots (at most kMaxWorkers) for the thieves in
  // `thieves` (one per worker, moved from). No thread is started here.
  WorkerPool(uint64_t thread_count, DequeThief* thieves);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  uint64_t thread_count() const noexcept { return thread_count_; }
  InjectorQueue& injector() noexcept { return injector_; }
  SleepControl& sleep() noexcept { return sleep_; }
  WorkerSlot& slot(uint64_t index) noexcept { return slots_[index]; }

  // Adds to / takes from the stop count; request_stop acts when it reaches 0.
  std::atomic<uint64_t>& stop_count() noexcept { return stop_count_; }

  // False for a pool whose only worker is the thread that built it (the
  // fallback where threads cannot be made): nobody runs that pool's worker
  // loop, so a job handed in through its injector would never be taken.
  // Set by build_pool before the pool is handed to anyone.
  bool has_spawned_workers() const noexcept { return spawned_workers_ != 0; }
  void note_worker_spawned() noexcept { ++spawned_workers_; }

 private:
  InjectorQueue injector_;
  SleepControl sleep_;
  WorkerSlot* slots_;
  uint64_t thread_count_;
  uint64_t spawned_workers_ = 0;
  // Written only by request_stop; apart from the hot words above.
  alignas(kCacheLinePair) std::atomic<uint64_t> stop_count_{1};
};

// The state of one worker, living in its thread's frame (or, for a calling
// thread made into a worker, on the heap for that thread's whole life).
class WorkerThread {
 public:
  WorkerThread(DequeOwner deque, uint64_t index, std::shared_ptr<WorkerPool> pool,
               uint64_t victim_seed);
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  uint64_t index() const noexcept { return index_; }
  WorkerPool& pool() const noexcept { return *pool_; }

  // Pushes a job onto this worker's own deque and announces it to the sleep
  // state (with the deque's emptiness before the push). Owner only.
  void push(JobHandle job);
  // The newest job of this worker's own deque, or none. Owner only.
  std::optional<JobHandle> take_own_job() { return deque_.pop(); }

  // The next output of the victim generator (xorshift64*); advances it.
  uint64_t next_victim_random() noexcept;

 private:
  DequeOwner deque_;
  uint64_t index_;
  uint64_t victim_rng_;
  std::shared_ptr<WorkerPool> pool_;
};

// The worker that the calling thread is, or null on a thread outside every
// pool. The only way code learns whether it runs inside the pool.
WorkerThread* current_worker() noexcept;

// Makes `worker` the calling thread's current worker for the thread's time
// in the pool, and ends that; for worker_main. Each panics if the calling
// thread is already a worker, or is not `worker`, respectively.
void enter_worker(WorkerThread& worker);
void leave_worker(WorkerThread& worker);

// A new pool of min(thread_count, kMaxWorkers) workers, started. With
// `use_calling_thread`, worker 0 is the calling thread itself (no thread is
// started for it and it does not run the worker loop). Does not wait for the
// workers to run. On failure already started workers are told to stop.
struct BuildResult {
  std::shared_ptr<WorkerPool> pool;  // null on failure
  std::optional<ThreadPoolBuildError> error;
};
BuildResult build_pool(uint64_t thread_count, bool use_calling_thread);

// The calling thread, outside every pool, acts for the scope's life as the
// only worker of a private one-worker pool (no thread is started). Used where
// the global pool is the calling-thread fallback of another thread: a job
// handed to it would never run, and a pool of one gives the same splits.
// Precondition: current_worker() is null; it is null again afterwards.
class LoneWorkerScope {
 public:
  LoneWorkerScope();
  ~LoneWorkerScope();
  LoneWorkerScope(const LoneWorkerScope&) = delete;
  LoneWorkerScope& operator=(const LoneWorkerScope&) = delete;

  WorkerThread& worker() noexcept { return *worker_; }

 private:
  std::unique_ptr<WorkerThread> worker_;
};

// How build_pool starts each worker thread: spawn_detached_thread unless a
// test has put something else in (to play a platform without threads).
// Returns the spawner it replaced.
using ThreadSpawner = std::optional<OsError> (*)(void (*body)(void*), void* arg);
ThreadSpawner set_thread_spawner(ThreadSpawner spawner) noexcept;

// The global pool, created on the first call with configured_thread_count()
// workers (falling back to the calling thread alone where threads cannot be
// made at all). Panics with "The global thread pool has not been
// initialized.: <error>" when creation failed: this call's creation error, or
// GlobalPoolAlreadyInitialized on every call that did not run the creation.
// After a creation that panicked, panics with "Once instance has previously
// been poisoned".
WorkerPool& global_pool();

// The global pool if it has been created, else null (never creates it).
WorkerPool* started_global_pool() noexcept;

// The thread count of the pool the calling thread works in, or else of the
// global pool (creating it if need be).
uint64_t current_thread_count();

// Signals the stop latch of every worker of `pool` once its stop count falls
// to 0. Workers see it in their loop and end.
void request_stop(WorkerPool& pool);

// What a new worker thread starts with; the thread takes it over.
struct WorkerLaunch {
  std::shared_ptr<WorkerPool> pool;
  uint64_t index;
  DequeOwner deque;
};

// The body of every worker thread that build_pool starts; `launch` is a heap
// WorkerLaunch that the thread takes over. Defined with the loop it runs, in
// worker.cc.
void worker_main(void* launch);

}  // namespace velk::pool
