#include "src/pool/epoch/collector.h"

#include <pthread.h>

#include <atomic>
#include <new>
#include <utility>

#include "src/runtime/alloc.h"
#include "src/runtime/panic.h"

namespace velk::pool::epoch {
namespace {

// Bit 0 of a list link: the participant that holds the link is deleted.
constexpr std::uintptr_t kDeletedBit = 1;

Participant* participant_at(std::uintptr_t link) noexcept {
  return reinterpret_cast<Participant*>(link & ~kDeletedBit);
}

StampedBag* new_stamped_bag() {
  void* memory = allocate_or_abort(sizeof(StampedBag), alignof(StampedBag));
  auto* node = new (memory) StampedBag;
  node->epoch = 0;
  node->next.store(nullptr, std::memory_order_relaxed);
  return node;
}

void free_stamped_bag(StampedBag* node) noexcept {
  // An old sentinel: its bag was run when it became the sentinel.
  node->~StampedBag();
  release_allocation(node);
}

void run_free_stamped_bag(std::uintptr_t* data) noexcept {
  free_stamped_bag(reinterpret_cast<StampedBag*>(data[0]));
}

}  // namespace

// ---- EpochGuard ------------------------------------------------------------

EpochGuard::EpochGuard(EpochGuard&& other) noexcept
    : participant_(std::exchange(other.participant_, nullptr)),
      drops_handle_(other.drops_handle_) {}

EpochGuard::~EpochGuard() {
  if (participant_ == nullptr) return;
  Participant* participant = participant_;
  participant->unpin();
  // A temporary participant: unpinned first, so dropping its only handle
  // retires it at once.
  if (drops_handle_) participant->drop_handle();
}

// ---- Participant -----------------------------------------------------------

Participant::Participant(EpochCollector* collector) noexcept
    : link_(0), collector_(collector), pin_depth_(0), handle_count_(1), pin_count_(0), epoch_(0) {}

EpochGuard Participant::pin() {
  if (pin_depth_++ == 0) {
    // relaxed: a stale epoch only makes us look older than we are, which
    // holds the epoch back; it never lets a bag run early.
    std::uint64_t global = collector_->epoch_.value.load(std::memory_order_relaxed);
    std::uint64_t expected = 0;
    // seq_cst: this is the full fence between publishing our epoch and every
    // load of the pinned region (deque indices, buffer pointers); an
    // advance_epoch that misses our pin cannot have missed the memory we read.
    bool published = epoch_.compare_exchange_strong(
        expected, global | kPinnedBit, std::memory_order_seq_cst, std::memory_order_relaxed);
    if (!published) [[unlikely]]
      panic("epoch participant pinned from two threads at once");
    if (pin_count_++ % kPinsPerCollect == 0) collector_->collect_garbage(*this);
  }
  return EpochGuard(this, /*drops_handle=*/false);
}

EpochGuard Participant::pin_for_one_use() {
  EpochGuard guard = pin();
  guard.drops_handle_ = true;
  return guard;
}

void Participant::unpin() {
  if (--pin_depth_ != 0) return;
  // release: every read made while pinned happens before an advance_epoch
  // that sees us unpinned, and so before anything that advance lets free.
  epoch_.store(0, std::memory_order_release);
  if (handle_count_ == 0) retire();
}

void Participant::defer(const DeferredAction& action) {
  while (!bag_.try_add(action)) collector_->queue_bag(*this);
}

void Participant::flush() {
  if (!bag_.is_empty()) collector_->queue_bag(*this);
  collector_->collect_garbage(*this);
}

void Participant::drop_handle() {
  if (--handle_count_ == 0 && pin_depth_ == 0) retire();
}

std::uint64_t Participant::epoch_word() const noexcept {
  // relaxed: an observation for tests, ordered by nothing.
  return epoch_.load(std::memory_order_relaxed);
}

void Participant::retire() {
  // The extra handle keeps the unpin below from retiring us a second time.
  handle_count_ = 1;
  {
    EpochGuard guard = pin();
    collector_->queue_bag(*this);
  }
  handle_count_ = 0;
  // The process collector is never destroyed, so our reference to it needs
  // no count; forget it before we become visible as deleted, since from then
  // on another thread may free us.
  collector_ = nullptr;
  // release: our last writes happen before the unlinking thread (which
  // reads the link with acquire) hands our memory to its bag.
  link_.fetch_or(kDeletedBit, std::memory_order_release);
}

// ---- EpochCollector --------------------------------------------------------

EpochCollector::EpochCollector() {
  StampedBag* sentinel = new_stamped_bag();
  queue_head_.value.store(sentinel, std::memory_order_relaxed);
  queue_tail_.value.store(sentinel, std::memory_order_relaxed);
  epoch_.value.store(0, std::memory_order_relaxed);
  participants_.value.store(0, std::memory_order_relaxed);
}

EpochCollector::~EpochCollector() {
  // Quiescent by precondition: relaxed loads see the final values.
  StampedBag* node = queue_head_.value.load(std::memory_order_relaxed);
  while (node != nullptr) {
    StampedBag* next = node->next.load(std::memory_order_relaxed);
    node->bag.run_all();
    free_stamped_bag(node);
    node = next;
  }
  std::uintptr_t link = participants_.value.load(std::memory_order_relaxed);
  while (Participant* participant = participant_at(link)) {
    link = participant->link_.load(std::memory_order_relaxed);
    free_participant(participant);
  }
}

Participant* EpochCollector::register_participant() {
  void* memory = allocate_or_abort(sizeof(Participant), alignof(Participant));
  auto* participant = new (memory) Participant(this);
  auto self_link = reinterpret_cast<std::uintptr_t>(participant);
  std::uintptr_t head = participants_.value.load(std::memory_order_relaxed);
  do {
    participant->link_.store(head, std::memory_order_relaxed);
    // release: a walker that reaches us through the head sees our fields
    // initialised. relaxed on failure: we only retry with the new head.
  } while (!participants_.value.compare_exchange_weak(head, self_link, std::memory_order_release,
                                                      std::memory_order_relaxed));
  return participant;
}

std::uint64_t EpochCollector::global_epoch() const noexcept {
  // acquire: pairs with the release store of advance_epoch.
  return epoch_.value.load(std::memory_order_acquire);
}

void EpochCollector::free_participant(Participant* participant) noexcept {
  // Its bag was queued at retirement; anything left runs now.
  participant->bag_.run_all();
  participant->~Participant();
  release_allocation(participant);
}

void EpochCollector::run_free_participant(std::uintptr_t* data) noexcept {
  free_participant(reinterpret_cast<Participant*>(data[0]));
}

std::uint64_t EpochCollector::advance_epoch(Participant& self) {
  // acquire: whatever a previous advance saw (participants unpinned) happens
  // before what we do with the epoch we read; bags run on the strength of it.
  std::uint64_t epoch = epoch_.value.load(std::memory_order_acquire);
  // The epoch must be read before any participant's epoch word: a thread
  // that pins after our reads publishes at least `epoch`.
  std::atomic_thread_fence(std::memory_order_seq_cst);

  std::atomic<std::uintptr_t>* predecessor = &participants_.value;
  // acquire: a participant reached through a link has its fields initialised.
  std::uintptr_t current = predecessor->load(std::memory_order_acquire);
  while (Participant* participant = participant_at(current)) {
    // acquire: a participant marked deleted has finished with its memory.
    std::uintptr_t successor = participant->link_.load(std::memory_order_acquire);
    if ((successor & kDeletedBit) != 0) {
      std::uintptr_t expected = current;
      std::uintptr_t unlinked = successor & ~kDeletedBit;
      // acq_rel: we publish the shorter list and must see the state of the
      // predecessor we replace. acquire on failure: we go on from its new
      // successor.
      if (predecessor->compare_exchange_strong(expected, unlinked, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
        // Threads pinned now may still be reading it: free it late.
        self.defer(DeferredAction{&run_free_participant,
                                  {reinterpret_cast<std::uintptr_t>(participant), 0, 0}});
        current = unlinked;
      } else if ((expected & kDeletedBit) != 0) {
        // The predecessor itself went: its link can no longer be trusted to
        // lead through the rest of the list.
        return epoch;
      } else {
        current = expected;
      }
      continue;
    }
    // seq_cst: pairs with the seq_cst publication of a pin, so that of the
    // two (our fence, their pin) one sees the other. Also acquire: a
    // participant seen unpinned has finished its reads.
    std::uint64_t word = participant->epoch_.load(std::memory_order_seq_cst);
    if ((word & kPinnedBit) != 0 && (word & ~kPinnedBit) != epoch) return epoch;
    predecessor = &participant->link_;
    current = successor;
  }
  // release: the next reader of the epoch inherits what we saw of every
  // participant (see the acquire load above).
  epoch_.value.store(epoch + kEpochStep, std::memory_order_release);
  return epoch + kEpochStep;
}

void EpochCollector::collect_garbage(Participant& self) {
  std::uint64_t epoch = advance_epoch(self);
  int collected = 0;
  while (collected < kBagsPerCollect) {
    // acquire: the sentinel's successor was published with release.
    StampedBag* sentinel = queue_head_.value.load(std::memory_order_acquire);
    // acquire: the bag and stamp of the node were written before it was linked.
    StampedBag* next = sentinel->next.load(std::memory_order_acquire);
    if (next == nullptr) break;
    if (static_cast<std::int64_t>(epoch - next->epoch) < kExpiryDistance) break;
    // acq_rel: winning makes us the only runner of next's bag. relaxed on
    // failure: another collector took it; we look again (not counted).
    if (!queue_head_.value.compare_exchange_strong(sentinel, next, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed)) {
      continue;
    }
    ++collected;
    StampedBag* old_tail = sentinel;
    // release: like any tail update, it publishes a linked node. A failure
    // means the tail has moved on already.
    queue_tail_.value.compare_exchange_strong(old_tail, next, std::memory_order_release,
                                              std::memory_order_relaxed);
    // Other collectors may still read the old sentinel's link.
    self.defer(
        DeferredAction{&run_free_stamped_bag, {reinterpret_cast<std::uintptr_t>(sentinel), 0, 0}});
    // `next` is the sentinel now; only its link is shared, its bag is ours.
    next->bag.run_all();
  }
}

void EpochCollector::queue_bag(Participant& self) {
  StampedBag* node = new_stamped_bag();
  node->bag.swap(self.bag_);
  // Whatever the bag's actions free was unlinked before this fence; a thread
  // that can still reach it pinned no later than the epoch we read next.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // seq_cst: ordered after the fence above also in tools that do not model
  // fences.
  node->epoch = epoch_.value.load(std::memory_order_seq_cst);
  for (;;) {
    // acquire: we read the tail node's link.
    StampedBag* tail = queue_tail_.value.load(std::memory_order_acquire);
    StampedBag* next = tail->next.load(std::memory_order_acquire);
    if (next != nullptr) {
      // Help a pusher that linked its node but has not swung the tail yet.
      // release: the new tail is a published node.
      queue_tail_.value.compare_exchange_strong(tail, next, std::memory_order_release,
                                                std::memory_order_relaxed);
      continue;
    }
    // release: the collector that pops the node sees its bag and stamp.
    if (tail->next.compare_exchange_strong(next, node, std::memory_order_release,
                                           std::memory_order_relaxed)) {
      // release: as above. Failure is fine: someone helped already.
      queue_tail_.value.compare_exchange_strong(tail, node, std::memory_order_release,
                                                std::memory_order_relaxed);
      return;
    }
  }
}

std::size_t EpochCollector::queued_bags() const noexcept {
  std::size_t count = 0;
  // acquire: we read the links of nodes others published.
  StampedBag* node = queue_head_.value.load(std::memory_order_acquire);
  while ((node = node->next.load(std::memory_order_acquire)) != nullptr) ++count;
  return count;
}

namespace {

// The process collector. Never destroyed: worker threads are abandoned at
// exit and may still use it.
std::atomic<EpochCollector*> process_collector_ptr{nullptr};

// In a child made by fork() the parent's workers are gone, but their
// participants are still in the list, and one that was pinned at the moment
// of the fork would hold the epoch back for good: nothing retired in the
// child would ever be freed. The child starts a collector of its own and
// leaks the inherited one (its state may be mid-change).
void forget_process_collector_in_child() {
  // relaxed: the child has a single thread at this point.
  process_collector_ptr.store(nullptr, std::memory_order_relaxed);
}

// Registered when the library is loaded, not on first use (see the global
// pool's handler in registry.cc).
[[maybe_unused]] const bool fork_handler_registered =
    pthread_atfork(nullptr, nullptr, &forget_process_collector_in_child) == 0;

}  // namespace

EpochCollector& process_collector() {
  // acquire: the collector must be complete before we hand it out.
  if (EpochCollector* made = process_collector_ptr.load(std::memory_order_acquire)) return *made;
  void* memory = allocate_or_abort(sizeof(EpochCollector), alignof(EpochCollector));
  auto* fresh = new (memory) EpochCollector();
  EpochCollector* expected = nullptr;
  // acq_rel publishes ours; on failure, acquire sees the winner's collector.
  if (process_collector_ptr.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
    return *fresh;
  }
  fresh->~EpochCollector();
  release_allocation(memory);
  return *expected;
}

}  // namespace velk::pool::epoch
