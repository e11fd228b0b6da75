// The `_velk` module: its definition and one-time creation, and how a
// module's functions are added to it (shared with the `velk._engine` module).
#pragma once

#include <Python.h>

#include "src/binding/err_state.h"
#include "src/binding/gil.h"

namespace velk::binding {

// A module function's entry, called by the interpreter with
// METH_FASTCALL | METH_KEYWORDS.
using FastcallEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

// `entry` in the type of PyMethodDef's ml_meth, for a static method table
// (ml_flags METH_FASTCALL | METH_KEYWORDS tells the interpreter its real type).
inline PyCFunction as_method(FastcallEntry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The module object for the current interpreter (a new reference): created on
// the first call, the cached one afterwards. Refuses every interpreter but
// the main one with ImportError. Requires the lock.
Result<OwnedRef> make_module();

// Makes the function object of `method` bound to `module`, appends its name
// to the module's `__all__` (creating the list if absent) and sets it as a
// module attribute. The function object keeps pointing at `method`: it must
// live as long as the process (an entry of a static table).
Result<void> add_function(PyObject* module, PyMethodDef& method);

}  // namespace velk::binding
