// Backing off in the lock-free queues: spin on the processor's pause hint for
// a growing number of rounds, and give the processor away once spinning has
// stopped paying.
#pragma once

#include <cstdint>

namespace velk::pool {

// One step counter for one queue operation; starts at 0.
class SpinBackoff {
 public:
  // After losing a compare-and-swap race: spin 2^min(step, 6) times, then
  // step + 1 while step is at most 6.
  void light_wait() noexcept;

  // While another thread must make progress first: spin 2^step times while
  // step is at most 6, otherwise yield the processor; then step + 1 while
  // step is at most 10.
  void heavy_wait() noexcept;

  // Steps taken so far (0 to 11).
  std::uint32_t step() const noexcept { return step_; }

 private:
  static constexpr std::uint32_t kSpinLimit = 6;
  static constexpr std::uint32_t kYieldLimit = 10;

  std::uint32_t step_ = 0;
};

}  // namespace velk::pool
