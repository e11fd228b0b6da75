// The bridge from native panics to Python exceptions.
//
// A panic caught at a Python entry becomes PanicException(message). The class
// derives from BaseException so that ordinary `except Exception` handlers do
// not swallow what is an internal failure of the module. An allocation
// failure (src/runtime/alloc.h) is no fault of the module's: it becomes an
// ordinary MemoryError.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>

#include "src/binding/err_state.h"

namespace velk::binding {

// The PanicException class (borrowed), created on first use and kept for the
// life of the process. Its qualified name is "pyo3_runtime.PanicException";
// it is not added to any module's namespace. Requires the lock.
PyObject* panic_exception_type();

// The PanicException class if it has been created, else null. An exception
// can only be a PanicException once the class exists, so telling whether one
// is never needs to create it (which could fail and need telling again).
PyObject* existing_panic_exception_type();

// The error to raise for a caught panic payload: PanicException with the
// panic's text, or "panic from Rust code" for a payload that is not text.
PyErr panic_to_error(std::exception_ptr payload);

// Makes MemoryError("memory allocation of {bytes} bytes failed") the pending
// exception, or the interpreter's bare MemoryError when `bytes` is 0 (not
// known). Builds no PyErr and allocates nothing of ours, so it works right
// after an allocation failed; if the interpreter cannot make the message
// either, its own MemoryError stands. Requires the lock.
void restore_memory_error(std::size_t bytes) noexcept;

}  // namespace velk::binding
