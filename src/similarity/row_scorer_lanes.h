// The lane-per-row loop shared by the AVX2 and AVX-512 row scorers.
//
// Each vector lane carries one row: lane k of a group holds row k's dot
// product and squared norm, and every column j adds q[j] * row[j] and
// row[j] * row[j] to them with a separate multiply and add, accumulator
// first, query element first, exactly as the scalar chain does. Rows are
// loaded a cache line at a time and transposed in registers.
//
// Included only by row_scorer_avx2.cc and row_scorer_avx512.cc. Everything
// here is a template over the instruction-set type `Isa` that each of those
// files defines in an anonymous namespace, so every instantiation is local to
// the file that was compiled for that instruction set: no vector code can end
// up in a shared symbol that the rest of the program calls on any processor.
//
// `Isa` provides:
//   Vec, kLanes     the register type and the number of rows it carries
//   kInlineColumnLoops  whether the column loops go inline into the row loop
//   kBlockGroups    groups of kLanes rows whose chains are in flight together
//   initial()       every lane -0.0
//   broadcast(x), add_in_order(acc, x), mul_in_order(a, b)
//                   a vector of x; acc + x and a * b lane by lane, with the
//                   written operand first (it decides NaN payloads)
//   add_step<kWithDot>(rows, stride, query, count, dot, squares)
//       for j = 0, 1, ..., count - 1 (count at most kColumnStep) and every
//       lane k < kLanes, with x = rows[k * stride + j]:
//         dot[k] = dot[k] + query[j] * x      (only if kWithDot)
//         squares[k] = squares[k] + x * x
//       as separate binary32 multiplies and adds with the operands in
//       exactly this order; reads no column at or after count
//   finish(dot, squares, query_norm)
//       the vector of scores: lane k is squares[k] > 0
//       ? dot[k] / (sqrt(squares[k]) * query_norm) : +0.0, correctly rounded
//   store_scores(scores, out)
//       writes the kLanes lanes of `scores` to out[0 .. kLanes)
//   store_pairs(scores, first_index, out)
//       out[k] = ScoredPair{first_index + k, lane k of scores} for k < kLanes
#pragma once

#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "src/runtime/cache_line.h"
#include "src/similarity/views.h"

namespace velk::similarity::lanes {

// store_pairs() writes a pair as two 64-bit words, the index and then the
// score's bits widened with zeros (which fill the padding).
static_assert(sizeof(ScoredPair) == 16 && offsetof(ScoredPair, index) == 0 &&
              offsetof(ScoredPair, score) == 8);

// Columns per step: one cache line of floats.
inline constexpr uint64_t kColumnStep = kCacheLine / sizeof(float);
// Each step reads a line from each of 16 or 32 rows at once: more streams
// than the hardware prefetcher follows, so the rows ahead are requested in
// software, into the second-level cache so as not to crowd the first. This
// pays at every row width measured up to 4096 floats; past that,
// the rows ahead and the rows being read no longer fit the second-level cache
// together and the requests would only be read twice.
inline constexpr uint64_t kPrefetchMaxDim = 4096;
// How far ahead of the rows being scored the prefetch runs: at least this
// many rows and at least this many bytes (rounded up to whole blocks). At
// narrow rows a block is scored in little more than the time a line takes
// to arrive, so a distance of one block would leave the loads waiting.
inline constexpr uint64_t kPrefetchRowsAhead = 32;
inline constexpr uint64_t kPrefetchBytesAhead = 32 * 1024;

// Width of the column slices in which the last few rows pass through a
// zero-padded scratch block; keeps the block small whatever dim is.
inline constexpr uint64_t kTailColumns = 64;

// The chain itself, for one group of rows already transposed: column[j]
// holds column j, row k in lane k. For j = 0 .. count - 1, in this order,
// dot = dot + query[j] * column[j] (only if kWithDot) and squares = squares
// + column[j] * column[j], as separate multiplies and adds.
template <class Isa, bool kWithDot>
[[gnu::always_inline]] inline void add_columns(const typename Isa::Vec* column, const float* query,
                                               uint64_t count, typename Isa::Vec& dot,
                                               typename Isa::Vec& squares) {
  for (uint64_t j = 0; j < count; ++j) {
    if constexpr (kWithDot) {
      dot = Isa::add_in_order(dot, Isa::mul_in_order(Isa::broadcast(query[j]), column[j]));
    }
    squares = Isa::add_in_order(squares, Isa::mul_in_order(column[j], column[j]));
  }
}

template <class Isa, int kGroups>
struct LaneSums {
  typename Isa::Vec dot[kGroups];
  typename Isa::Vec squares[kGroups];

  static LaneSums initial() {
    LaneSums sums;
    for (int g = 0; g < kGroups; ++g) {
      sums.dot[g] = Isa::initial();
      sums.squares[g] = Isa::initial();
    }
    return sums;
  }
};

// Adds `count` columns (1 to kColumnStep) of kGroups groups of Isa::kLanes
// rows each. Row k of group g starts at rows + (g * kLanes + k) * stride.
// The groups go one after the other, so that only one group's lines are
// being read at any time.
template <class Isa, int kGroups, bool kWithDot>
[[gnu::always_inline]] inline void add_step(const float* rows, uint64_t stride, const float* query,
                                            uint64_t count, LaneSums<Isa, kGroups>& sums) {
  for (int g = 0; g < kGroups; ++g) {
    Isa::template add_step<kWithDot>(rows + g * Isa::kLanes * stride, stride, query, count,
                                     sums.dot[g], sums.squares[g]);
  }
}

// The rows of a block further on are requested into the second-level cache
// while a block is read, so that all of them have been requested by the time
// it is done, in one of two orders:
//   - in the order the steps read them (kReadingOrder): each step requests
//     the lines that the same step will read in the rows ahead, a whole
//     block in advance. `ahead` is the same column of the first row ahead,
//     placed alike within its lines.
//   - in address order: `ahead` is the next line to request. Each full step
//     requests as many lines as it reads, and whatever the full steps did
//     not reach is requested after the block.
// Which is faster depends on the row width, as measured here: under 2 KB
// per row reading order is (at 384 floats per row placed 16 bytes past a
// line, as numpy places them, address order took 10% longer at one thread
// and 5% at two), from 2 KB on address order is (at 1,024 floats reading
// order took 25% longer at one thread). A likely cause of the first: in
// address order the first lines of the last rows of the next block are
// requested at the very end of the block before it, although that block's
// first step needs them. Of the second: each step's requests in reading
// order are spread over rows 4 KB and more apart.
inline constexpr uint64_t kReadingOrderMaxRowBytes = 2048;

// Requests the line that holds the given column of every row of a block of
// kGroups groups whose first row's column is at `ahead`.
template <class Isa, int kGroups>
[[gnu::always_inline]] inline void request_step(const char* ahead, uint64_t stride) {
  for (uint64_t k = 0; k < kGroups * Isa::kLanes; ++k) {
    _mm_prefetch(ahead + k * stride * sizeof(float), _MM_HINT_T1);
  }
}

// Runs columns [0, count) through the lanes in steps that, once the first
// row is line-aligned, read exactly one cache line of every row. When the
// row width is a multiple of a line, all rows of the block then start their
// lines together, and no line has to stay in the first-level cache from one
// step to the next: at widths such as 512 or 1024 floats every row maps to
// the same few cache sets, and lines kept across steps would evict each
// other long before they were used up. Requests the rows ahead as it goes
// (when `ahead` is not null).
template <class Isa, int kGroups, bool kWithDot, bool kReadingOrder>
[[gnu::always_inline]] inline void add_column_range(const float* rows, uint64_t stride,
                                                    const float* query, uint64_t count,
                                                    const char*& ahead,
                                                    LaneSums<Isa, kGroups>& sums) {
  constexpr uint64_t kLinesPerStep =
      kGroups * Isa::kLanes * kColumnStep * sizeof(float) / kCacheLine;
  uint64_t j = 0;
  auto address = reinterpret_cast<uintptr_t>(rows);
  if (address % sizeof(float) == 0) {
    uint64_t to_line = (kCacheLine - address % kCacheLine) % kCacheLine / sizeof(float);
    j = to_line < count ? to_line : count;
    if (j != 0) {
      if (kReadingOrder && ahead != nullptr) request_step<Isa, kGroups>(ahead, stride);
      add_step<Isa, kGroups, kWithDot>(rows, stride, query, j, sums);
    }
  }
  for (; count - j >= kColumnStep; j += kColumnStep) {
    if (ahead != nullptr) {
      if constexpr (kReadingOrder) {
        request_step<Isa, kGroups>(ahead + j * sizeof(float), stride);
      } else {
        for (uint64_t line = 0; line < kLinesPerStep; ++line) {
          _mm_prefetch(ahead + line * kCacheLine, _MM_HINT_T1);
        }
        ahead += kLinesPerStep * kCacheLine;
      }
    }
    add_step<Isa, kGroups, kWithDot>(rows + j, stride, kWithDot ? query + j : nullptr, kColumnStep,
                                     sums);
  }
  if (j < count) {
    if (kReadingOrder && ahead != nullptr) {
      request_step<Isa, kGroups>(ahead + j * sizeof(float), stride);
    }
    add_step<Isa, kGroups, kWithDot>(rows + j, stride, kWithDot ? query + j : nullptr, count - j,
                                     sums);
  }
}

// add_column_range() as a call of its own. Whether the column loops are
// inlined into the row loop is left to each instruction set
// (Isa::kInlineColumnLoops): as measured, the 512-bit loops run faster
// inlined and the 256-bit ones out of line, and the compiler's own choice
// shifts with unrelated edits.
template <class Isa, int kGroups, bool kWithDot, bool kReadingOrder>
[[gnu::noinline]] void add_column_range_out_of_line(const float* rows, uint64_t stride,
                                                    const float* query, uint64_t count,
                                                    const char*& ahead,
                                                    LaneSums<Isa, kGroups>& sums) {
  add_column_range<Isa, kGroups, kWithDot, kReadingOrder>(rows, stride, query, count, ahead, sums);
}

template <class Isa, int kGroups, bool kWithDot, bool kReadingOrder>
[[gnu::always_inline]] inline void add_columns_of_block(const float* rows, uint64_t stride,
                                                        const float* query, uint64_t count,
                                                        const char*& ahead,
                                                        LaneSums<Isa, kGroups>& sums) {
  if constexpr (Isa::kInlineColumnLoops) {
    add_column_range<Isa, kGroups, kWithDot, kReadingOrder>(rows, stride, query, count, ahead,
                                                            sums);
  } else {
    add_column_range_out_of_line<Isa, kGroups, kWithDot, kReadingOrder>(rows, stride, query, count,
                                                                        ahead, sums);
  }
}

// Runs the columns of one block of rows through its lanes: the first
// `dot_columns` columns into both sums, the next `square_columns` into the
// squared norms only (a query shorter than the rows). When `ahead` is not
// null, it is the first row of a block further on, placed alike within its
// lines, which is requested as the block is read.
template <class Isa, int kGroups, bool kReadingOrder>
[[gnu::always_inline]] inline void add_row_block(const float* rows, uint64_t stride,
                                                 const float* query, uint64_t dot_columns,
                                                 uint64_t square_columns, const float* ahead_row,
                                                 LaneSums<Isa, kGroups>& sums) {
  const char* ahead = reinterpret_cast<const char*>(ahead_row);
  if constexpr (kReadingOrder) {
    add_columns_of_block<Isa, kGroups, true, true>(rows, stride, query, dot_columns, ahead, sums);
    const char* squares_ahead =
        ahead_row == nullptr ? nullptr : reinterpret_cast<const char*>(ahead_row + dot_columns);
    add_columns_of_block<Isa, kGroups, false, true>(rows + dot_columns, stride, nullptr,
                                                    square_columns, squares_ahead, sums);
  } else {
    const char* ahead_end = nullptr;
    if (ahead != nullptr) ahead_end = ahead + kGroups * Isa::kLanes * stride * sizeof(float);
    add_columns_of_block<Isa, kGroups, true, false>(rows, stride, query, dot_columns, ahead, sums);
    add_columns_of_block<Isa, kGroups, false, false>(rows + dot_columns, stride, nullptr,
                                                     square_columns, ahead, sums);
    for (; ahead < ahead_end; ahead += kCacheLine) _mm_prefetch(ahead, _MM_HINT_T1);
  }
}

// Finishes the lanes and writes the first `count` of them as pairs for rows
// first_index, first_index + 1, ...
template <class Isa, int kGroups>
void write_scores(const LaneSums<Isa, kGroups>& sums, float query_norm, uint64_t first_index,
                  uint64_t count, ScoredPair* out) {
  if (count == kGroups * Isa::kLanes) {
    // Whole groups are built in registers and stored a vector at a time: at
    // narrow rows, pairs written one field at a time would cost about as
    // much as the transposes.
    for (int g = 0; g < kGroups; ++g) {
      Isa::store_pairs(Isa::finish(sums.dot[g], sums.squares[g], query_norm),
                       first_index + g * Isa::kLanes, out + g * Isa::kLanes);
    }
    return;
  }
  alignas(kCacheLine) float scores[kGroups * Isa::kLanes];
  for (int g = 0; g < kGroups; ++g) {
    Isa::store_scores(Isa::finish(sums.dot[g], sums.squares[g], query_norm),
                      scores + g * Isa::kLanes);
  }
  for (uint64_t k = 0; k < count; ++k) out[k] = ScoredPair{first_index + k, scores[k]};
}

// The last `count` (< kLanes) rows: a full group would read past them, so
// they are copied slice by slice into a zero-padded scratch block and the
// pad lanes are dropped at the end.
template <class Isa>
void score_tail_rows(const float* rows, uint64_t count, uint64_t dim, const float* query,
                     uint64_t dot_columns, float query_norm, uint64_t first_index,
                     ScoredPair* out) {
  alignas(kCacheLine) float scratch[Isa::kLanes * kTailColumns];
  std::memset(scratch, 0, sizeof scratch);
  auto sums = LaneSums<Isa, 1>::initial();
  for (uint64_t column = 0; column < dim; column += kTailColumns) {
    uint64_t width = dim - column < kTailColumns ? dim - column : kTailColumns;
    for (uint64_t k = 0; k < count; ++k) {
      std::memcpy(scratch + k * kTailColumns, rows + k * dim + column, width * sizeof(float));
    }
    uint64_t dots = 0;
    if (column < dot_columns) dots = dot_columns - column < width ? dot_columns - column : width;
    const float* slice_query = query + (column < dot_columns ? column : dot_columns);
    add_row_block<Isa, 1, false>(scratch, kTailColumns, slice_query, dots, width - dots,
                                 /*ahead_row=*/nullptr, sums);
  }
  write_scores<Isa, 1>(sums, query_norm, first_index, count, out);
}

// The blocks of Isa::kBlockGroups groups (as many independent sets of chains
// in flight) of score_rows() on lanes, from row `first` on while whole
// blocks remain. Returns the first row not scored.
template <class Isa, bool kReadingOrder>
uint64_t score_row_blocks(VectorView query, float query_norm, const FlatMatrixView& matrix,
                          uint64_t first, uint64_t last, ScoredPair* out) {
  constexpr int kGroups = Isa::kBlockGroups;
  constexpr uint64_t kBlockRows = kGroups * Isa::kLanes;
  const uint64_t dim = matrix.dim;
  const uint64_t dot_columns = query.size < dim ? query.size : dim;
  const uint64_t square_columns = dim - dot_columns;
  const bool prefetch = dim <= kPrefetchMaxDim;
  const uint64_t row_bytes = dim * sizeof(float);
  const uint64_t blocks_ahead = (kPrefetchBytesAhead / row_bytes + kBlockRows - 1) / kBlockRows;
  const uint64_t rows_ahead = blocks_ahead * kBlockRows > kPrefetchRowsAhead
                                  ? blocks_ahead * kBlockRows
                                  : kPrefetchRowsAhead;
  const float* base = matrix.values.data;
  uint64_t i = first;
  for (; last - i >= kBlockRows; i += kBlockRows) {
    const float* rows = base + i * dim;
    // Only rows of our own range: past its end they may lie past the buffer.
    // rows_ahead is a multiple of 16, so the rows ahead sit in their lines
    // as these do.
    const float* ahead = nullptr;
    if (prefetch && last - i >= rows_ahead + kBlockRows) ahead = rows + rows_ahead * dim;
    auto sums = LaneSums<Isa, kGroups>::initial();
    add_row_block<Isa, kGroups, kReadingOrder>(rows, dim, query.data, dot_columns, square_columns,
                                               ahead, sums);
    write_scores<Isa, kGroups>(sums, query_norm, i, kBlockRows, out + (i - first));
  }
  return i;
}

// score_rows() on lanes: blocks of Isa::kBlockGroups groups, then one
// group, then the tail.
template <class Isa>
void score_rows_in_lanes(VectorView query, float query_norm, const FlatMatrixView& matrix,
                         uint64_t first, uint64_t last, ScoredPair* out) {
  const uint64_t dim = matrix.dim;
  const uint64_t dot_columns = query.size < dim ? query.size : dim;
  const uint64_t square_columns = dim - dot_columns;
  const float* base = matrix.values.data;
  uint64_t i = dim * sizeof(float) < kReadingOrderMaxRowBytes
                   ? score_row_blocks<Isa, true>(query, query_norm, matrix, first, last, out)
                   : score_row_blocks<Isa, false>(query, query_norm, matrix, first, last, out);
  if (last - i >= Isa::kLanes) {
    auto sums = LaneSums<Isa, 1>::initial();
    add_row_block<Isa, 1, false>(base + i * dim, dim, query.data, dot_columns, square_columns,
                                 /*ahead_row=*/nullptr, sums);
    write_scores<Isa, 1>(sums, query_norm, i, Isa::kLanes, out + (i - first));
    i += Isa::kLanes;
  }
  if (i < last) {
    score_tail_rows<Isa>(base + i * dim, last - i, dim, query.data, dot_columns, query_norm, i,
                         out + (i - first));
  }
}

}  // namespace velk::similarity::lanes
