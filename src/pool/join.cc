#include "src/pool/join.h"

#include <pthread.h>

#include <atomic>
#include <memory>

#include "src/pool/injector.h"
#include "src/pool/sleep.h"

namespace velk::pool {
namespace {

thread_local std::unique_ptr<BlockingLatch> t_caller_latch;

// In a child made by fork() the forking thread's latch may have been in use
// by a parent worker at the moment of the fork; give the child a fresh one
// (the old one is leaked on purpose).
void forget_caller_latch_in_child() { (void)t_caller_latch.release(); }

// Registered when the library is loaded, not on first use (see the global
// pool's handler in registry.cc).
[[maybe_unused]] const bool fork_handler_registered =
    pthread_atfork(nullptr, nullptr, &forget_caller_latch_in_child) == 0;

}  // namespace

BlockingLatch& caller_latch() {
  if (!t_caller_latch) t_caller_latch = std::make_unique<BlockingLatch>();
  return *t_caller_latch;
}

void inject_job(WorkerPool& pool, JobHandle job) {
  InjectorQueue& injector = pool.injector();
  const bool was_empty = injector.is_empty();
  injector.push(job);
  // seq_cst fence: pairs with the fence a worker issues after counting itself
  // as sleeping and before its last look at the injector (see try_sleep).
  std::atomic_thread_fence(std::memory_order_seq_cst);
  pool.sleep().note_new_jobs(was_empty);
}

}  // namespace velk::pool
