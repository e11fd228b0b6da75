// The worker loop: how a worker finds jobs and what it does while it waits.
//
// A worker never blocks while it waits for a latch. It keeps running jobs,
// its own first, then jobs stolen from a randomly chosen peer, then jobs
// handed in from outside, and hands over to the sleep protocol when it finds
// none.
#pragma once

#include <optional>

#include "src/pool/job.h"
#include "src/pool/latch.h"
#include "src/pool/registry.h"

namespace velk::pool {

// One job from, in order: the worker's own deque (newest first), a peer's
// deque (oldest first; the first peer chosen at random), the pool's injector.
// None when all were empty. Contention is absorbed by retrying.
std::optional<JobHandle> search_for_job(WorkerThread& worker);

// Steals one job from the other workers' deques, or none. One pass visits
// every peer once, starting at a random one; a pass that found nothing but
// lost a race is repeated from a new random start. None at once in a pool of
// fewer than 2 workers.
std::optional<JobHandle> steal_from_peers(WorkerThread& worker);

// Takes the oldest job handed in from outside, or none.
std::optional<JobHandle> take_injected_job(WorkerThread& worker);

// Returns once `latch` is signalled, running other jobs meanwhile and sleeping
// when there are none. Must not unwind: a failure escaping it aborts the
// process (jobs catch their own).
// Memory ordering: whatever the setter wrote before signalling is visible on
// return.
void wait_for_latch(WorkerThread& worker, LatchWord& latch);

// Whether the calling thread runs a job while it waits for a latch other than
// its worker's stop latch (a job taken while a fork of its own waits for the
// other half): such a job holds that fork up for as long as it runs.
bool in_nested_wait() noexcept;

// Whether jobs wait in `worker`'s pool for a worker to take them: handed in
// from outside, or pushed by another worker for a thief. A snapshot, for a
// worker that busies itself with something else and should come back.
bool jobs_waiting(WorkerThread& worker) noexcept;

}  // namespace velk::pool
