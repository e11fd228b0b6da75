#include "src/pool/epoch/pin.h"

#include <pthread.h>

#include <utility>

namespace velk::pool::epoch {
namespace {

// The calling thread's participant in the process collector. Trivially
// destructible, so it stays readable while the thread's other thread-local
// objects are destroyed at exit.
thread_local Participant* thread_participant_ptr = nullptr;
// Set once the thread's handle has been dropped at thread exit.
thread_local bool thread_handle_gone = false;

// Drops the thread's handle when the thread exits. Constructed (and its
// destructor registered) on the thread's first pin.
struct ThreadHandleDropper {
  bool armed = false;
  ~ThreadHandleDropper() {
    thread_handle_gone = true;
    if (Participant* participant = std::exchange(thread_participant_ptr, nullptr)) {
      participant->drop_handle();
    }
  }
};
thread_local ThreadHandleDropper thread_handle_dropper;

// In a child made by fork() the process collector is replaced (the parent's
// pinned workers would hold the inherited one back); the forking thread,
// the child's only thread, registers anew with the fresh one on its next pin.
void forget_thread_participant_in_child() { thread_participant_ptr = nullptr; }

// Registered when the library is loaded, not on first use (see the global
// pool's handler in registry.cc).
[[maybe_unused]] const bool fork_handler_registered =
    pthread_atfork(nullptr, nullptr, &forget_thread_participant_in_child) == 0;

// The thread's participant, registered on first use; null once the thread
// is past the end of its handle.
Participant* participant_handle() {
  if (thread_participant_ptr != nullptr) return thread_participant_ptr;
  if (thread_handle_gone) return nullptr;
  Participant* participant = process_collector().register_participant();
  // Touching the dropper constructs it and arranges the drop at thread exit.
  thread_handle_dropper.armed = true;
  thread_participant_ptr = participant;
  return participant;
}

}  // namespace

EpochGuard pin_participant() {
  if (Participant* participant = participant_handle()) return participant->pin();
  // The thread is exiting and its handle is gone: a participant of its own
  // for this one operation, retired when the guard goes.
  return process_collector().register_participant()->pin_for_one_use();
}

bool is_pinned() noexcept {
  return thread_participant_ptr != nullptr && thread_participant_ptr->is_pinned();
}

void defer_action(const EpochGuard& guard, const DeferredAction& action) {
  guard.participant().defer(action);
}

void flush_bag(const EpochGuard& guard) { guard.participant().flush(); }

}  // namespace velk::pool::epoch
