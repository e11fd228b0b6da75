#include "src/binding/conversion.h"

#include <algorithm>

#include "src/runtime/fp_environment.h"

namespace velk::binding {
namespace {

// A size hint from __len__ of an arbitrary object may be anything; trust it
// only this far up front and grow from there.
constexpr Py_ssize_t kMaxTrustedHint = Py_ssize_t{1} << 20;

PyErr str_refused() { return PyErr::new_lazy(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

// Room for `extra` more values without giving up geometric growth when many
// rows are appended to one array.
void reserve_more(GrowableArray<float>& out, std::size_t extra) {
  if (out.capacity() - out.size() >= extra) return;
  out.reserve(std::max(extra, out.size()));
}

// `value` rounded to the nearest binary32 value, in the default environment
// (the caller may have left another rounding mode in place). Only the
// conversion runs there: the items' own Python code runs in the caller's.
float nearest_float(double value) {
  DefaultMxcsr environment;
  float rounded = static_cast<float>(value);
  finish_in_environment(rounded);
  return rounded;
}

// Exact lists and tuples of exact floats, read without the iterator protocol
// or a call per item. Nothing here can run Python code, so the size is
// re-read each step only for safety. Returns false, with `out` as it was, as
// soon as an item is not an exact float.
bool append_exact_floats(PyObject* sequence, GrowableArray<float>& out) {
  std::size_t start = out.size();
  // Rounded to nearest whatever rounding mode the caller left in place; the
  // values reach memory before the caller's mode comes back.
  DefaultMxcsr environment;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence, i);
    if (!PyFloat_CheckExact(item)) {
      out.truncate(start);
      return false;
    }
    out.push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
  }
  return true;
}

Result<void> check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) return str_refused();
  if (PySequence_Check(object) == 0) return downcast_error(object, "Sequence");
  return {};
}

// How many items to make room for up front: what __len__ announces, exact
// for lists and tuples and capped for anything else; 0 when __len__ fails,
// which only loses the hint.
std::size_t size_hint(PyObject* object) {
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    return 0;
  }
  if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
    hint = std::min(hint, kMaxTrustedHint);
  }
  return static_cast<std::size_t>(hint);
}

// Appends the numbers of a sequence (already known not to be a str).
Result<void> append_numbers(PyObject* object, GrowableArray<float>& out) {
  if (PySequence_Check(object) == 0) return downcast_error(object, "Sequence");
  reserve_more(out, size_hint(object));
  if ((PyList_CheckExact(object) || PyTuple_CheckExact(object)) &&
      append_exact_floats(object, out)) {
    return {};
  }
  OwnedRef iterator(PyObject_GetIter(object));
  if (!iterator) return fetch_or_missing();
  while (true) {
    OwnedRef item(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) return fetch_or_missing();
      return {};
    }
    double value;
    if (PyFloat_CheckExact(item.get())) {
      value = PyFloat_AS_DOUBLE(item.get());
    } else {
      value = PyFloat_AsDouble(item.get());
      if (value == -1.0 && PyErr_Occurred() != nullptr) return fetch_or_missing();
    }
    out.push_back(nearest_float(value));
  }
}

}  // namespace

Result<FloatVector> extract_float_vector(PyObject* object) {
  if (PyUnicode_Check(object)) return str_refused();
  FloatVector out;
  if (Result<void> done = append_numbers(object, out); !done) return done.take_error();
  return out;
}

Result<VectorList> extract_vector_list(PyObject* object) {
  if (Result<void> checked = check_sequence(object); !checked) return checked.take_error();
  VectorList list;
  list.row_ends_.reserve(size_hint(object));
  OwnedRef iterator(PyObject_GetIter(object));
  if (!iterator) return fetch_or_missing();
  while (true) {
    OwnedRef row(PyIter_Next(iterator.get()));
    if (!row) {
      if (PyErr_Occurred() != nullptr) return fetch_or_missing();
      return list;
    }
    if (PyUnicode_Check(row.get())) return str_refused();
    if (Result<void> done = append_numbers(row.get(), list.values_); !done) {
      return done.take_error();
    }
    list.row_ends_.push_back(list.values_.size());
  }
}

Result<uint64_t> extract_index(PyObject* object) {
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    OwnedRef index(PyNumber_Index(object));
    if (!index) return fetch_or_missing();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is also a valid value; only a pending error makes it a failure.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return fetch_or_missing();
  }
  return static_cast<uint64_t>(value);
}

Result<OwnedRef> float_to_python(float value) {
  PyObject* made = PyFloat_FromDouble(static_cast<double>(value));
  if (made == nullptr) return fetch_or_missing();
  return OwnedRef(made);
}

Result<OwnedRef> pairs_to_python(const GrowableArray<similarity::ScoredPair>& pairs) {
  // Every creation below fails only for want of memory: the interpreter's
  // MemoryError is passed on, and the part-filled list (its empty slots are
  // null, which its deallocator skips) goes with the OwnedRef.
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return fetch_or_missing();
  Py_ssize_t slot = 0;
  for (const similarity::ScoredPair& pair : pairs) {
    OwnedRef index(PyLong_FromUnsignedLongLong(pair.index));
    if (!index) return fetch_or_missing();
    Result<OwnedRef> score = float_to_python(pair.score);
    if (!score) return score.take_error();
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) return fetch_or_missing();
    PyTuple_SET_ITEM(tuple, 0, index.release());
    PyTuple_SET_ITEM(tuple, 1, score->release());
    PyList_SET_ITEM(list.get(), slot++, tuple);
  }
  return list;
}

}  // namespace velk::binding
