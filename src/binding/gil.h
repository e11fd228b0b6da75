// Interpreter-lock bookkeeping of the binding layer.
//
// Each thread keeps its own count of how often it entered the binding layer
// with the interpreter lock held (LockCount). Entries from the interpreter
// only raise the count, so a call costs no interpreter call for the lock;
// code that may run on any thread takes the lock with PyGILState_Ensure when
// the count says it is not held. References released where the lock is not
// held are queued and released at the next lock entry on any thread.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

namespace velk::binding {

// This thread's lock count: above 0 the thread holds the lock (nested that
// many times through the binding layer), 0 not through us, negative taking
// the lock is forbidden.
int64_t lock_count() noexcept;

// Proof that the current thread holds the interpreter lock, for as long as
// the guard lives. Ending it lowers the count and, for an ensured guard, gives
// back what PyGILState_Ensure took.
class [[nodiscard]] LockGuard {
 public:
  enum class Kind { kAssumed, kEnsured };

  LockGuard(LockGuard&& other) noexcept
      : kind_(other.kind_), state_(other.state_), active_(std::exchange(other.active_, false)) {}
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  LockGuard& operator=(LockGuard&&) = delete;
  ~LockGuard() { release(); }

  Kind kind() const noexcept { return kind_; }
  // Ends the guard early; later calls and the destructor do nothing.
  void release() noexcept;

 private:
  friend LockGuard assume_lock();
  friend LockGuard acquire_lock();
  LockGuard(Kind kind, PyGILState_STATE state) noexcept : kind_(kind), state_(state) {}

  Kind kind_;
  PyGILState_STATE state_;
  bool active_ = true;
};

// For entries the interpreter calls with the lock held (module init and the
// function entries): raises the count without an interpreter call and applies
// pending deferred releases. Panics if taking the lock is forbidden here.
LockGuard assume_lock();

// For code that may run with or without the lock: an assumed guard when the
// count shows the lock held, otherwise takes it with PyGILState_Ensure. Panics
// if the interpreter is not initialised; this module never starts one.
LockGuard acquire_lock();

// Ends a guard (same as letting it go out of scope).
void release_guard(LockGuard& guard) noexcept;

// Runs `work` with the interpreter lock given up and the count at 0, then
// takes the lock back and restores the count, also when `work` unwinds.
// Precondition: the calling thread holds the lock.
template <class Work>
decltype(auto) give_up_lock_while(Work&& work);

// Releases one strong reference from any thread: at once when this thread
// holds the lock, otherwise queued for the next lock entry.
void drop_reference(PyObject* object) noexcept;

// Releases the queued references, in queue order. Requires the lock.
void apply_deferred_releases() noexcept;

// An owned strong reference (or null); released through drop_reference.
class [[nodiscard]] OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (may be null).
  explicit OwnedRef(PyObject* owned) noexcept : ptr_(owned) {}
  // Takes a new reference to a borrowed object.
  static OwnedRef from_borrowed(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }
  OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { reset(); }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = std::exchange(ptr_, owned);
    if (old != nullptr) drop_reference(old);
  }

 private:
  PyObject* ptr_ = nullptr;
};

namespace detail {

// Saves the count and the thread state; puts both back when destroyed.
class [[nodiscard]] LockGivenUp {
 public:
  LockGivenUp() noexcept;
  ~LockGivenUp();
  LockGivenUp(const LockGivenUp&) = delete;
  LockGivenUp& operator=(const LockGivenUp&) = delete;

 private:
  int64_t saved_count_;
  PyThreadState* saved_state_;
};

}  // namespace detail

template <class Work>
decltype(auto) give_up_lock_while(Work&& work) {
  detail::LockGivenUp given_up;
  return std::forward<Work>(work)();
}

}  // namespace velk::binding
