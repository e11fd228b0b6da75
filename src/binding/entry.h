// The entry from the interpreter into native code: every function call and
// every module initialisation of both modules goes through here.
#pragma once

#include <Python.h>

#include "src/binding/err_state.h"
#include "src/binding/gil.h"

namespace velk::binding {

// Aborts the process if destroyed while armed: it is disarmed on every normal
// exit of an entry point, so an armed destruction means a panic is unwinding
// towards the interpreter, which must never see one.
class [[nodiscard]] PanicGuard {
 public:
  explicit PanicGuard(const char* message) noexcept : message_(message) {}
  PanicGuard(const PanicGuard&) = delete;
  PanicGuard& operator=(const PanicGuard&) = delete;
  ~PanicGuard();
  void disarm() noexcept { armed_ = false; }

 private:
  const char* message_;
  bool armed_ = true;
};

using FunctionBody = Result<OwnedRef> (*)(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);

// Runs `body` as the interpreter's call of a module function: raises the
// lock count for the call, returns the result, or null with the body's error
// (or PanicException for a panic, MemoryError for an allocation failure) as
// the one pending exception. No C++ exception leaves this function, except
// the forced unwind of a thread the interpreter ends (see gil.h).
PyObject* call_trampoline(FunctionBody body, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);

// Runs `make` as a module's initialisation function: the same entry
// discipline as call_trampoline. For the init functions of the modules.
PyObject* run_module_init(Result<OwnedRef> (*make)());

}  // namespace velk::binding
