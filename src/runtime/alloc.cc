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

}  // namespace

void* allocate_or_abort(std::size_t bytes, std::size_t align) {
  if (bytes > kMaxAllocationBytes) panic("capacity overflow");
  if (bytes == 0) bytes = 1;
  void* block = nullptr;
  if (bytes >= kHugePageThreshold && align <= kHugePage) {
    if (::posix_memalign(&block, kHugePage, bytes) != 0) report_allocation_failure(bytes);
    // Only advice: without transparent huge pages the block stays as it is.
    ::madvise(block, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
    return block;
  }
  if (align <= alignof(std::max_align_t)) {
    block = std::malloc(bytes);
  } else if (::posix_memalign(&block, align, bytes) != 0) {
    block = nullptr;
  }
  if (block == nullptr) [[unlikely]] report_allocation_failure(bytes);
  return block;
}

void* allocate_zeroed_or_abort(std::size_t bytes, std::size_t align) {
  if (align <= alignof(std::max_align_t)) {
    if (bytes > kMaxAllocationBytes) panic("capacity overflow");
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr) [[unlikely]] report_allocation_failure(bytes);
    return block;
  }
  void* block = allocate_or_abort(bytes, align);
  std::memset(block, 0, bytes);
  return block;
}

void release_allocation(void* block) noexcept { std::free(block); }

}  // namespace velk
