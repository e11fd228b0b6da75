#include "src/pool/registry.h"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "src/pool/siphash.h"
#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"

namespace velk::pool {
namespace {

thread_local WorkerThread* t_current_worker = nullptr;

std::optional<OsError> spawn_worker_thread(void (*body)(void*), void* arg) {
  return spawn_detached_thread(body, arg);
}
std::atomic<ThreadSpawner> thread_spawner{&spawn_worker_thread};

// The one-time guard of the global pool. Unlike std::call_once it remembers
// a creation that panicked, so that later callers fail instead of trying
// again.
enum OnceState : uint32_t { kNotRun = 0, kRunning = 1, kDone = 2, kPoisoned = 3 };
std::atomic<uint32_t> global_once{kNotRun};
// The global pool, once created: a raw pointer for the fast path and the
// counted reference that keeps it alive (never released).
std::atomic<WorkerPool*> global_pool_ptr{nullptr};
std::shared_ptr<WorkerPool>* global_pool_owner = nullptr;

template <class Creation>
void run_once(Creation&& creation) {
  // acquire: a caller that sees kDone must see what the creation stored.
  uint32_t state = global_once.load(std::memory_order_acquire);
  for (;;) {
    switch (state) {
      case kDone:
        return;
      case kPoisoned:
        panic("Once instance has previously been poisoned");
      case kNotRun:
        // acquire: pairs with the release of a creator we might race with.
        if (!global_once.compare_exchange_strong(state, kRunning, std::memory_order_acquire,
                                                 std::memory_order_acquire)) {
          continue;
        }
        try {
          creation();
        } catch (...) {
          // release: the waiters we wake read the (empty) holder after this.
          global_once.store(kPoisoned, std::memory_order_release);
          global_once.notify_all();
          throw;
        }
        // release: publishes the holder written by the creation.
        global_once.store(kDone, std::memory_order_release);
        global_once.notify_all();
        return;
      default:
        // Someone else is creating the pool: sleep on the word until it ends.
        // acquire: as for the first load.
        global_once.wait(kRunning, std::memory_order_acquire);
        state = global_once.load(std::memory_order_acquire);
    }
  }
}

// In a child made by fork() only the forking thread exists: the parent's
// workers are gone, and a job handed to their pool would never run. Forget
// that pool (its memory is leaked on purpose: its locks and queues may be in
// any state) so that the child's first parallel call builds a fresh one.
void forget_global_pool_in_child() {
  global_pool_owner = nullptr;
  // relaxed: the child has a single thread at this point.
  global_pool_ptr.store(nullptr, std::memory_order_relaxed);
  global_once.store(kNotRun, std::memory_order_relaxed);
}

// Registered when the library is loaded, before any thread of ours runs. On
// first use, the registration could be under way in one thread while another
// forks: pthread_atfork waits for the fork to finish, and the child would
// inherit a one-time guard left half done and hang on it.
[[maybe_unused]] const bool fork_handler_registered =
    pthread_atfork(nullptr, nullptr, &forget_global_pool_in_child) == 0;

// Runs inside the one-time guard. Returns the error when no pool was built.
std::optional<ThreadPoolBuildError> create_global_pool() {
  BuildResult built = build_pool(configured_thread_count(), /*use_calling_thread=*/false);
  if (!built.pool && built.error->is_unsupported() && current_worker() == nullptr) {
    // Threads cannot be made here at all: the calling thread becomes the
    // pool's only worker. If even that fails, the first error stands.
    BuildResult alone = build_pool(1, /*use_calling_thread=*/true);
    if (alone.pool) built = std::move(alone);
  }
  if (!built.pool) return built.error;
  global_pool_owner = new std::shared_ptr<WorkerPool>(built.pool);
  // release: callers on the fast path read the pool through this pointer
  // without going through the guard.
  global_pool_ptr.store(built.pool.get(), std::memory_order_release);
  return std::nullopt;
}

}  // namespace

std::string ThreadPoolBuildError::to_string() const {
  switch (kind) {
    case Kind::kGlobalPoolAlreadyInitialized:
      return "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }";
    case Kind::kCurrentThreadAlreadyInPool:
      return "ThreadPoolBuildError { kind: CurrentThreadAlreadyInPool }";
    case Kind::kIOError:
      break;
  }
  return "ThreadPoolBuildError { kind: IOError(" + (os_error ? os_error->debug_string() : "") +
         ") }";
}

bool ThreadPoolBuildError::is_unsupported() const {
  return kind == Kind::kIOError && os_error.has_value() && os_error->is_unsupported();
}

WorkerPool::WorkerPool(uint64_t thread_count, DequeThief* thieves)
    : sleep_(thread_count), thread_count_(thread_count) {
  void* block =
      allocate_or_abort(array_bytes(thread_count, sizeof(WorkerSlot)), alignof(WorkerSlot));
  slots_ = static_cast<WorkerSlot*>(block);
  for (uint64_t i = 0; i < thread_count; ++i) {
    new (&slots_[i]) WorkerSlot(std::move(thieves[i]), &sleep_, i);
  }
}

WorkerPool::~WorkerPool() {
  for (uint64_t i = 0; i < thread_count_; ++i) slots_[i].~WorkerSlot();
  release_allocation(slots_);
}

WorkerThread::WorkerThread(DequeOwner deque, uint64_t index, std::shared_ptr<WorkerPool> pool,
                           uint64_t victim_seed)
    : deque_(std::move(deque)), index_(index), victim_rng_(victim_seed), pool_(std::move(pool)) {
  VELK_ASSERT(victim_rng_ != 0);
}

void WorkerThread::push(JobHandle job) {
  bool was_empty = deque_.is_empty();
  deque_.push(job);
  // No fence here (unlike an injection): a sleeper that misses this job is
  // not needed for it, since this worker will run it itself if nobody steals
  // it.
  pool_->sleep().note_new_jobs(was_empty);
}

uint64_t WorkerThread::next_victim_random() noexcept {
  uint64_t x = victim_rng_;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  victim_rng_ = x;
  return x * 0x2545F4914F6CDD1DULL;
}

WorkerThread* current_worker() noexcept { return t_current_worker; }

void enter_worker(WorkerThread& worker) {
  if (t_current_worker != nullptr) panic("assertion failed: t.get().is_null()");
  t_current_worker = &worker;
}

void leave_worker(WorkerThread& worker) {
  if (t_current_worker != &worker) panic("assertion failed: t.get().eq(&(self as *const _))");
  t_current_worker = nullptr;
}

BuildResult build_pool(uint64_t thread_count, bool use_calling_thread) {
  // A pool without workers would never run what is handed to it.
  const uint64_t count = std::clamp<uint64_t>(thread_count, 1, kMaxWorkers);

  std::vector<DequeOwner> owners;
  std::vector<DequeThief> thieves;
  owners.reserve(count);
  thieves.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    DequePair pair = make_work_deque();
    owners.push_back(std::move(pair.owner));
    thieves.push_back(std::move(pair.thief));
  }
  auto pool = std::make_shared<WorkerPool>(count, thieves.data());

  for (uint64_t i = 0; i < count; ++i) {
    auto* launch = new WorkerLaunch{pool, i, std::move(owners[i])};
    if (use_calling_thread && i == 0) {
      std::unique_ptr<WorkerLaunch> own(launch);
      if (t_current_worker != nullptr) {
        return {nullptr,
                ThreadPoolBuildError{ThreadPoolBuildError::Kind::kCurrentThreadAlreadyInPool, {}}};
      }
      // Kept for the calling thread's whole life, never freed.
      t_current_worker = new WorkerThread(std::move(own->deque), own->index, std::move(own->pool),
                                          next_victim_seed());
      continue;
    }
    // relaxed: the spawner is swapped only by tests, before any pool is built.
    ThreadSpawner spawn = thread_spawner.load(std::memory_order_relaxed);
    if (std::optional<OsError> error = spawn(&worker_main, launch)) {
      delete launch;  // the thread never started, so the launch is still ours
      request_stop(*pool);
      return {nullptr,
              ThreadPoolBuildError{ThreadPoolBuildError::Kind::kIOError, std::move(error)}};
    }
    pool->note_worker_spawned();
  }
  return {std::move(pool), std::nullopt};
}

LoneWorkerScope::LoneWorkerScope() {
  VELK_ASSERT(t_current_worker == nullptr);
  DequePair deque = make_work_deque();
  auto pool = std::make_shared<WorkerPool>(1, &deque.thief);
  worker_ = std::make_unique<WorkerThread>(std::move(deque.owner), 0, std::move(pool),
                                           next_victim_seed());
  t_current_worker = worker_.get();
}

LoneWorkerScope::~LoneWorkerScope() {
  VELK_ASSERT(t_current_worker == worker_.get());
  t_current_worker = nullptr;
}

ThreadSpawner set_thread_spawner(ThreadSpawner spawner) noexcept {
  // relaxed: as in build_pool.
  return thread_spawner.exchange(spawner, std::memory_order_relaxed);
}

WorkerPool& global_pool() {
  // acquire: pairs with the release store of the creation, so the pool's
  // fields are visible through the pointer.
  if (WorkerPool* pool = global_pool_ptr.load(std::memory_order_acquire)) return *pool;
  std::optional<ThreadPoolBuildError> own_error;
  run_once([&own_error] { own_error = create_global_pool(); });
  // acquire: as above, for a pool created by another thread.
  if (WorkerPool* pool = global_pool_ptr.load(std::memory_order_acquire)) return *pool;
  ThreadPoolBuildError error =
      own_error
          ? *own_error
          : ThreadPoolBuildError{ThreadPoolBuildError::Kind::kGlobalPoolAlreadyInitialized, {}};
  panic("The global thread pool has not been initialized.: " + error.to_string());
}

WorkerPool* started_global_pool() noexcept {
  // acquire: as in global_pool().
  return global_pool_ptr.load(std::memory_order_acquire);
}

uint64_t current_thread_count() {
  if (WorkerThread* worker = current_worker()) return worker->pool().thread_count();
  return global_pool().thread_count();
}

void request_stop(WorkerPool& pool) {
  // acq_rel: the thread that takes the count to 0 acts for every earlier
  // decrementer.
  if (pool.stop_count().fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  for (uint64_t i = 0; i < pool.thread_count(); ++i) pool.slot(i).stop.set();
}

}  // namespace velk::pool
