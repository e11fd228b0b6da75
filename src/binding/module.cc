#include "src/binding/module.h"

#include <atomic>
#include <cstdint>

#include "src/binding/conversion.h"
#include "src/binding/functions.h"

namespace velk::binding {
namespace {

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;
static_assert(kFastcallKeywords == 0x82);

constexpr int kApiVersion = 1013;
static_assert(kApiVersion == PYTHON_API_VERSION);

// The module's functions, in the order of `__all__`. Each doc is
// "name(params)\n--\n\n" (the text signature) followed by the docstring, if
// any.
PyMethodDef methods[] = {
    {"cosine_similarity", as_method(&cosine_similarity_entry), kFastcallKeywords,
     "cosine_similarity(a, b)\n--\n\n"},
    {"top_k", as_method(&top_k_entry), kFastcallKeywords, "top_k(query, embeddings, k)\n--\n\n"},
    {"top_k_flat", as_method(&top_k_flat_entry), kFastcallKeywords,
     "top_k_flat(query, embeddings, dim, k)\n--\n\n"},
    {"top_k_flat_np", as_method(&top_k_flat_np_entry), kFastcallKeywords,
     "top_k_flat_np(query, embeddings, dim, k)\n--\n\n"
     "Zero-copy variant \xe2\x80\x94 accepts numpy float32 arrays via the Python buffer "
     "protocol.\nThe caller must ensure the arrays are C-contiguous float32."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_velk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The address is the guide's section on subinterpreters, which says what to
// do instead.
constexpr char kSubinterpreterRefusal[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "docs/guide.md#subinterpreters";

// The interpreter that initialised the module (always the main one); -1
// until then.
std::atomic<int64_t> owner_interpreter{-1};
// Strong reference to the module, kept for the life of the process.
std::atomic<PyObject*> module_cache{nullptr};

std::atomic<PyObject*> interned_name{nullptr};
std::atomic<PyObject*> interned_all{nullptr};

// An interned string made once per process; a racing second one is dropped.
PyObject* interned(std::atomic<PyObject*>& cell, const char* text) {
  // acquire: the string object must be complete before we use it.
  if (PyObject* made = cell.load(std::memory_order_acquire)) return made;
  PyObject* fresh = PyUnicode_InternFromString(text);
  if (fresh == nullptr) api_call_failed();
  PyObject* expected = nullptr;
  // acq_rel publishes ours; on failure, acquire sees the winner's.
  if (cell.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return fresh;
  }
  drop_reference(fresh);
  return expected;
}

// The module's `__all__` list, made empty if the module has none yet.
Result<OwnedRef> module_all(PyObject* module) {
  PyObject* all_name = interned(interned_all, "__all__");
  OwnedRef all(PyObject_GetAttr(module, all_name));
  if (!all) {
    PyErr error = fetch_or_missing();
    PyObject* missing_type = reinterpret_cast<PyObject*>(Py_TYPE(error.normalise()));
    if (PyErr_GivenExceptionMatches(missing_type, PyExc_AttributeError) == 0) return error;
    all = OwnedRef(PyList_New(0));
    if (!all) api_call_failed();
    if (PyObject_SetAttr(module, all_name, all.get()) == -1) return fetch_or_missing();
    return all;
  }
  if (!PyList_Check(all.get())) return downcast_error(all.get(), "PyList");
  return all;
}

Result<void> add_functions(PyObject* module) {
  for (PyMethodDef* method = methods; method->ml_name != nullptr; ++method) {
    if (Result<void> added = add_function(module, *method); !added) return added;
  }
  return {};
}

}  // namespace

Result<void> add_function(PyObject* module, PyMethodDef& method) {
  OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return fetch_or_missing();
  OwnedRef function(PyCMethod_New(&method, module, module_name.get(), nullptr));
  module_name.reset();
  if (!function) return fetch_or_missing();

  OwnedRef name(PyObject_GetAttr(function.get(), interned(interned_name, "__name__")));
  if (!name) return fetch_or_missing();
  if (!PyUnicode_Check(name.get())) return downcast_error(name.get(), "PyString");

  Result<OwnedRef> all = module_all(module);
  if (!all) return all.take_error();
  if (PyList_Append(all->get(), name.get()) == -1) return fetch_or_missing();
  if (PyObject_SetAttr(module, name.get(), function.get()) == -1) return fetch_or_missing();
  return {};
}

Result<OwnedRef> make_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return fetch_or_missing();
  // Only the main interpreter may own the module. A subinterpreter that came
  // first would otherwise lock the main one out for good, even one whose
  // import the interpreter itself goes on to refuse (an isolated one) or
  // that is destroyed a moment later.
  if (interpreter != PyInterpreterState_Main()) {
    return PyErr::new_lazy(PyExc_ImportError, kSubinterpreterRefusal);
  }
  int64_t owner = -1;
  // acq_rel: orders this claim with the module cache filled by the owner.
  if (!owner_interpreter.compare_exchange_strong(owner, id, std::memory_order_acq_rel,
                                                 std::memory_order_acquire) &&
      owner != id) {
    return PyErr::new_lazy(PyExc_ImportError, kSubinterpreterRefusal);
  }
  // acquire: the cached module was fully initialised before it was stored.
  if (PyObject* cached = module_cache.load(std::memory_order_acquire)) {
    return OwnedRef::from_borrowed(cached);
  }
  OwnedRef module(PyModule_Create2(&module_definition, kApiVersion));
  if (!module) return fetch_or_missing();
  if (Result<void> added = add_functions(module.get()); !added) return added.take_error();
  PyObject* expected = nullptr;
  // acq_rel publishes the initialised module; on failure, acquire sees the first one.
  if (module_cache.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    // The cache keeps the reference we made; the caller gets its own.
    return OwnedRef::from_borrowed(module.release());
  }
  return OwnedRef::from_borrowed(expected);
}

}  // namespace velk::binding
