// The `_velk` module: its definition, one-time creation, and the common entry
// wrapper of its functions (shared with the `velk._engine` module).
#pragma once

#include <Python.h>

#include "src/binding/err_state.h"
#include "src/binding/gil.h"

namespace velk::binding {

// One Python function of the module; copied into a PyMethodDef (never freed)
// when its function object is made.
struct FunctionDefinition {
  const char* name;
  PyObject* (*entry)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);
  int flags;
  // "name(params)\n--\n\n" followed by the docstring, if any.
  const char* doc;
};

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

// The module object for the current interpreter (a new reference): created on
// the first call, the cached one afterwards. Refuses every interpreter but
// the main one with ImportError. Requires the lock.
Result<OwnedRef> make_module();

// Makes the function object of `definition` bound to `module`, appends its
// name to the module's `__all__` (creating the list if absent) and sets it
// as a module attribute.
Result<void> add_function(PyObject* module, const FunctionDefinition& definition);

using FunctionBody = Result<OwnedRef> (*)(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);

// Runs `body` as the interpreter's call of a module function: raises the
// lock count for the call, returns the result, or null with the body's error
// (or PanicException for a panic) as the one pending exception. No C++
// exception leaves this function.
PyObject* call_trampoline(FunctionBody body, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);

// Runs `make` as a module's initialisation function: the same entry
// discipline as call_trampoline. For the init functions of the modules.
PyObject* run_module_init(Result<OwnedRef> (*make)());

}  // namespace velk::binding
