#include "src/pool/epoch/garbage_bag.h"

#include <utility>

namespace velk::pool::epoch {
namespace {

void do_nothing(std::uintptr_t*) noexcept {}

}  // namespace

DeferredAction DeferredAction::no_op() noexcept { return DeferredAction{&do_nothing, {0, 0, 0}}; }

GarbageBag::GarbageBag() noexcept : count(0) {
  for (DeferredAction& action : actions) action = DeferredAction::no_op();
}

bool GarbageBag::try_add(const DeferredAction& action) noexcept {
  if (is_full()) return false;
  actions[count++] = action;
  return true;
}

void GarbageBag::run_all() noexcept {
  std::size_t n = count;
  count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    // Take the action out first: if it (indirectly) reaches this bag again,
    // it finds a no-op rather than itself.
    DeferredAction action = std::exchange(actions[i], DeferredAction::no_op());
    action.run();
  }
}

void GarbageBag::swap(GarbageBag& other) noexcept {
  for (std::size_t i = 0; i < kCapacity; ++i) std::swap(actions[i], other.actions[i]);
  std::swap(count, other.count);
}

}  // namespace velk::pool::epoch
