// Job handles: what the pool's queues carry.
#pragma once

namespace velk::pool {

// Two machine words: the job's execute entry and its data pointer. A handle
// owns nothing; two handles denote the same job exactly when both words are
// equal. Executing it calls the entry with the data pointer on the executing
// thread's stack; the entry never lets a failure escape.
struct JobHandle {
  void (*execute_fn)(void* data) = nullptr;
  void* data = nullptr;

  friend bool operator==(const JobHandle&, const JobHandle&) = default;
};

inline void execute(JobHandle job) { job.execute_fn(job.data); }

}  // namespace velk::pool
