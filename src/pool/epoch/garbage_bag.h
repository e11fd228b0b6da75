// Deferred actions and the bags that hold them until it is safe to run them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::pool::epoch {

// Something to do later, typically freeing memory that other threads may
// still read: a function and three words of data. Running it calls the
// function with a pointer to the data.
struct DeferredAction {
  void (*run_fn)(std::uintptr_t* data);
  std::uintptr_t data[3];

  // The action that does nothing; it fills the unused entries of a bag.
  static DeferredAction no_op() noexcept;
  void run() noexcept { run_fn(data); }
};
static_assert(sizeof(DeferredAction) == 32);

// Up to kCapacity deferred actions of one thread. Entries at `count` and
// beyond hold the no-op.
struct GarbageBag {
  static constexpr std::size_t kCapacity = 64;

  GarbageBag() noexcept;
  // Bags are moved by swapping them whole; copying one would run its
  // actions twice.
  GarbageBag(const GarbageBag&) = delete;
  GarbageBag& operator=(const GarbageBag&) = delete;

  bool is_empty() const noexcept { return count == 0; }
  bool is_full() const noexcept { return count == kCapacity; }

  // Adds `action`; false (and nothing added) when the bag is full.
  bool try_add(const DeferredAction& action) noexcept;

  // Runs the actions in the order they were added, each replaced by the
  // no-op before it runs (so none can run twice), and leaves the bag empty.
  void run_all() noexcept;

  // Exchanges the contents of two bags.
  void swap(GarbageBag& other) noexcept;

  DeferredAction actions[kCapacity];
  std::size_t count;
};
static_assert(sizeof(GarbageBag) == 2056);

}  // namespace velk::pool::epoch
