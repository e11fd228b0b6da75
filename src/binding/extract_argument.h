// Matching the arguments of a vectorcall to a function's parameters.
#pragma once

#include <Python.h>

#include <cstddef>

#include "src/binding/err_state.h"

namespace velk::binding {

// The most parameters a function of this module has.
inline constexpr std::size_t kMaxParameters = 11;

// The parameters of one Python function. The first `positional` parameters
// (all of them when it is 0) may be passed by position or by keyword, the
// rest by keyword only; the first `required` must be supplied.
struct ArgumentSpec {
  const char* function_name;
  const char* const* parameter_names;
  std::size_t parameter_count;
  std::size_t required;
  std::size_t positional = 0;

  std::size_t positional_count() const { return positional != 0 ? positional : parameter_count; }
};

// Fills out[0 .. signature.parameter_count) with borrowed references to the
// arguments, or returns the TypeError that a Python function would raise
// (too many positional arguments, an unknown or repeated keyword, a missing
// argument), checked in that order. `kwnames` may be null; the values of the
// keywords follow the positional arguments in `args`.
Result<void> bind_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** out);

// The error to raise for a failed conversion of parameter `name`: an error of
// exactly TypeError becomes TypeError "argument '{name}': {text}" with the
// same cause; any other error (subclasses included) is returned unchanged.
PyErr argument_error(const char* name, PyErr error);

}  // namespace velk::binding
