#include "src/pool/backoff.h"

#include <sched.h>

#include <algorithm>

namespace velk::pool {
namespace {

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  asm volatile("" ::: "memory");
#endif
}

void spin(std::uint32_t rounds) noexcept {
  for (std::uint32_t i = 0; i < rounds; ++i) spin_hint();
}

}  // namespace

void SpinBackoff::light_wait() noexcept {
  spin(1u << std::min(step_, kSpinLimit));
  if (step_ <= kSpinLimit) ++step_;
}

void SpinBackoff::heavy_wait() noexcept {
  if (step_ <= kSpinLimit) {
    spin(1u << step_);
  } else {
    // Spinning longer would only steal time from the thread we wait for.
    ::sched_yield();
  }
  if (step_ <= kYieldLimit) ++step_;
}

}  // namespace velk::pool
