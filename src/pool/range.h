// The machinery of the ordered parallel map, free of templates so that it is
// compiled once: the recursive split of an index range into pieces, run
// through two-way joins, each leaf writing into its own window of one
// pre-sized output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velk::pool {

// A leaf callback with its item type erased: call(context, start, end, window)
// writes end - start items of item_size bytes at `window`, item j being the
// result for index start + j. Called concurrently from several threads.
struct RangeLeaf {
  void (*call)(void* context, uint64_t start, uint64_t end, void* window);
  void* context;
  std::size_t item_size;
};

// How far a piece may still be split: `splits` halves at every split and is
// renewed to at least the pool's thread count when a piece migrates; pieces
// shorter than 2 * min_length are not split.
struct SplitBudget {
  uint64_t splits;
  uint64_t min_length;
};

// The output slots a piece owns: `slots` items from `first`. Windows of
// different pieces never overlap.
struct CollectWindow {
  std::byte* first;
  uint64_t slots;
};

// What a piece hands back: `filled` items written from `first`, out of
// `total` slots covered. The slots it covers are owned by its holder.
struct FilledRun {
  std::byte* first;
  uint64_t total;
  uint64_t filled;
};

// Maps [start, end) into `window`, splitting by `budget` and joining the
// halves; `migrated` says whether this piece runs as a job that left its
// parent (renewing the budget). Adjacent results are stitched into one run.
FilledRun map_piece(uint64_t start, uint64_t end, bool migrated, SplitBudget budget,
                    CollectWindow window, const RangeLeaf& leaf);

// Writes the results for [0, n) to storage[0 .. n) in index order, with a
// split budget of current_thread_count() (which creates the global pool on
// first use, even for n = 0). Panics with "expected {n} total writes, but got
// {filled}" if the pieces did not fill the whole output.
void map_range_into(uint64_t n, std::byte* storage, const RangeLeaf& leaf);

}  // namespace velk::pool
