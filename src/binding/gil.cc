#include "src/binding/gil.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"

namespace velk::binding {
namespace {

thread_local int64_t tls_lock_count = 0;

// References whose release had to wait for the lock.
struct DeferredReleasePool {
  std::mutex mutex;
  GrowableArray<PyObject*> pending;
};

// Created the first time a release must wait; never freed.
std::atomic<DeferredReleasePool*> deferred_pool{nullptr};

std::atomic<bool> interpreter_checked{false};

DeferredReleasePool& pool_instance() {
  // acquire: the pool's mutex and array must be fully built before we lock it.
  DeferredReleasePool* pool = deferred_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
  auto* fresh = new DeferredReleasePool();
  // acq_rel on success publishes our pool; acquire on failure sees the winner's.
  if (deferred_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
    return *fresh;
  }
  delete fresh;
  return *pool;
}

// Parks a thread other than the process's main thread that asks for the lock
// once the interpreter has begun to shut down: only daemon threads run then,
// and PyGILState_Ensure would end this one with pthread_exit, or, once the
// shutdown is complete and the main thread is in exit(), crash on the thread
// state it can no longer make. Parked, the thread ends with the process, as
// CPython 3.14 leaves such threads. The main thread (which runs the shutdown)
// goes on.
void park_if_interpreter_gone() {
  if (Py_IsInitialized() != 0) return;
  if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) return;
  for (;;) pause();
}

void check_lock_allowed() {
  if (tls_lock_count < 0) [[unlikely]] {
    if (tls_lock_count == -1) {
      panic("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    }
    panic("Access to the GIL is currently prohibited.");
  }
}

bool thread_state_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

void apply_pool_if_present() {
  // acquire: pairs with the publishing CAS in pool_instance.
  if (deferred_pool.load(std::memory_order_acquire) != nullptr) apply_deferred_releases();
}

}  // namespace

int64_t lock_count() noexcept { return tls_lock_count; }

bool lock_taken_away() noexcept { return tls_lock_count >= 1 && !thread_state_attached(); }

void LockGuard::release() noexcept {
  if (!std::exchange(active_, false)) return;
  if (kind_ == Kind::kEnsured && !lock_taken_away()) PyGILState_Release(state_);
  --tls_lock_count;
}

LockGuard assume_lock() {
  check_lock_allowed();
  // The interpreter called us, so it has been started: a later acquire_lock
  // that finds it not initialised is at its shutdown, and must park a daemon
  // thread rather than report an interpreter never started. Only the first
  // entry stores (relaxed: as in acquire_lock, the flag only saves checks).
  if (!interpreter_checked.load(std::memory_order_relaxed)) [[unlikely]] {
    interpreter_checked.store(true, std::memory_order_relaxed);
  }
  ++tls_lock_count;
  apply_pool_if_present();
  return LockGuard(LockGuard::Kind::kAssumed, PyGILState_UNLOCKED);
}

LockGuard acquire_lock() {
  if (tls_lock_count <= 0) {
    // relaxed: the flag only saves repeated checks; Py_IsInitialized is
    // cheap and idempotent, so a stale false costs one more check.
    if (!interpreter_checked.load(std::memory_order_relaxed)) {
      if (Py_IsInitialized() == 0) {
        panic(
            "assertion `left != right` failed: The Python interpreter is not initialized and "
            "the `auto-initialize` feature is not enabled.\n\nConsider calling "
            "`pyo3::prepare_freethreaded_python()` before attempting to use Python APIs.\n  "
            "left: 0\n right: 0");
      }
      interpreter_checked.store(true, std::memory_order_relaxed);
    }
  }
  if (tls_lock_count > 0) {
    ++tls_lock_count;
    apply_pool_if_present();
    return LockGuard(LockGuard::Kind::kAssumed, PyGILState_UNLOCKED);
  }
  park_if_interpreter_gone();
  PyGILState_STATE state = PyGILState_Ensure();
  if (tls_lock_count < 0) [[unlikely]] {
    // Give back what we took before reporting the forbidden entry.
    PyGILState_Release(state);
    check_lock_allowed();
  }
  ++tls_lock_count;
  apply_pool_if_present();
  return LockGuard(LockGuard::Kind::kEnsured, state);
}

void release_guard(LockGuard& guard) noexcept { guard.release(); }

void drop_reference(PyObject* object) {
  if (tls_lock_count >= 1) {
    if (lock_taken_away()) [[unlikely]]
      return;
    Py_DECREF(object);
    return;
  }
  DeferredReleasePool& pool = pool_instance();
  std::lock_guard<std::mutex> hold(pool.mutex);
  // Out of memory the reference is leaked: better than unwinding out of a
  // destructor, which would end the process.
  (void)pool.pending.try_push_back(object);
}

void apply_deferred_releases() {
  // acquire: pairs with the publishing CAS in pool_instance.
  DeferredReleasePool* pool = deferred_pool.load(std::memory_order_acquire);
  if (pool == nullptr) return;
  GrowableArray<PyObject*> taken;
  {
    std::lock_guard<std::mutex> hold(pool->mutex);
    if (pool->pending.empty()) return;
    taken = std::move(pool->pending);
  }
  // Released outside the mutex: a deallocator may run Python code that queues
  // more releases.
  for (PyObject* object : taken) Py_DECREF(object);
}

namespace detail {

LockGivenUp::LockGivenUp() noexcept : saved_count_(std::exchange(tls_lock_count, 0)) {
  saved_state_ = PyEval_SaveThread();
}

LockGivenUp::~LockGivenUp() noexcept(false) {
  tls_lock_count = saved_count_;
  if (abandoned_) return;
  // Where the interpreter ends the thread, with the count already back up.
  PyEval_RestoreThread(saved_state_);
  apply_pool_if_present();
}

void LockGivenUp::abandon() noexcept {
  tls_lock_count = saved_count_;
  abandoned_ = true;
}

}  // namespace detail

}  // namespace velk::binding
