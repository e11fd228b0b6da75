// Memory for the module's data, and what happens when there is none.
//
// Allocation failure. Memory whose size follows from a call's input (the
// converted arguments, the scored pairs, a worker's scratch buffer) comes
// from allocate_or_throw() or a GrowableArray. When the allocator refuses,
// they throw AllocationFailure rather than end the process: an interpreter
// that serves many callers must outlive one request that was too large.
//   - It unwinds like a panic and is caught at the same two places, with the
//     same book-keeping (note_panic_caught): inside a pool job's captured
//     call, from where the join carries it unchanged to the thread that waits
//     (src/pool/job.h), and at a Python entry, which raises MemoryError with
//     the text "memory allocation of {bytes} bytes failed".
//   - Unlike a panic it prints no report: the caller is told and may go on.
//   - Every Python entry point does the same: catch std::bad_alloc after its
//     body, call note_panic_caught(), and raise MemoryError with
//     refused_bytes() (binding::restore_memory_error does it without needing
//     memory of its own).
//   - It derives from std::bad_alloc, so an entry treats the two alike: a
//     std::bad_alloc from the global operator new (the small blocks of
//     strings and error values) is a MemoryError too, of unknown size.
//   - Everything between such an allocation and the catch point must be safe
//     to unwind. Where it is not (the pool's own queues and start-up,
//     noexcept paths), use allocate_or_abort, which prints the
//     allocation-failure report and aborts, or GrowableArray::try_push_back.
// Impossible sizes, above kMaxAllocationBytes, stay the panic "capacity
// overflow": no input that fits in memory asks for one, so one is a fault of
// ours, not a shortage of memory.
//
// The global operator new is left alone: the process is shared with other
// extensions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "src/runtime/panic.h"

namespace velk {

// Largest request we pass to the allocator (as with any array: isize::MAX).
inline constexpr std::size_t kMaxAllocationBytes =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

// What an allocation that the allocator refused unwinds with.
class AllocationFailure : public std::bad_alloc {
 public:
  explicit AllocationFailure(std::size_t bytes) noexcept : bytes_(bytes) {}
  const char* what() const noexcept override { return "memory allocation failed"; }
  // The size of the refused request.
  std::size_t bytes() const noexcept { return bytes_; }

 private:
  std::size_t bytes_;
};

// Throws AllocationFailure(bytes), counted as an unwinding in progress like a
// panic (its catcher calls note_panic_caught), and reports nothing.
[[noreturn]] void raise_allocation_failure(std::size_t bytes);

// The size a caught std::bad_alloc asked for: an AllocationFailure's bytes(),
// or 0 when unknown (one thrown by the global operator new).
std::size_t refused_bytes(const std::bad_alloc& failure) noexcept;

// Returns `bytes` bytes aligned to `align` (a power of two), never null.
// Panics with "capacity overflow" when `bytes` exceeds kMaxAllocationBytes;
// throws AllocationFailure when the allocator refuses.
void* allocate_or_throw(std::size_t bytes, std::size_t align = alignof(std::max_align_t));
// As allocate_or_throw, but a refusal prints the allocation-failure report and
// aborts. For memory whose loss could not be unwound safely.
void* allocate_or_abort(std::size_t bytes, std::size_t align = alignof(std::max_align_t));
// As the two above, with the memory filled with zeros.
void* allocate_zeroed_or_throw(std::size_t bytes, std::size_t align = alignof(std::max_align_t));
void* allocate_zeroed_or_abort(std::size_t bytes, std::size_t align = alignof(std::max_align_t));
// Frees memory from the functions above (null is fine).
void release_allocation(void* block) noexcept;

// `bytes` bytes aligned to `align`, or null when the allocator refuses or the
// size is impossible. Reports nothing.
void* try_allocate(std::size_t bytes, std::size_t align) noexcept;

// `count` elements of `elem` bytes, or the "capacity overflow" panic.
std::size_t array_bytes(std::size_t count, std::size_t elem);

// A growable array of trivially copyable values whose storage comes from
// allocate_or_throw: a growth the allocator refuses throws AllocationFailure
// and leaves the array as it was. Move-only; frees its storage when it goes.
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
  // As push_back, but returns false (and changes nothing) where push_back
  // would throw AllocationFailure. For paths that must not unwind.
  [[nodiscard]] bool try_push_back(const T& value) noexcept {
    if (size_ == capacity_) [[unlikely]] {
      if (capacity_ > std::numeric_limits<std::size_t>::max() / 2 / sizeof(T)) return false;
      std::size_t wanted = capacity_ == 0 ? 4 : capacity_ * 2;
      T* fresh = static_cast<T*>(try_allocate(wanted * sizeof(T), kAlign));
      if (fresh == nullptr) return false;
      adopt(fresh, wanted);
    }
    data_[size_++] = value;
    return true;
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
  static constexpr std::size_t kAlign = alignof(T) < 16 ? 16 : alignof(T);

  void regrow(std::size_t new_capacity) {
    std::size_t bytes = array_bytes(new_capacity, sizeof(T));
    adopt(static_cast<T*>(allocate_or_throw(bytes, kAlign)), new_capacity);
  }
  void adopt(T* fresh, std::size_t new_capacity) noexcept {
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
