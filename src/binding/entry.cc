#include "src/binding/entry.h"

#include <cxxabi.h>

#include <exception>
#include <new>
#include <optional>

#include "src/binding/panic.h"
#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"

namespace velk::binding {
namespace {

// The one way native code is entered from the interpreter: the lock count is
// raised for the call, and the body's error, a panic turned into
// PanicException, or an allocation failure turned into MemoryError, becomes
// the one pending exception. A panic escaping even this (while restoring the
// error) aborts in the guard.
template <class Body>
VELK_CATCHES_FORCED_UNWIND PyObject* run_at_entry(Body&& body) {
  PanicGuard guard("uncaught panic at ffi boundary");
  PyObject* result = nullptr;
  try {
    LockGuard lock = assume_lock();
    std::optional<PyErr> error;
    std::exception_ptr panic_payload;
    try {
      Result<OwnedRef> outcome = body();
      if (outcome) {
        result = outcome.value().release();
      } else {
        error.emplace(outcome.take_error());
      }
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended: not ours to stop
    } catch (const std::bad_alloc& failure) {
      // Raised at once: building a PyErr would need memory too.
      note_panic_caught();
      restore_memory_error(refused_bytes(failure));
    } catch (...) {
      note_panic_caught();
      panic_payload = std::current_exception();
    }
    try {
      if (panic_payload) error.emplace(panic_to_error(std::move(panic_payload)));
      if (error) std::move(*error).restore();
    } catch (const std::bad_alloc& failure) {
      // No memory left to build the error: say so instead.
      note_panic_caught();
      restore_memory_error(refused_bytes(failure));
    }
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread (a daemon thread at shutdown) with
    // pthread_exit while it waits for the lock inside the call. The cleanups
    // on the way have touched nothing of the interpreter (see gil.h); let
    // the unwind go on to the thread's end.
    guard.disarm();
    throw;
  } catch (...) {
    // Stop the unwinding here, with the guard still armed: above us are only
    // the interpreter's C frames, and an exception that finds no handler at
    // all ends in std::terminate without running the guard.
    return nullptr;
  }
  guard.disarm();
  return result;
}

}  // namespace

PanicGuard::~PanicGuard() {
  if (armed_) panic_nounwind(message_);
}

PyObject* call_trampoline(FunctionBody body, PyObject* /*self*/, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return run_at_entry([&] { return body(args, nargs, kwnames); });
}

PyObject* run_module_init(Result<OwnedRef> (*make)()) { return run_at_entry(make); }

}  // namespace velk::binding
