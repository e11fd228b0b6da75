#include "src/pool/injector.h"

#include <new>

#include "src/pool/backoff.h"
#include "src/runtime/alloc.h"

namespace velk::pool {
namespace {

// Offset inside its block of the position held by `index`.
std::uint64_t offset_of(std::uint64_t index) noexcept { return (index >> 1) % kBlockSpan; }
// Number of the block that holds the position in `index`.
std::uint64_t block_number_of(std::uint64_t index) noexcept { return (index >> 1) / kBlockSpan; }
// The last slot of a block; its taker moves the head to the next block.
constexpr std::uint64_t kLastSlot = kBlockSlots - 1;

// The queue's first block comes with the pool, whose start-up aborts when
// memory is refused; later ones come with a push, which may throw.
InjectorBlock* new_block(bool may_throw) {
  void* memory = may_throw
                     ? allocate_zeroed_or_throw(sizeof(InjectorBlock), alignof(InjectorBlock))
                     : allocate_zeroed_or_abort(sizeof(InjectorBlock), alignof(InjectorBlock));
  return new (memory) InjectorBlock;
}

void free_block(InjectorBlock* block) noexcept {
  block->~InjectorBlock();
  release_allocation(block);
}

}  // namespace

void free_block_from(InjectorBlock* block, std::size_t start) noexcept {
  for (std::size_t i = start; i-- > 0;) {
    std::atomic<std::uint64_t>& state = block->slots[i].state;
    // acquire: a slot seen consumed has been read to the end.
    if ((state.load(std::memory_order_acquire) & kSlotConsumed) != 0) continue;
    // acq_rel: if the reader is still busy, it sees our mark when it sets
    // `consumed` and frees the block after us; if it finished meanwhile, we
    // see that it did.
    if ((state.fetch_or(kSlotReclaim, std::memory_order_acq_rel) & kSlotConsumed) == 0) return;
  }
  free_block(block);
}

InjectorQueue::InjectorQueue() {
  InjectorBlock* block = new_block(/*may_throw=*/false);
  // relaxed: the queue reaches other threads through whatever hands it over.
  head_.index.store(0, std::memory_order_relaxed);
  head_.block.store(block, std::memory_order_relaxed);
  tail_.index.store(0, std::memory_order_relaxed);
  tail_.block.store(block, std::memory_order_relaxed);
}

InjectorQueue::~InjectorQueue() {
  // No other thread uses the queue any more: relaxed loads see the last values.
  std::uint64_t head = head_.index.load(std::memory_order_relaxed) & ~kNextBlockFlag;
  std::uint64_t tail = tail_.index.load(std::memory_order_relaxed) & ~kNextBlockFlag;
  InjectorBlock* block = head_.block.load(std::memory_order_relaxed);
  while ((head >> 1) != (tail >> 1)) {
    if (offset_of(head) == kBlockSlots) {
      InjectorBlock* next = block->next.load(std::memory_order_relaxed);
      free_block(block);
      block = next;
    }
    head += kPositionStep;
  }
  free_block(block);
}

void InjectorQueue::push(JobHandle job) {
  SpinBackoff backoff;
  // acquire (both): the block we may write into was installed before the
  // index that leads into it was published.
  std::uint64_t tail = tail_.index.load(std::memory_order_acquire);
  InjectorBlock* block = tail_.block.load(std::memory_order_acquire);
  InjectorBlock* spare = nullptr;
  for (;;) {
    std::uint64_t offset = offset_of(tail);
    if (offset == kBlockSlots) {
      // Another pusher took the block's last slot and is installing the next.
      backoff.heavy_wait();
      // acquire: as above.
      tail = tail_.index.load(std::memory_order_acquire);
      block = tail_.block.load(std::memory_order_acquire);
      continue;
    }
    // Allocate before claiming the last slot, so that the others wait at
    // offset 63 only for the few stores of the installation, and so that a
    // refusal leaves the queue untouched.
    if (offset == kLastSlot && spare == nullptr) spare = new_block(/*may_throw=*/true);

    std::uint64_t claimed = tail + kPositionStep;
    // seq_cst: position claims form one order with the takers' checks of the
    // tail. acquire on failure: the block we reload matches the new index.
    if (!tail_.index.compare_exchange_weak(tail, claimed, std::memory_order_seq_cst,
                                           std::memory_order_acquire)) {
      // acquire: as above.
      block = tail_.block.load(std::memory_order_acquire);
      backoff.light_wait();
      continue;
    }
    if (offset == kLastSlot) {
      // release (all three): whoever loads the new block or index, or follows
      // the link, sees the zeroed block. Block before index, so that a pusher
      // that sees the new index finds the new block.
      tail_.block.store(spare, std::memory_order_release);
      tail_.index.store(claimed + kPositionStep, std::memory_order_release);
      block->next.store(spare, std::memory_order_release);
      spare = nullptr;
    }
    InjectorSlot& slot = block->slots[offset];
    slot.job = job;
    // release: the taker, which waits for this bit with acquire, sees the
    // handle and everything written before the push.
    slot.state.fetch_or(kSlotWritten, std::memory_order_release);
    break;
  }
  // The tail moved on past the last slot without us.
  if (spare != nullptr) free_block(spare);
}

StealOutcome InjectorQueue::steal() {
  SpinBackoff backoff;
  // seq_cst: the head must be read before the tail below (a tail read
  // earlier might already have been passed by other takers); two seq_cst
  // loads stay in order without a fence between them. Also acquire: the
  // head block matches the index (the block is stored first).
  std::uint64_t head = head_.index.load(std::memory_order_seq_cst);
  // acquire: as above.
  InjectorBlock* block = head_.block.load(std::memory_order_acquire);
  while (offset_of(head) == kBlockSlots) {
    // The taker of the last slot is moving the head to the next block.
    backoff.heavy_wait();
    // seq_cst and acquire: as above.
    head = head_.index.load(std::memory_order_seq_cst);
    block = head_.block.load(std::memory_order_acquire);
  }

  std::uint64_t next_head = head + kPositionStep;
  if ((head & kNextBlockFlag) == 0) {
    // seq_cst: after the head (see above), in one order with the pushers'
    // claims.
    std::uint64_t tail = tail_.index.load(std::memory_order_seq_cst);
    if ((head >> 1) == (tail >> 1)) return StealOutcome{StealKind::kEmpty, {}};
    // The tail is in a later block: every slot of this one is claimed, so
    // the takers after us need not look at the tail until the next block.
    if (block_number_of(head) != block_number_of(tail)) next_head |= kNextBlockFlag;
  }

  // seq_cst: one order of all position claims. relaxed on failure: we give
  // up at once and the caller tries again.
  if (!head_.index.compare_exchange_strong(head, next_head, std::memory_order_seq_cst,
                                           std::memory_order_relaxed)) {
    return StealOutcome{StealKind::kRetry, {}};
  }

  std::uint64_t offset = offset_of(head);
  if (offset == kLastSlot) {
    // acquire: the next block is installed (zeroed) before it is linked.
    InjectorBlock* next = block->next.load(std::memory_order_acquire);
    while (next == nullptr) {
      backoff.heavy_wait();
      next = block->next.load(std::memory_order_acquire);
    }
    std::uint64_t moved = (next_head & ~kNextBlockFlag) + kPositionStep;
    // acquire: as above, for the block after next.
    if (next->next.load(std::memory_order_acquire) != nullptr) moved |= kNextBlockFlag;
    // release (both): block before index, so a taker that sees the new index
    // finds the new block.
    head_.block.store(next, std::memory_order_release);
    head_.index.store(moved, std::memory_order_release);
  }

  InjectorSlot& slot = block->slots[offset];
  // acquire: pairs with the pusher's release of `written`.
  while ((slot.state.load(std::memory_order_acquire) & kSlotWritten) == 0) backoff.heavy_wait();
  JobHandle job = slot.job;

  if (offset == kLastSlot) {
    // No one marks the last slot for reclaiming: its taker always tries to
    // free the block.
    free_block_from(block, kLastSlot);
  } else if ((slot.state.fetch_or(kSlotConsumed, std::memory_order_acq_rel) & kSlotReclaim) != 0) {
    // acq_rel above: our read of the handle is done before the block may be
    // freed, and we see the mark of the taker that left the freeing to us.
    free_block_from(block, offset);
  }
  return StealOutcome{StealKind::kStolen, job};
}

bool InjectorQueue::is_empty() const noexcept {
  // seq_cst: a snapshot in the order of the position claims.
  std::uint64_t head = head_.index.load(std::memory_order_seq_cst);
  std::uint64_t tail = tail_.index.load(std::memory_order_seq_cst);
  return (head >> 1) == (tail >> 1);
}

std::size_t InjectorQueue::size() const noexcept {
  // seq_cst: as in is_empty.
  std::uint64_t head = head_.index.load(std::memory_order_seq_cst) >> 1;
  std::uint64_t tail = tail_.index.load(std::memory_order_seq_cst) >> 1;
  if (tail <= head) return 0;
  // Every block boundary between them skips the never-used offset 63.
  std::uint64_t skipped = tail / kBlockSpan - head / kBlockSpan;
  return static_cast<std::size_t>(tail - head - skipped);
}

}  // namespace velk::pool
