#include "src/pool/range.h"

#include <algorithm>
#include <string>

#include "src/pool/join.h"
#include "src/pool/registry.h"
#include "src/runtime/panic.h"

namespace velk::pool {

FilledRun map_piece(uint64_t start, uint64_t end, bool migrated, SplitBudget budget,
                    CollectWindow window, const RangeLeaf& leaf) {
  const uint64_t length = end > start ? end - start : 0;
  const uint64_t mid = length / 2;

  bool split;
  if (mid < budget.min_length) {
    split = false;
  } else if (migrated) {
    // A piece that moved to another thread is evidence of idle workers:
    // give it a fresh budget so that it can be spread out again.
    budget.splits = std::max(current_thread_count(), budget.splits / 2);
    split = true;
  } else if (budget.splits == 0) {
    split = false;
  } else {
    budget.splits /= 2;
    split = true;
  }

  if (!split) {
    if (length > window.slots) panic("too many values pushed to consumer");
    if (length != 0) leaf.call(leaf.context, start, end, window.first);
    return FilledRun{window.first, window.slots, length};
  }

  if (mid > length) panic("assertion failed: index <= self.range.len()");
  if (mid > window.slots) panic("assertion failed: index <= len");
  const CollectWindow left_window{window.first, mid};
  const CollectWindow right_window{window.first + mid * leaf.item_size, window.slots - mid};

  // The left half gets floor(L/2) indices and runs at once here; the right
  // half (the larger one for odd L) is offered to idle workers.
  auto [left, right] = join_pair(
      [&](bool left_migrated) {
        return map_piece(start, start + mid, left_migrated, budget, left_window, leaf);
      },
      [&](bool right_migrated) {
        return map_piece(start + mid, end, right_migrated, budget, right_window, leaf);
      });

  if (left.first + left.filled * leaf.item_size == right.first) {
    return FilledRun{left.first, left.total + right.total, left.filled + right.filled};
  }
  // Not contiguous: keep the left run only; the final count check reports it.
  return left;
}

void map_range_into(uint64_t n, std::byte* storage, const RangeLeaf& leaf) {
  const SplitBudget budget{current_thread_count(), /*min_length=*/1};
  const FilledRun run =
      map_piece(0, n, /*migrated=*/false, budget, CollectWindow{storage, n}, leaf);
  if (run.filled != n) {
    panic("expected " + std::to_string(n) + " total writes, but got " + std::to_string(run.filled));
  }
}

}  // namespace velk::pool
