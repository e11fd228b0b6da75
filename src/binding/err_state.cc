#include "src/binding/err_state.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "src/binding/panic.h"
#include "src/runtime/panic.h"

namespace velk::binding {

// What a lazy error needs to build its exception.
struct LazyBuilder {
  enum class Kind { kText, kDowncast, kPanic, kForeign };
  Kind kind;
  // kText: a static exception type (borrowed, lives forever).
  PyObject* static_type = nullptr;
  // kDowncast: the offending object's type; kForeign: the object itself.
  OwnedRef object;
  // kText and kPanic: the message; kDowncast: the target name.
  std::string text;
};

class PyErrState {
 public:
  std::optional<LazyBuilder> lazy;
  OwnedRef normalized;
  // Set once `normalized` is final.
  std::atomic<bool> complete{false};
  std::once_flag once;
  std::mutex thread_mutex;
  std::optional<std::thread::id> normalizing_thread;
};

namespace {

// Appends the UTF-8 text of a str object; lone surrogates, which have no
// UTF-8 form, come out as replacement characters.
void append_str_lossy(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    out.append(utf8, static_cast<std::size_t>(size));
    return;
  }
  PyErr_Clear();
  OwnedRef bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return;
  }
  OwnedRef repaired(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                         PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* utf8 = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return;
  }
  out.append(utf8, static_cast<std::size_t>(size));
}

// Null, with the interpreter's MemoryError pending, when it cannot be made.
OwnedRef new_str(std::string_view text) {
  return OwnedRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string downcast_message(PyObject* type, const std::string& target) {
  std::string message = "'";
  OwnedRef qualname(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  Py_ssize_t size = 0;
  const char* utf8 = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
  if (utf8 != nullptr) {
    message.append(utf8, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
    message += "<failed to extract type name>";
  }
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return message;
}

// Makes the builder's exception pending in the interpreter. If the
// interpreter has no memory for its argument, its MemoryError is left pending
// instead: that is the truth about the call by then.
void raise_lazy(LazyBuilder builder) {
  OwnedRef type;
  OwnedRef argument;
  switch (builder.kind) {
    case LazyBuilder::Kind::kText:
      type = OwnedRef::from_borrowed(builder.static_type);
      argument = new_str(builder.text);
      break;
    case LazyBuilder::Kind::kDowncast:
      type = OwnedRef::from_borrowed(PyExc_TypeError);
      argument = new_str(downcast_message(builder.object.get(), builder.text));
      break;
    case LazyBuilder::Kind::kPanic: {
      type = OwnedRef::from_borrowed(panic_exception_type());
      OwnedRef message = new_str(builder.text);
      if (!message) return;
      PyObject* args = PyTuple_New(1);
      if (args == nullptr) return;
      PyTuple_SET_ITEM(args, 0, message.release());
      argument = OwnedRef(args);
      break;
    }
    case LazyBuilder::Kind::kForeign:
      type = std::move(builder.object);
      argument = OwnedRef::from_borrowed(Py_None);
      break;
  }
  if (!argument) return;
  if (PyExceptionClass_Check(type.get())) {
    PyErr_SetObject(type.get(), argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

std::unique_ptr<PyErrState> lazy_state(LazyBuilder builder) {
  auto state = std::make_unique<PyErrState>();
  state->lazy.emplace(std::move(builder));
  return state;
}

}  // namespace

PyErr::PyErr(std::unique_ptr<PyErrState> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

PyErr PyErr::new_lazy(PyObject* type, std::string message) {
  return PyErr(lazy_state({LazyBuilder::Kind::kText, type, OwnedRef(), std::move(message)}));
}

PyErr PyErr::downcast(PyObject* object, const char* target) {
  return PyErr(
      lazy_state({LazyBuilder::Kind::kDowncast, nullptr,
                  OwnedRef::from_borrowed(reinterpret_cast<PyObject*>(Py_TYPE(object))), target}));
}

PyErr PyErr::panic_exception(std::string message) {
  return PyErr(lazy_state({LazyBuilder::Kind::kPanic, nullptr, OwnedRef(), std::move(message)}));
}

PyErr PyErr::foreign_object(PyObject* object) {
  return PyErr(lazy_state({LazyBuilder::Kind::kForeign, nullptr, OwnedRef(object), {}}));
}

PyErr PyErr::from_instance(PyObject* instance) {
  auto state = std::make_unique<PyErrState>();
  state->normalized = OwnedRef(instance);
  // relaxed: nobody else can see this state yet.
  state->complete.store(true, std::memory_order_relaxed);
  return PyErr(std::move(state));
}

PyObject* PyErr::normalise() {
  PyErrState& state = *state_;
  // acquire: pairs with the release below, so the instance is visible.
  if (state.complete.load(std::memory_order_acquire)) return state.normalized.get();
  {
    std::lock_guard<std::mutex> hold(state.thread_mutex);
    if (state.normalizing_thread == std::this_thread::get_id()) {
      panic("Re-entrant normalization of PyErrState detected");
    }
  }
  // Wait without the lock: a normaliser on another thread needs it to finish.
  give_up_lock_while([&state] {
    std::call_once(state.once, [&state] {
      {
        std::lock_guard<std::mutex> hold(state.thread_mutex);
        state.normalizing_thread = std::this_thread::get_id();
      }
      if (!state.lazy) panic("Cannot normalize a PyErr while already normalizing it.");
      LazyBuilder builder = std::move(*state.lazy);
      state.lazy.reset();
      LockGuard lock = acquire_lock();
      raise_lazy(std::move(builder));
      PyObject* instance = PyErr_GetRaisedException();
      if (instance == nullptr) panic("exception missing after writing to the interpreter");
      state.normalized = OwnedRef(instance);
      lock.release();
      // release: publishes `normalized` to lock-free readers above.
      state.complete.store(true, std::memory_order_release);
    });
  });
  return state.normalized.get();
}

void PyErr::restore() && {
  PyErrState& state = *state_;
  // acquire: pairs with the release in normalise.
  if (state.complete.load(std::memory_order_acquire)) {
    PyErr_SetRaisedException(state.normalized.release());
  } else if (state.lazy) {
    LazyBuilder builder = std::move(*state.lazy);
    state.lazy.reset();
    raise_lazy(std::move(builder));
  } else {
    panic("PyErr state should never be invalid outside of normalization");
  }
}

std::optional<PyErr> fetch() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return std::nullopt;
  OwnedRef exception(raised);
  // Not created yet means not ours. Creating it here could itself fail (out
  // of memory) and land back in fetch(), again and again.
  PyObject* panic_type = existing_panic_exception_type();
  if (panic_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(raised)) != panic_type) {
    return PyErr::from_instance(exception.release());
  }
  // A panic of ours that went through Python code (for instance raised again
  // from an element's __float__): keep unwinding with the same message.
  std::string message;
  if (OwnedRef text{PyObject_Str(raised)}) {
    append_str_lossy(text.get(), message);
  } else {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  constexpr std::string_view kNotice =
      "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
      "Python stack trace below:\n";
  for (std::string_view left = kNotice; !left.empty();) {
    ssize_t written = ::write(STDERR_FILENO, left.data(), left.size());
    if (written <= 0) break;
    left.remove_prefix(static_cast<std::size_t>(written));
  }
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  resume_panic(std::make_exception_ptr(PanicError(std::move(message))));
}

PyErr fetch_or_missing() {
  if (std::optional<PyErr> error = fetch()) return std::move(*error);
  return PyErr::new_lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void display_object(PyObject* object, std::string& out) {
  if (OwnedRef text{PyObject_Str(object)}) {
    append_str_lossy(text.get(), out);
    return;
  }
  fetch_or_missing().restore();
  PyErr_WriteUnraisable(object);
  OwnedRef name(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    out += "<unprintable object>";
    return;
  }
  out += "<unprintable ";
  append_str_lossy(name.get(), out);
  out += " object>";
}

void set_cause(PyErr& error, std::optional<PyErr> cause) {
  PyObject* instance = error.normalise();
  if (!cause) {
    PyException_SetCause(instance, nullptr);
    return;
  }
  PyObject* cause_instance = cause->normalise();
  if (OwnedRef traceback{PyException_GetTraceback(cause_instance)}) {
    PyException_SetTraceback(cause_instance, traceback.get());
  }
  // PyException_SetCause takes the reference it is given.
  Py_INCREF(cause_instance);
  PyException_SetCause(instance, cause_instance);
}

std::optional<PyErr> get_cause(PyErr& error) {
  PyObject* cause = PyException_GetCause(error.normalise());
  if (cause == nullptr) return std::nullopt;
  if (PyExceptionInstance_Check(cause)) return PyErr::from_instance(cause);
  return PyErr::foreign_object(cause);
}

void api_call_failed() {
  PyErr_Print();
  panic("Python API call failed");
}

}  // namespace velk::binding
