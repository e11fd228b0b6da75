#include "src/binding/panic.h"

#include <atomic>
#include <cstring>
#include <string>

#include "src/runtime/panic.h"

namespace velk::binding {
namespace {

constexpr char kPanicName[] = "pyo3_runtime.PanicException";
constexpr char kPanicDoc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Set once; a racing second creator releases its class and uses the first.
std::atomic<PyObject*> panic_class{nullptr};

// The interpreter takes C strings: the text must end at its terminator.
template <std::size_t N>
const char* checked_c_string(const char (&text)[N]) {
  if (text[N - 1] != '\0') panic("string is not nul-terminated");
  if (std::strlen(text) != N - 1) panic("string contains null bytes");
  return text;
}

// "PyErr { type: ..., value: ..., traceback: ... }" of a failed creation.
std::string debug_form(PyErr& error) {
  LockGuard lock = acquire_lock();
  PyObject* instance = error.normalise();
  std::string out = "PyErr { type: ";
  auto append_repr = [&out](PyObject* object) {
    if (OwnedRef repr{PyObject_Repr(object)}) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &size)) {
        out.append(utf8, static_cast<std::size_t>(size));
        return;
      }
    }
    PyErr_Clear();
    out += "<repr failed>";
  };
  append_repr(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
  out += ", value: ";
  append_repr(instance);
  out += ", traceback: ";
  OwnedRef traceback(PyException_GetTraceback(instance));
  if (traceback) {
    append_repr(traceback.get());
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

}  // namespace

PyObject* panic_exception_type() {
  // acquire: the class object must be complete before we hand it out.
  if (PyObject* made = panic_class.load(std::memory_order_acquire)) return made;
  PyObject* fresh = PyErr_NewExceptionWithDoc(
      checked_c_string(kPanicName), checked_c_string(kPanicDoc), PyExc_BaseException, nullptr);
  if (fresh == nullptr) {
    PyErr error = fetch_or_missing();
    panic("Failed to initialize new exception type.: " + debug_form(error));
  }
  PyObject* expected = nullptr;
  // acq_rel publishes ours; on failure, acquire sees the winner's class.
  if (panic_class.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
    return fresh;
  }
  drop_reference(fresh);
  return expected;
}

PyObject* existing_panic_exception_type() { return panic_class.load(std::memory_order_acquire); }

PyErr panic_to_error(std::exception_ptr payload) {
  const std::string* text = panic_message(payload);
  std::string message = text != nullptr ? *text : std::string("panic from Rust code");
  payload = nullptr;
  return PyErr::panic_exception(std::move(message));
}

void restore_memory_error(std::size_t bytes) noexcept {
  if (bytes == 0) {
    PyErr_NoMemory();
    return;
  }
  PyErr_Format(PyExc_MemoryError, "memory allocation of %zu bytes failed", bytes);
}

}  // namespace velk::binding
