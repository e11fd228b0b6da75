#include "src/binding/buffer.h"

#include <cstring>

#include "src/binding/gil.h"

namespace velk::binding {
namespace {

enum class ItemKind { kFloat4, kOther };

// Reads a struct-module format of one item. Only native order or explicit
// little-endian (this machine's order) is accepted for multi-character forms.
ItemKind classify_format(const char* format) {
  std::size_t length = std::strlen(format);
  if (length >= 2 && format[0] != '@' && format[0] != '=' && format[0] != '<') {
    return ItemKind::kOther;
  }
  char type;
  if (length == 1) {
    type = format[0];
  } else if (length == 2) {
    type = format[1];
  } else {
    return ItemKind::kOther;
  }
  // 'f' is a 4-byte float in the native and the standard size tables alike.
  return type == 'f' ? ItemKind::kFloat4 : ItemKind::kOther;
}

// C-contiguous: no indirection, and every dimension that has more than one
// element steps by the size of everything after it.
bool is_c_contiguous(const Py_buffer& view) {
  if (view.len == 0) return true;
  if (view.suboffsets != nullptr) {
    for (int d = 0; d < view.ndim; ++d) {
      if (view.suboffsets[d] >= 0) return false;
    }
  }
  Py_ssize_t expected = view.itemsize;
  for (int d = view.ndim - 1; d >= 0; --d) {
    if (view.shape[d] > 1 && view.strides[d] != expected) return false;
    expected *= view.shape[d];
  }
  return true;
}

PyErr buffer_error(const char* message) { return PyErr::new_lazy(PyExc_BufferError, message); }

// Releases a view that failed a check (we hold the lock here).
void release_view(std::unique_ptr<Py_buffer>& view) {
  PyBuffer_Release(view.get());
  view.reset();
}

}  // namespace

FloatBuffer& FloatBuffer::operator=(FloatBuffer&& other) {
  if (this != &other) {
    release_float_buffer(*this);
    view_ = std::move(other.view_);
  }
  return *this;
}

FloatBuffer::~FloatBuffer() noexcept(false) { release_float_buffer(*this); }

const float* FloatBuffer::data() const noexcept { return static_cast<const float*>(view_->buf); }

uint64_t FloatBuffer::size() const noexcept {
  return static_cast<uint64_t>(view_->len / view_->itemsize);
}

Result<FloatBuffer> acquire_float_buffer(PyObject* object) {
  auto view = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(object, view.get(), PyBUF_FULL_RO) == -1) return fetch_or_missing();
  const char* failure = nullptr;
  if (view->shape == nullptr) {
    failure = "shape is null";
  } else if (view->strides == nullptr) {
    failure = "strides is null";
  } else if (view->itemsize != 4 ||
             classify_format(view->format != nullptr ? view->format : "B") != ItemKind::kFloat4) {
    failure = "buffer contents are not compatible with f32";
  } else if (!is_c_contiguous(*view)) {
    // We read size() consecutive floats from the start; any other layout
    // would be read wrongly or past its end.
    failure = "buffer is not C-contiguous";
  } else if (view->len != 0 && reinterpret_cast<uintptr_t>(view->buf) % 4 != 0) {
    failure = "buffer contents are insufficiently aligned for f32";
  }
  if (failure != nullptr) {
    release_view(view);
    return buffer_error(failure);
  }
  return FloatBuffer(std::move(view));
}

void release_float_buffer(FloatBuffer& buffer) {
  if (!buffer.view_) return;
  if (lock_taken_away()) [[unlikely]] {
    // The thread is being ended: the exporter keeps its export for good.
    buffer.view_.reset();
    return;
  }
  {
    LockGuard lock = acquire_lock();
    PyBuffer_Release(buffer.view_.get());
  }
  buffer.view_.reset();
}

}  // namespace velk::binding
