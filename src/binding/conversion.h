// Conversion of Python arguments to native values and of results back.
//
// Every function here runs with the interpreter lock held. Failures are the
// interpreter's own exception or one of ours, returned as a PyErr; the
// caller rewords a TypeError with the argument's name (argument_error).
#pragma once

#include <Python.h>

#include <cstdint>

#include "src/binding/err_state.h"
#include "src/binding/gil.h"
#include "src/runtime/alloc.h"
#include "src/similarity/views.h"

namespace velk::binding {

using FloatVector = GrowableArray<float>;

// Rows of possibly different lengths, stored back to back: row i is
// values[row_end(i - 1), row_end(i)).
class VectorList {
 public:
  std::size_t size() const noexcept { return row_ends_.size(); }
  // The rows, in order; valid while this list is alive and unchanged.
  similarity::RaggedRowsView rows() const noexcept {
    return {values_.data(), row_ends_.data(), row_ends_.size()};
  }

 private:
  friend Result<VectorList> extract_vector_list(PyObject* object);
  GrowableArray<float> values_;
  GrowableArray<uint64_t> row_ends_;
};

// A sequence of numbers as binary32 values (each converted to double, then
// rounded to nearest float; beyond the float range it becomes infinity).
// Refuses str ("Can't extract `str` to `Vec`") and non-sequences (the
// downcast error, target "Sequence"); iteration and element errors are
// returned as raised.
Result<FloatVector> extract_float_vector(PyObject* object);

// A sequence of such sequences; the rows may differ in length.
Result<VectorList> extract_vector_list(PyObject* object);

// A non-negative integer below 2**64: an int (bool included) or an object
// with __index__. Negative or too large values give the interpreter's
// OverflowError, other objects its TypeError.
Result<uint64_t> extract_index(PyObject* object);

// A new Python float holding `value` widened exactly, or the interpreter's
// error (MemoryError) if it cannot make one.
Result<OwnedRef> float_to_python(float value);

// A new list of (int, float) tuples, one per pair, in order, or the
// interpreter's error (MemoryError) if it cannot make one of the objects.
Result<OwnedRef> pairs_to_python(const GrowableArray<similarity::ScoredPair>& pairs);

// The TypeError "'{type}' object cannot be converted to '{target}'" for
// `object`; the message is made when the error is raised.
inline PyErr downcast_error(PyObject* object, const char* target) {
  return PyErr::downcast(object, target);
}

}  // namespace velk::binding
