// The four Python functions of the module: their argument records and the
// vectorcall entries that the module's function objects point at.
#pragma once

#include <Python.h>

#include "src/binding/err_state.h"
#include "src/binding/extract_argument.h"
#include "src/binding/gil.h"

namespace velk::binding {

extern const ArgumentSpec kCosineSimilaritySpec;
extern const ArgumentSpec kTopKSpec;
extern const ArgumentSpec kTopKFlatSpec;
extern const ArgumentSpec kTopKFlatNpSpec;

// Bodies: bind, convert, run the kernels, build the result; the first failure
// is returned. Arguments are converted in parameter order, except that
// top_k_flat_np checks `dim` and `k` before it asks for either buffer.
// Called only through call_trampoline, with the lock held.
Result<OwnedRef> cosine_similarity(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<OwnedRef> top_k(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<OwnedRef> top_k_flat(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<OwnedRef> top_k_flat_np(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Vectorcall entries (METH_FASTCALL | METH_KEYWORDS) wrapping the bodies.
PyObject* cosine_similarity_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* top_k_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* top_k_flat_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* top_k_flat_np_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace velk::binding
