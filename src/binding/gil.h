// Interpreter-lock bookkeeping of the binding layer.
//
// Each thread keeps its own count of how often it entered the binding layer
// with the interpreter lock held (LockCount). Entries from the interpreter
// only raise the count, so a call costs no interpreter call for the lock;
// code that may run on any thread takes the lock with PyGILState_Ensure when
// the count says it is not held. References released where the lock is not
// held are queued and released at the next lock entry on any thread.
//
// Threads ended by the interpreter: at shutdown CPython 3.12 and 3.13 end a
// daemon thread that asks for the lock back (say, in the __float__ of an
// item we are converting) with pthread_exit, and the forced unwind runs our
// destructors on a thread that holds no lock and has no thread state. The
// count still says "held" then, and everything below that would touch the
// interpreter (a reference release, a buffer release, giving back what
// PyGILState_Ensure took, taking the lock back) does nothing: what it owns
// is leaked, the process is on its way out.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <cstdint>
#include <utility>

// On a function that catches abi::__forced_unwind: glibc's unwind is no C++
// throw, so the handler's reference is bound to no object, which UBSan would
// report on every thread the interpreter ends. GCC checks a handler's
// reference under "alignment" (which tests for null first) as well as
// "null", so both are off.
#define VELK_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null", "alignment")))

namespace velk::binding {

// This thread's lock count: above 0 the thread holds the lock (nested that
// many times through the binding layer), 0 not through us, negative taking
// the lock is forbidden.
int64_t lock_count() noexcept;

// True when the count says this thread holds the lock but no thread state is
// attached: the interpreter has taken the lock away to end the thread, which
// is being unwound. Nothing may touch the interpreter then.
bool lock_taken_away() noexcept;

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
// takes the lock back and restores the count, also when `work` panics. When
// the interpreter ends the thread instead (a forced unwind, from `work` or
// from taking the lock back), the count is restored but the lock is not
// taken back, so lock_taken_away() holds for the cleanups that follow.
// Precondition: the calling thread holds the lock.
template <class Work>
decltype(auto) give_up_lock_while(Work&& work);

// Releases one strong reference from any thread: at once when this thread
// holds the lock, otherwise queued for the next lock entry; leaked when the
// lock has been taken away (see lock_taken_away). Not noexcept: a release
// may run Python code (a __del__), where the interpreter may end the thread,
// and that forced unwind must get through.
void drop_reference(PyObject* object);

// Releases the queued references, in queue order. Requires the lock. Not
// noexcept, as drop_reference.
void apply_deferred_releases();

// An owned strong reference (or null); released through drop_reference, so
// releasing, and with it the destructor, may end the thread by forced unwind.
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
  OwnedRef& operator=(OwnedRef&& other) {
    if (this != &other) reset(std::exchange(other.ptr_, nullptr));
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() noexcept(false) { reset(); }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset(PyObject* owned = nullptr) {
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
  // May end the thread (the interpreter does so while it shuts down), so the
  // forced unwind must be able to leave it.
  ~LockGivenUp() noexcept(false);
  LockGivenUp(const LockGivenUp&) = delete;
  LockGivenUp& operator=(const LockGivenUp&) = delete;

  // The thread is being ended: put the count back, leave the lock alone.
  void abandon() noexcept;

 private:
  int64_t saved_count_;
  PyThreadState* saved_state_;
  bool abandoned_ = false;
};

}  // namespace detail

template <class Work>
VELK_CATCHES_FORCED_UNWIND decltype(auto) give_up_lock_while(Work&& work) {
  detail::LockGivenUp given_up;
  try {
    return std::forward<Work>(work)();
  } catch (abi::__forced_unwind&) {
    given_up.abandon();
    throw;  // a forced unwind must go on to the thread's end
  }
}

}  // namespace velk::binding
