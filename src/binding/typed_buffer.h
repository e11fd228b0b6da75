// Arrays of one native element type, read or written in place through the
// buffer protocol: the inputs and the output arrays of the engine module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "src/binding/err_state.h"

namespace velk::binding {

// kUInt16 holds the bits of 2-byte floats; kBool takes numpy's bool ('?')
// as well as uint8, one byte per element.
enum class ElementKind { kFloat32, kInt64, kUInt64, kUInt16, kBool };

// An acquired view of a C-contiguous, aligned array of one ElementKind in
// native order. Owns the view; releasing it (on destruction) takes the
// interpreter lock if this thread does not hold it, so a TypedBuffer may be
// held across a stretch where the lock is given up. While it is held the
// exporter cannot resize or free the memory (numpy refuses to), though other
// threads may still write to it. As FloatBuffer: when the lock has been
// taken away (lock_taken_away), the view is left held.
class [[nodiscard]] TypedBuffer {
 public:
  TypedBuffer(TypedBuffer&&) noexcept = default;
  TypedBuffer& operator=(TypedBuffer&&) = delete;
  TypedBuffer(const TypedBuffer&) = delete;
  TypedBuffer& operator=(const TypedBuffer&) = delete;
  ~TypedBuffer() noexcept(false);

  void* data() const noexcept { return view_->buf; }
  // Number of elements.
  uint64_t size() const noexcept { return static_cast<uint64_t>(view_->len) / item_size_; }

 private:
  friend Result<TypedBuffer> acquire_typed_buffer(PyObject* object, const char* name,
                                                  ElementKind kind, bool writable);
  TypedBuffer(std::unique_ptr<Py_buffer> view, uint64_t item_size) noexcept
      : view_(std::move(view)), item_size_(item_size) {}

  std::unique_ptr<Py_buffer> view_;
  uint64_t item_size_;
};

// Requests a view of `object` (writable if asked) and checks that it holds
// elements of `kind` (TypeError "{name} must be a buffer of {type}, got format
// '{format}'") laid out C-contiguous and aligned to the element size
// (ValueError "{name} must be an aligned C-contiguous buffer"). An object
// without buffer support, or a read-only one asked to be writable, gives the
// interpreter's error. Requires the lock.
Result<TypedBuffer> acquire_typed_buffer(PyObject* object, const char* name, ElementKind kind,
                                         bool writable);

}  // namespace velk::binding
