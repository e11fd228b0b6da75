// The error value of the binding layer.
//
// A recoverable failure travels back by return as a PyErr and becomes the
// interpreter's pending exception only at the entry wrapper (restore). A PyErr
// starts lazy, holding just what is needed to build the exception (a type and
// a message, say), and is normalised into an exception instance only when
// someone needs to look at it.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "src/binding/gil.h"

namespace velk::binding {

class PyErrState;

class PyErr {
 public:
  // Lazy errors. `type` is one of the interpreter's static exception types
  // (PyExc_TypeError, ...); the message is copied now, the exception object
  // is made when the error is raised.
  static PyErr new_lazy(PyObject* type, std::string message);
  // TypeError "'{type qualname}' object cannot be converted to '{target}'",
  // with the message built when raised. Keeps a reference to the type.
  static PyErr downcast(PyObject* object, const char* target);
  // PanicException(message); the class is created on first use.
  static PyErr panic_exception(std::string message);
  // An error whose "type" is an arbitrary object: raising it gives TypeError
  // "exceptions must derive from BaseException" unless it is an exception class.
  static PyErr foreign_object(PyObject* object);
  // Takes over an exception instance (a new reference).
  static PyErr from_instance(PyObject* instance);

  PyErr(PyErr&&) noexcept;
  PyErr& operator=(PyErr&&) noexcept;
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  // Releases the references held, deferred if the lock is not held.
  ~PyErr();

  // The exception instance (borrowed from this error), built on first use.
  // Requires the lock; gives it up while it waits for a normalisation of the
  // same error running on another thread, which needs the lock to finish.
  PyObject* normalise();

  // Makes this error the interpreter's pending exception. Requires the lock.
  void restore() &&;

 private:
  explicit PyErr(std::unique_ptr<PyErrState> state) noexcept;
  std::unique_ptr<PyErrState> state_;
};

// Takes the interpreter's pending exception as a normalised PyErr, or nothing.
// A PanicException coming back from Python code is not returned: the notice
// and the Python traceback go to standard error and the panic resumes
// unwinding with the same message. Requires the lock.
std::optional<PyErr> fetch();

// fetch(), or the SystemError "attempted to fetch exception but none was set"
// when the interpreter reported a failure without setting one.
PyErr fetch_or_missing();

// Appends the str() of `object` to `out` as UTF-8 (lone surrogates replaced).
// If str() raises, the error goes to the unraisable hook and the text is
// "<unprintable {type name} object>", or "<unprintable object>".
void display_object(PyObject* object, std::string& out);

// Sets the cause of `error`'s exception to `cause`'s exception, or clears it.
void set_cause(PyErr& error, std::optional<PyErr> cause);

// The cause of `error`'s exception, if any.
std::optional<PyErr> get_cause(PyErr& error);

// An object-creation call of the interpreter returned null where no error
// can be reported: prints the pending exception and panics.
[[noreturn]] void api_call_failed();

// Either a value or the PyErr explaining why there is none.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(PyErr error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }
  PyErr take_error() { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, PyErr> state_;
};

// Success or a PyErr.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(PyErr error) : error_(std::move(error)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  PyErr take_error() { return std::move(*error_); }

 private:
  std::optional<PyErr> error_;
};

}  // namespace velk::binding
