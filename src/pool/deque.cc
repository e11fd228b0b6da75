#include "src/pool/deque.h"

#include <new>
#include <utility>

#include "src/pool/epoch/pin.h"
#include "src/runtime/alloc.h"

namespace velk::pool {
namespace {

static_assert(sizeof(JobHandle) == 16);

// Resizes to rings of at least this many bytes queue the old ring for freeing
// at once instead of waiting for the bag to fill.
constexpr std::size_t kFlushBytes = 1024;

// Indices wrap; do the arithmetic unsigned so that wrapping is defined.
std::int64_t index_add(std::int64_t index, std::int64_t delta) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(index) +
                                   static_cast<std::uint64_t>(delta));
}
std::int64_t index_distance(std::int64_t back, std::int64_t front) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(back) -
                                   static_cast<std::uint64_t>(front));
}
std::size_t slot_of(std::int64_t index, std::size_t capacity) noexcept {
  return static_cast<std::size_t>(index) & (capacity - 1);
}

// A thief reads a slot before it knows the slot is still its to take, while
// the owner may be writing it, so both sides access slots as relaxed atomic
// words (plain moves on x86). A value read this way is used only after the
// claim on `front` succeeded, and that claim orders it.
JobHandle read_slot(JobHandle* slot) noexcept {
  JobHandle job;
  job.execute_fn = std::atomic_ref(slot->execute_fn).load(std::memory_order_relaxed);
  job.data = std::atomic_ref(slot->data).load(std::memory_order_relaxed);
  return job;
}
void write_slot(JobHandle* slot, JobHandle job) noexcept {
  std::atomic_ref(slot->execute_fn).store(job.execute_fn, std::memory_order_relaxed);
  std::atomic_ref(slot->data).store(job.data, std::memory_order_relaxed);
}

JobHandle* allocate_slots(std::size_t capacity) {
  // Panics with "capacity overflow" when the byte size does not fit.
  std::size_t bytes = array_bytes(capacity, sizeof(JobHandle));
  return static_cast<JobHandle*>(allocate_or_abort(bytes, alignof(JobHandle)));
}

DequeBuffer* new_buffer_record(JobHandle* slots, std::size_t capacity) {
  void* memory = allocate_or_abort(sizeof(DequeBuffer), alignof(DequeBuffer));
  return new (memory) DequeBuffer{slots, capacity};
}

// A ring of `capacity` slots with its record, or null (and nothing held)
// when the allocator refuses either block.
DequeBuffer* try_new_buffer(std::size_t capacity) noexcept {
  void* slots = try_allocate(capacity * sizeof(JobHandle), alignof(JobHandle));
  if (slots == nullptr) return nullptr;
  void* memory = try_allocate(sizeof(DequeBuffer), alignof(DequeBuffer));
  if (memory == nullptr) {
    release_allocation(slots);
    return nullptr;
  }
  return new (memory) DequeBuffer{static_cast<JobHandle*>(slots), capacity};
}

void free_buffer(DequeBuffer* buffer) noexcept {
  release_allocation(buffer->slots);
  release_allocation(buffer);
}

void run_free_buffer(std::uintptr_t* data) noexcept {
  free_buffer(reinterpret_cast<DequeBuffer*>(data[0]));
}

void drop_end(WorkDeque* shared) noexcept {
  if (shared == nullptr) return;
  // acq_rel: the last end to go must see every other end's use of the deque
  // finished before it frees it.
  if (shared->ends.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  free_buffer(shared->buffer.load(std::memory_order_relaxed));
  shared->~WorkDeque();
  release_allocation(shared);
}

}  // namespace

// ---- DequeOwner ------------------------------------------------------------

DequeOwner::DequeOwner(WorkDeque* shared) noexcept
    : shared_(shared),
      slots_(shared->buffer.load(std::memory_order_relaxed)->slots),
      capacity_(shared->buffer.load(std::memory_order_relaxed)->capacity) {}

DequeOwner::DequeOwner(DequeOwner&& other) noexcept
    : shared_(std::exchange(other.shared_, nullptr)),
      slots_(std::exchange(other.slots_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)) {}

DequeOwner& DequeOwner::operator=(DequeOwner&& other) noexcept {
  if (this != &other) {
    drop_end(shared_);
    shared_ = std::exchange(other.shared_, nullptr);
    slots_ = std::exchange(other.slots_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

DequeOwner::~DequeOwner() { drop_end(shared_); }

void DequeOwner::push(JobHandle job) {
  // relaxed: only we write back.
  std::int64_t back = shared_->back.load(std::memory_order_relaxed);
  // acquire: a slot that thieves have moved past was read by them before
  // they moved front, so we may overwrite it.
  std::int64_t front = shared_->front.load(std::memory_order_acquire);
  if (index_distance(back, front) >= static_cast<std::int64_t>(capacity_)) {
    // Capacities are powers of two far below the overflow of this product.
    if (!resize(capacity_ * 2)) raise_allocation_failure(capacity_ * 2 * sizeof(JobHandle));
  }
  write_slot(&slots_[slot_of(back, capacity_)], job);
  // release: a thief that sees the new back also sees the slot and whatever
  // the job's data points at.
  shared_->back.store(index_add(back, 1), std::memory_order_release);
}

std::optional<JobHandle> DequeOwner::pop() {
  // relaxed: only we write back; a stale front can only make us try anyway,
  // and the check below settles it.
  std::int64_t back = shared_->back.load(std::memory_order_relaxed);
  std::int64_t front = shared_->front.load(std::memory_order_relaxed);
  if (index_distance(back, front) <= 0) return std::nullopt;

  std::int64_t last = index_add(back, -1);
  // seq_cst store, then seq_cst load: the full fence between reserving the
  // last job and re-reading front. Either a thief racing for that job sees
  // the lowered back, or we see its raised front. (A seq_cst store is also a
  // release, so a thief that reads this back still sees the jobs before it.)
  shared_->back.store(last, std::memory_order_seq_cst);
  front = shared_->front.load(std::memory_order_seq_cst);

  std::int64_t left = index_distance(last, front);
  if (left < 0) {
    // A thief took the last job meanwhile.
    // release: a thief reading this back still sees the earlier pushes.
    shared_->back.store(back, std::memory_order_release);
    return std::nullopt;
  }
  JobHandle job = read_slot(&slots_[slot_of(last, capacity_)]);
  if (left == 0) {
    // The last job: a thief may be about to take it, so claim it the way
    // thieves do. seq_cst: every move of front is one total order.
    bool won = shared_->front.compare_exchange_strong(
        front, index_add(front, 1), std::memory_order_seq_cst, std::memory_order_relaxed);
    // Empty either way, front == back. release: as above.
    shared_->back.store(back, std::memory_order_release);
    if (!won) return std::nullopt;
    return job;
  }
  if (capacity_ > kMinCapacity && left < static_cast<std::int64_t>(capacity_ / 4)) {
    // Shrinking only saves memory: without a new ring, keep the old one.
    (void)resize(capacity_ / 2);
  }
  return job;
}

bool DequeOwner::is_empty() const noexcept { return size() == 0; }

std::size_t DequeOwner::size() const noexcept {
  // relaxed: only we write back.
  std::int64_t back = shared_->back.load(std::memory_order_relaxed);
  // acquire: as in push, the jobs thieves moved past are finished with.
  std::int64_t front = shared_->front.load(std::memory_order_acquire);
  std::int64_t length = index_distance(back, front);
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool DequeOwner::resize(std::size_t new_capacity) {
  // Both blocks are had before anything changes, so a refusal leaves the
  // deque as it was.
  DequeBuffer* record = try_new_buffer(new_capacity);
  if (record == nullptr) return false;
  JobHandle* fresh = record->slots;
  // relaxed: back is ours; front may move on meanwhile, and copying jobs a
  // thief has taken since is harmless (indices keep their values).
  std::int64_t back = shared_->back.load(std::memory_order_relaxed);
  std::int64_t front = shared_->front.load(std::memory_order_relaxed);
  for (std::int64_t i = front; i != back; i = index_add(i, 1)) {
    write_slot(&fresh[slot_of(i, new_capacity)], read_slot(&slots_[slot_of(i, capacity_)]));
  }

  epoch::EpochGuard guard = epoch::pin_participant();
  slots_ = fresh;
  capacity_ = new_capacity;
  // release: a thief that loads the new ring sees the copied jobs.
  DequeBuffer* old = shared_->buffer.exchange(record, std::memory_order_release);
  // Thieves pinned now may still be reading the old ring.
  epoch::defer_action(guard, epoch::DeferredAction{&run_free_buffer,
                                                   {reinterpret_cast<std::uintptr_t>(old), 0, 0}});
  if (new_capacity * sizeof(JobHandle) >= kFlushBytes) epoch::flush_bag(guard);
  return true;
}

// ---- DequeThief ------------------------------------------------------------

DequeThief::DequeThief(WorkDeque* shared) noexcept : shared_(shared) {}

DequeThief::DequeThief(const DequeThief& other) noexcept : shared_(other.shared_) {
  // relaxed: a new end made from a live one; nothing to publish.
  if (shared_ != nullptr) shared_->ends.fetch_add(1, std::memory_order_relaxed);
}

DequeThief& DequeThief::operator=(const DequeThief& other) noexcept {
  if (this != &other) {
    // relaxed: as in the copy constructor.
    if (other.shared_ != nullptr) other.shared_->ends.fetch_add(1, std::memory_order_relaxed);
    drop_end(shared_);
    shared_ = other.shared_;
  }
  return *this;
}

DequeThief::DequeThief(DequeThief&& other) noexcept
    : shared_(std::exchange(other.shared_, nullptr)) {}

DequeThief& DequeThief::operator=(DequeThief&& other) noexcept {
  if (this != &other) {
    drop_end(shared_);
    shared_ = std::exchange(other.shared_, nullptr);
  }
  return *this;
}

DequeThief::~DequeThief() { drop_end(shared_); }

StealOutcome DequeThief::steal() const {
  WorkDeque& shared = *shared_;
  // seq_cst: the two index reads must not be reordered against the owner's
  // lowering of back and re-read of front in pop, or the owner and a thief
  // could both take the last job. Making both reads (and the owner's pair)
  // seq_cst puts all four in one total order, which is what a full fence
  // between them would give; no separate fence is needed, even when this
  // pin is nested and so brings no fence of its own. On x86 a seq_cst load
  // is a plain load. Also acquire, as a thief's read of front must be.
  std::int64_t front = shared.front.load(std::memory_order_seq_cst);
  // Pinned from here on: a ring the owner retires meanwhile is not freed
  // until we are done reading it.
  epoch::EpochGuard guard = epoch::pin_participant();
  // seq_cst: see the load of front. Also acquire: the jobs below this back
  // are visible.
  std::int64_t back = shared.back.load(std::memory_order_seq_cst);
  if (index_distance(back, front) <= 0) return StealOutcome{StealKind::kEmpty, {}};

  // acquire: a ring swapped in by a resize comes with its copied jobs. The
  // pin keeps a ring retired meanwhile from being freed under us.
  DequeBuffer* buffer = shared.buffer.load(std::memory_order_acquire);
  JobHandle job = read_slot(&buffer->slots[slot_of(front, buffer->capacity)]);
  // acquire: as above. A changed ring means the owner moved the jobs while we
  // read; the value may belong to another index.
  if (shared.buffer.load(std::memory_order_acquire) != buffer) {
    return StealOutcome{StealKind::kRetry, {}};
  }
  // seq_cst: every move of front is one total order, and winning orders our
  // read of the slot before the owner reuses it.
  if (!shared.front.compare_exchange_strong(front, index_add(front, 1), std::memory_order_seq_cst,
                                            std::memory_order_relaxed)) {
    return StealOutcome{StealKind::kRetry, {}};
  }
  return StealOutcome{StealKind::kStolen, job};
}

bool DequeThief::is_empty() const noexcept {
  // acquire: a snapshot that is at least as new as what we last synchronised with.
  std::int64_t front = shared_->front.load(std::memory_order_acquire);
  std::int64_t back = shared_->back.load(std::memory_order_acquire);
  return index_distance(back, front) <= 0;
}

// ---- Construction ----------------------------------------------------------

DequePair make_work_deque() {
  void* memory = allocate_or_abort(sizeof(WorkDeque), alignof(WorkDeque));
  auto* shared = new (memory) WorkDeque;
  JobHandle* slots = allocate_slots(DequeOwner::kMinCapacity);
  // relaxed: nothing is shared yet; the ends reach other threads through
  // whatever hands them over.
  shared->buffer.store(new_buffer_record(slots, DequeOwner::kMinCapacity),
                       std::memory_order_relaxed);
  shared->ends.store(2, std::memory_order_relaxed);
  shared->front.store(0, std::memory_order_relaxed);
  shared->back.store(0, std::memory_order_relaxed);
  return DequePair{DequeOwner(shared), DequeThief(shared)};
}

}  // namespace velk::pool
