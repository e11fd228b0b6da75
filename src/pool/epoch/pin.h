// Pinning the calling thread in the process-wide epoch collector.
//
// Each thread gets its own Participant on first use, retired when the thread
// exits. A thread that is already past the end of its thread-local handle
// (it is exiting) gets a temporary participant for the one operation.
#pragma once

#include "src/pool/epoch/collector.h"
#include "src/pool/epoch/garbage_bag.h"

namespace velk::pool::epoch {

// Pins the calling thread; re-entrant. The outermost pin contains a full
// fence. Registers the thread on first use.
EpochGuard pin_participant();

// True while the calling thread holds a guard from pin_participant().
bool is_pinned() noexcept;

// Adds `action` to the bag of the guard's participant; it runs once no
// thread pinned now can still be pinned.
void defer_action(const EpochGuard& guard, const DeferredAction& action);

// Queues the guard participant's bag if it is not empty, then collects.
void flush_bag(const EpochGuard& guard);

}  // namespace velk::pool::epoch
