#include "src/binding/typed_buffer.h"

#include <cstring>
#include <string>

#include "src/binding/gil.h"

namespace velk::binding {
namespace {

constexpr uint64_t item_size_of(ElementKind kind) {
  switch (kind) {
    case ElementKind::kFloat32:
      return 4;
    case ElementKind::kInt64:
    case ElementKind::kUInt64:
      return 8;
    case ElementKind::kUInt16:
      return 2;
    case ElementKind::kBool:
      return 1;
  }
  return 0;
}

const char* type_name_of(ElementKind kind) {
  switch (kind) {
    case ElementKind::kFloat32:
      return "float32";
    case ElementKind::kInt64:
      return "int64";
    case ElementKind::kUInt64:
      return "uint64";
    case ElementKind::kUInt16:
      return "uint16";
    case ElementKind::kBool:
      return "bool";
  }
  return "?";
}

// The struct-module codes that name `kind` at its size on this (LP64,
// little-endian) machine, with an optional native or little-endian prefix.
bool format_matches(const char* format, ElementKind kind) {
  if (format == nullptr) format = "B";
  if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (kind) {
    case ElementKind::kFloat32:
      return format[0] == 'f';
    case ElementKind::kInt64:
      return format[0] == 'q' || format[0] == 'l';
    case ElementKind::kUInt64:
      return format[0] == 'Q' || format[0] == 'L';
    case ElementKind::kUInt16:
      return format[0] == 'H';
    case ElementKind::kBool:
      return format[0] == '?' || format[0] == 'B';
  }
  return false;
}

bool is_c_contiguous(const Py_buffer& view) {
  if (view.len == 0) return true;
  if (view.suboffsets != nullptr) {
    for (int d = 0; d < view.ndim; ++d) {
      if (view.suboffsets[d] >= 0) return false;
    }
  }
  if (view.strides == nullptr) return true;  // the exporter says it is C-contiguous
  Py_ssize_t expected = view.itemsize;
  for (int d = view.ndim - 1; d >= 0; --d) {
    if (view.shape[d] > 1 && view.strides[d] != expected) return false;
    expected *= view.shape[d];
  }
  return true;
}

}  // namespace

TypedBuffer::~TypedBuffer() noexcept(false) {
  if (!view_) return;
  // The thread is being ended (see gil.h): the exporter keeps its export.
  if (lock_taken_away()) [[unlikely]]
    return;
  LockGuard lock = acquire_lock();
  PyBuffer_Release(view_.get());
}

Result<TypedBuffer> acquire_typed_buffer(PyObject* object, const char* name, ElementKind kind,
                                         bool writable) {
  auto view = std::make_unique<Py_buffer>();
  int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(object, view.get(), flags) == -1) return fetch_or_missing();
  const uint64_t item_size = item_size_of(kind);
  std::optional<PyErr> failure;
  if (static_cast<uint64_t>(view->itemsize) != item_size || !format_matches(view->format, kind)) {
    failure = PyErr::new_lazy(PyExc_TypeError, std::string(name) + " must be a buffer of " +
                                                   type_name_of(kind) + ", got format '" +
                                                   (view->format ? view->format : "B") + "'");
  } else if (!is_c_contiguous(*view) ||
             (view->len != 0 && reinterpret_cast<uintptr_t>(view->buf) % item_size != 0)) {
    failure = PyErr::new_lazy(PyExc_ValueError,
                              std::string(name) + " must be an aligned C-contiguous buffer");
  }
  if (failure) {
    PyBuffer_Release(view.get());
    return std::move(*failure);
  }
  return TypedBuffer(std::move(view), item_size);
}

}  // namespace velk::binding
