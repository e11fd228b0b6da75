#include "src/binding/extract_argument.h"

#include <cstring>
#include <string>

#include "src/runtime/panic.h"

namespace velk::binding {
namespace {

std::string display_name(const ArgumentSpec& signature) {
  return std::string(signature.function_name) + "()";
}

PyErr type_error(std::string message) {
  return PyErr::new_lazy(PyExc_TypeError, std::move(message));
}

PyErr too_many_positional(const ArgumentSpec& signature, Py_ssize_t given) {
  return type_error(display_name(signature) + " takes " +
                    std::to_string(signature.positional_count()) + " positional arguments but " +
                    std::to_string(given) + " " + (given == 1 ? "was" : "were") + " given");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const char* const* names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      out += count > 2 ? ", " : " ";
      if (i + 1 == count) out += "and ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

PyErr missing_required(const ArgumentSpec& signature, PyObject* const* out) {
  const char* missing[kMaxParameters];
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing[count++] = signature.parameter_names[i];
  }
  return type_error(display_name(signature) + " missing " + std::to_string(count) +
                    " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                    name_list(missing, count));
}

}  // namespace

Result<void> bind_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** out) {
  VELK_ASSERT(signature.required <= signature.parameter_count &&
              signature.parameter_count <= kMaxParameters);
  for (std::size_t i = 0; i < signature.parameter_count; ++i) out[i] = nullptr;
  std::size_t positional = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < positional && i < signature.positional_count(); ++i) out[i] = args[i];
  if (positional > signature.positional_count()) return too_many_positional(signature, nargs);

  Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    std::size_t slot = signature.parameter_count;
    if (text == nullptr) {
      // No UTF-8 form (a lone surrogate): cannot name any parameter.
      PyErr_Clear();
    } else {
      for (std::size_t i = 0; i < signature.parameter_count; ++i) {
        const char* candidate = signature.parameter_names[i];
        if (std::strlen(candidate) == static_cast<std::size_t>(size) &&
            std::memcmp(candidate, text, static_cast<std::size_t>(size)) == 0) {
          slot = i;
          break;
        }
      }
    }
    if (slot == signature.parameter_count) {
      std::string message = display_name(signature) + " got an unexpected keyword argument '";
      display_object(name, message);
      message += "'";
      return type_error(std::move(message));
    }
    if (out[slot] != nullptr) {
      return type_error(display_name(signature) + " got multiple values for argument '" +
                        signature.parameter_names[slot] + "'");
    }
    out[slot] = value;
  }

  if (positional < signature.required) {
    for (std::size_t i = positional; i < signature.required; ++i) {
      if (out[i] == nullptr) return missing_required(signature, out);
    }
  }
  return {};
}

PyErr argument_error(const char* name, PyErr error) {
  PyObject* instance = error.normalise();
  // Exactly TypeError: a subclass carries its own meaning and stays as it is.
  if (reinterpret_cast<PyObject*>(Py_TYPE(instance)) != PyExc_TypeError) return error;
  std::string message = "argument '";
  message += name;
  message += "': ";
  display_object(instance, message);
  PyErr reworded = type_error(std::move(message));
  set_cause(reworded, get_cause(error));
  return reworded;
}

}  // namespace velk::binding
