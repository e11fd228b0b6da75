#include "src/runtime/alloc.h"

#include <sys/mman.h>

#include <cstdlib>

namespace velk {

std::size_t array_bytes(std::size_t count, std::size_t elem) {
  if (elem != 0 && count > kMaxAllocationBytes / elem) panic("capacity overflow");
  return count * elem;
}

namespace {

// Blocks this large (the pair array of a big matrix, a converted list) are
// mapped fresh by the allocator on every call; backed by 2 MiB pages they
// fault in 512 times less often, which is a large share of a call's time.
constexpr std::size_t kHugePageThreshold = std::size_t{8} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void check_size(std::size_t bytes) {
  if (bytes > kMaxAllocationBytes) panic("capacity overflow");
}

}  // namespace

void raise_allocation_failure(std::size_t bytes) {
  note_panic_raised();
  throw AllocationFailure(bytes);
}

std::size_t refused_bytes(const std::bad_alloc& failure) noexcept {
  const auto* ours = dynamic_cast<const AllocationFailure*>(&failure);
  return ours != nullptr ? ours->bytes() : 0;
}

void* try_allocate(std::size_t bytes, std::size_t align) noexcept {
  if (bytes > kMaxAllocationBytes) return nullptr;
  if (bytes == 0) bytes = 1;
  void* block = nullptr;
  if (bytes >= kHugePageThreshold && align <= kHugePage) {
    if (::posix_memalign(&block, kHugePage, bytes) != 0) return nullptr;
    // Only advice: without transparent huge pages the block stays as it is.
    ::madvise(block, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
    return block;
  }
  if (align <= alignof(std::max_align_t)) return std::malloc(bytes);
  if (::posix_memalign(&block, align, bytes) != 0) return nullptr;
  return block;
}

void* allocate_or_throw(std::size_t bytes, std::size_t align) {
  check_size(bytes);
  void* block = try_allocate(bytes, align);
  if (block == nullptr) [[unlikely]]
    raise_allocation_failure(bytes);
  return block;
}

void* allocate_or_abort(std::size_t bytes, std::size_t align) {
  check_size(bytes);
  void* block = try_allocate(bytes, align);
  if (block == nullptr) [[unlikely]]
    report_allocation_failure(bytes);
  return block;
}

namespace {

// calloc where the alignment allows it: fresh pages come zeroed for free.
void* try_allocate_zeroed(std::size_t bytes, std::size_t align) noexcept {
  if (align <= alignof(std::max_align_t)) return std::calloc(bytes == 0 ? 1 : bytes, 1);
  void* block = try_allocate(bytes, align);
  if (block != nullptr) std::memset(block, 0, bytes);
  return block;
}

}  // namespace

void* allocate_zeroed_or_throw(std::size_t bytes, std::size_t align) {
  check_size(bytes);
  void* block = try_allocate_zeroed(bytes, align);
  if (block == nullptr) [[unlikely]]
    raise_allocation_failure(bytes);
  return block;
}

void* allocate_zeroed_or_abort(std::size_t bytes, std::size_t align) {
  check_size(bytes);
  void* block = try_allocate_zeroed(bytes, align);
  if (block == nullptr) [[unlikely]]
    report_allocation_failure(bytes);
  return block;
}

void release_allocation(void* block) noexcept { std::free(block); }

}  // namespace velk
