// Float32 input read in place through the buffer protocol.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "src/binding/err_state.h"
#include "src/similarity/views.h"

namespace velk::binding {

// An acquired buffer view of C-contiguous, native-order float32 data. Owns
// the view; releasing it (on destruction) takes the interpreter lock if this
// thread does not hold it. The memory it shows stays valid and unchanged
// while the view is held and the caller keeps the lock.
//
// Releasing may run the exporter's Python code (__release_buffer__), where
// the interpreter may end the thread; the destructor lets that forced unwind
// through. Keep a FloatBuffer as a plain local, not inside a Result, whose
// destructor is noexcept, when it may be the last owner.
class [[nodiscard]] FloatBuffer {
 public:
  FloatBuffer(FloatBuffer&&) noexcept = default;
  FloatBuffer& operator=(FloatBuffer&& other);
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() noexcept(false);

  const float* data() const noexcept;
  // Byte length / item size.
  uint64_t size() const noexcept;
  similarity::VectorView view() const noexcept { return {data(), size()}; }

 private:
  friend Result<FloatBuffer> acquire_float_buffer(PyObject* object);
  friend void release_float_buffer(FloatBuffer& buffer);
  explicit FloatBuffer(std::unique_ptr<Py_buffer> view) noexcept : view_(std::move(view)) {}

  std::unique_ptr<Py_buffer> view_;
};

// Requests a view of `object` and checks, in order: shape and strides present
// ("shape is null", "strides is null"), one native-order 4-byte float per item
// ("buffer contents are not compatible with f32"), C-contiguous layout
// without sub-offsets ("buffer is not C-contiguous"), and 4-byte alignment of
// non-empty data ("buffer contents are insufficiently aligned for f32"); all
// BufferError. An object without buffer support gives the interpreter's error.
Result<FloatBuffer> acquire_float_buffer(PyObject* object);

// Releases the view now (the destructor does the same); idempotent. When the
// lock has been taken away (see lock_taken_away), the view is left held.
void release_float_buffer(FloatBuffer& buffer);

}  // namespace velk::binding
