// The module's one way to get large blocks of memory.
//
// Every allocation whose size depends on the input goes through here, so that
// a refusal by the allocator prints the allocation-failure report and aborts
// rather than throwing std::bad_alloc through code that does not expect it.
// The global operator new is left alone: the process is shared with other
// extensions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "src/runtime/panic.h"

namespace velk {

// Largest request we pass to the allocator (as with any array: isize::MAX).
inline constexpr std::size_t kMaxAllocationBytes =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

// Returns `bytes` bytes aligned to `align` (a power of two), never null.
// Panics with "capacity overflow" when `bytes` exceeds kMaxAllocationBytes;
// aborts with the allocation-failure report when the allocator refuses.
void* allocate_or_abort(std::size_t bytes, std::size_t align = alignof(std::max_align_t));
// As allocate_or_abort, with the memory filled with zeros.
void* allocate_zeroed_or_abort(std::size_t bytes,
                               std::size_t align = alignof(std::max_align_t));
// Frees memory from the two functions above (null is fine).
void release_allocation(void* block) noexcept;

// `count` elements of `elem` bytes, or the "capacity overflow" panic.
std::size_t array_bytes(std::size_t count, std::size_t elem);

// A growable array of trivially copyable values whose storage comes from
// allocate_or_abort. Move-only; frees its storage when it goes.
template <class T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  GrowableArray() = default;
  GrowableArray(GrowableArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  GrowableArray& operator=(GrowableArray&& other) noexcept {
    if (this != &other) {
      release_allocation(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;
  ~GrowableArray() { release_allocation(data_); }

  // Makes room for at least `extra` more elements with at most one allocation.
  void reserve(std::size_t extra) {
    if (capacity_ - size_ >= extra) return;
    if (extra > std::numeric_limits<std::size_t>::max() - size_) panic("capacity overflow");
    regrow(size_ + extra);
  }
  void push_back(const T& value) {
    if (size_ == capacity_) [[unlikely]] {
      std::size_t wanted = capacity_ == 0 ? 4 : capacity_ * 2;
      if (capacity_ > std::numeric_limits<std::size_t>::max() / 2) panic("capacity overflow");
      regrow(wanted);
    }
    data_[size_++] = value;
  }
  // Sets the length after the caller wrote elements [size(), n) of the storage.
  void set_size(std::size_t n) noexcept { size_ = n; }
  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }
  void clear() noexcept { size_ = 0; }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

 private:
  void regrow(std::size_t new_capacity) {
    std::size_t bytes = array_bytes(new_capacity, sizeof(T));
    T* fresh = static_cast<T*>(allocate_or_abort(bytes, alignof(T) < 16 ? 16 : alignof(T)));
    if (size_ != 0) std::memcpy(fresh, data_, size_ * sizeof(T));
    release_allocation(data_);
    data_ = fresh;
    capacity_ = new_capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace velk
