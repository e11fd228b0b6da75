// The lane-per-row loops of the batch kernel, shared by every instruction set.
//
// A block of rows is packed once: its rows are widened to binary32, cut into
// groups of Isa::kLanes rows and transposed, so that column j of a group is
// one vector with row k in lane k; each row's squared-norm chain runs over
// the columns as they are packed, and only its root is kept. The packed block is then read once per
// tile of queries: a micro-kernel keeps kGroups x NQ vectors of dot chains in
// registers, takes one query element at a time and adds its product with
// each group's column. Every lane runs exactly the scalar chain: from -0.0, in
// column order, a separate multiply (see mul_by_element below for the order
// of its factors) and add (accumulator first), no FMA. The scores then pass a
// cheap test against the sink's floor, and the few that pass are offered to
// it.
//
// Included only by the batch_kernel_*.cc files. Everything here is a template
// over the instruction-set type `Isa` that each of those files defines in an
// anonymous namespace, so every instantiation is local to the file compiled
// for that instruction set: no vector code can end up in a shared symbol that
// the rest of the program calls on any processor. For the same reason the
// sink's calls made here are always inlined (TopKSet::offer, floor_key) or
// out of line in a file built for every processor (TopKSet's compaction).
//
// `Isa` provides:
//   Vec, kLanes        the register type and the number of rows it carries
//   kGroups, kQueries  the micro-kernel's tile: kGroups groups x kQueries
//                      queries of accumulators
//   kSingleGroups      the groups of a tile of one query
//   initial()          every lane -0.0
//   load(p), store(p, v)
//                      kLanes floats from (64-byte aligned) p
//   add_in_order(acc, x), mul_in_order(a, b)
//                      acc + x and a * b lane by lane, the written operand
//                      first (it decides NaN payloads)
//   mul_by_element(x, p)
//                      *p * x lane by lane (a query element times a column),
//                      the factors in either order: only a row with a NaN
//                      makes both factors NaN, and such a row's squared norm
//                      is NaN, so it scores +0.0 whichever payload its dot
//                      product carries
//   load_transposed<Elements>(rows, column, count, out)
//       for c < count (1 <= count <= kLanes) and k < kLanes:
//         lane k of out[c] = Elements::widen(rows[k][column + c])
//       reading nothing of rows[k] at or after column + count
//   roots(squares)     lane by lane: squares > 0 ? sqrt(squares) : +0.0
//   finish(dot, root, query_norm)
//       lane by lane: root > 0 ? dot / (root * query_norm) : +0.0, the
//       division and the product correctly rounded
//   gate(scores, floor_key, ceiling_key)
//       the bit mask of lanes with floor_key <= ranking_key(score) <= ceiling_key
//   gate_each(scores, floor_keys)
//       the bit mask of lanes k with floor_keys[k] <= ranking_key(score k)
//   kPipelinedHalves   whether the one-query scan runs float16 rows through
//   chain_halves(rows, steps, query, dot, squares, before_step)
//       instead of its own loop: the same chains over the first steps * kLanes
//       columns, each step's columns loaded while the step before is added up;
//       calls before_step(column) for each step before it is added up. It
//       may add each square of a float16 column with one fused multiply-add:
//       such a square is exact in binary32, so the bits are the same
//
// A `Sink` (TopKSet or RangeSet) provides floor_key(q), ceiling_key() and
// offer(q, index, key): the kernels offer exactly the lanes whose keys pass
// the gate, and the sink may refuse some of them.
#pragma once

#include <xmmintrin.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "src/engine/batch_kernel.h"
#include "src/engine/range_set.h"
#include "src/engine/top_k_set.h"
#include "src/runtime/cache_line.h"
#include "src/similarity/ranking.h"

namespace velk::engine::lanes {

// Steps of kLanes columns per cache line of a row: a step may cover less
// than a line (2-byte elements, or 8 lanes), and the loops that request rows
// ahead make one request per line, on every this many steps.
template <class Isa, class Storage>
constexpr uint64_t steps_per_line() {
  constexpr uint64_t kStepBytes = Isa::kLanes * sizeof(Storage);
  return kStepBytes >= kCacheLine ? 1 : kCacheLine / kStepBytes;
}

// Rows a whole number of 4 KiB long all start at the same place in a page,
// so the same line of the 16 rows of a group falls in one set of the
// first-level cache, which keeps 8 (see load_transposed_lines()). Their
// steps then start at a line: the head() columns up to the next line come
// first (none where the matrix starts at one), and every line after that is
// read whole, once. numpy places a large matrix 16 bytes past a line, where
// each step read the end of one line and the start of the next, and the
// next step read that line again. On a 2-core AMD EPYC the one-query scan of
// 651 x 3,072 float32 from the third-level cache took 0.15 ms against
// 0.24-0.28; 300 MB numpy matrices of 1,024, 3,072 and 4,096 float32 values
// from memory ran at 22.5, 20.7 and 21.3 GB/s against 18.2, 16.2 and 13.6
// (medians of three interleaved runs); 4,096-wide float16 and bfloat16 from
// the third-level cache took 0.51 and 0.49 ms against 0.72 and 0.62-0.75,
// and batches of 16 queries 6-15% less.
inline constexpr uint64_t kNoLineSteps = ~uint64_t{0};
template <class Isa, class Elements>
struct LineSteps {
  using Storage = typename Elements::Storage;
  static constexpr bool kPossible = Isa::kLineLoads;
  // Columns per line.
  static constexpr uint64_t kLineColumns = kCacheLine / sizeof(Storage);
  // The columns before the first line of every row, or kNoLineSteps.
  static uint64_t head(const MatrixView& matrix) {
    const auto address = reinterpret_cast<uintptr_t>(matrix.data);
    if (!kPossible || matrix.dim * sizeof(Storage) % 4096 != 0 ||
        address % sizeof(Storage) != 0) {
      return kNoLineSteps;
    }
    return (kCacheLine - address % kCacheLine) % kCacheLine / sizeof(Storage);
  }
  // take(column, j, count) gets columns [j, j + count) of the rows
  // transposed (count <= kLanes), every column once and in order.
  //
  // The head's columns, in steps of at most kLanes.
  template <class Take>
  [[gnu::always_inline]] static void run_head(const Storage* const* rows, uint64_t head,
                                              Take take) {
    typename Isa::Vec column[Isa::kLanes];
    for (uint64_t j = 0; j < head; j += Isa::kLanes) {
      const uint64_t count = std::min(Isa::kLanes, head - j);
      Isa::template load_transposed<Elements>(rows, j, count, column);
      take(column, j, count);
    }
  }
  // The steps of whole lines from column `head` on, up to the last whole
  // line; request(j) is called once per line, before its columns. Returns
  // the column after the last line. float32 lines are one step each
  // (load_transposed_lines()); the two steps of a line of 2-byte elements
  // read a copy of the 16 lines in a buffer of 16 consecutive lines, which no
  // other row's lines crowd out.
  template <class Take, class Request>
  [[gnu::always_inline]] static uint64_t run_lines(const Storage* const* rows, uint64_t dim,
                                                   uint64_t head, Take take, Request request) {
    using Vec = typename Isa::Vec;
    constexpr uint64_t kLanes = Isa::kLanes;
    Vec column[kLanes];
    uint64_t j = head;
    if constexpr (sizeof(Storage) == sizeof(float)) {
      for (; j + kLanes <= dim; j += kLanes) {
        request(j);
        Isa::load_transposed_lines(rows, j, column);
        take(column, j, kLanes);
      }
    } else {
      alignas(kCacheLine) Storage lines[kLanes * kLineColumns];
      const Storage* copies[kLanes];
      for (uint64_t k = 0; k < kLanes; ++k) copies[k] = lines + k * kLineColumns;
      for (; j + kLineColumns <= dim; j += kLineColumns) {
        request(j);
        Isa::copy_lines(rows, j, lines, kLineColumns);
        for (uint64_t c = 0; c < kLineColumns; c += kLanes) {
          Isa::template load_transposed<Elements>(copies, c, kLanes, column);
          take(column, j + c, kLanes);
        }
      }
    }
    return j;
  }
};

// Packs rows rows[0 .. kLanes) (any rows of the matrix; a short group
// repeats its last row) into `packed`: dim vectors, column j at
// packed + j * kLanes; and writes the roots of their squared norms to
// roots[0 .. kLanes), each row's chain run over the columns in order as they
// go by. Requests the lines of the rows in `ahead` (another group, or null)
// as the columns are read. `head` is LineSteps::head() of the matrix. Chaining the squares here rather than over the
// packed block afterwards saves reading it back: on a 2-core AMD EPYC a batch
// of 16 queries over 1,000,000 x 384 took 9% less time, 64 queries 3%.
template <class Isa, class Elements>
void pack_group(const typename Elements::Storage* const* rows, uint64_t dim, uint64_t head,
                float* packed, float* roots, const typename Elements::Storage* const* ahead) {
  using Vec = typename Isa::Vec;
  constexpr uint64_t kLanes = Isa::kLanes;
  // One request per line of each row.
  constexpr uint64_t kStepsPerLine = steps_per_line<Isa, typename Elements::Storage>();
  Vec column[kLanes];
  Vec squares = Isa::initial();
  // Columns [j, j + count), in columns[0 .. count), to the block and the
  // chains.
  auto take = [&](const Vec* columns, uint64_t j, uint64_t count) __attribute__((always_inline)) {
#pragma GCC unroll 16
    for (uint64_t c = 0; c < count; ++c) {
      Isa::store(packed + (j + c) * kLanes, columns[c]);
      squares = Isa::add_in_order(squares, Isa::mul_in_order(columns[c], columns[c]));
    }
  };
  uint64_t j = 0;
  if constexpr (LineSteps<Isa, Elements>::kPossible) {
    if (head != kNoLineSteps) {
      LineSteps<Isa, Elements>::run_head(rows, head, take);
      j = LineSteps<Isa, Elements>::run_lines(
          rows, dim, head, take, [&](uint64_t first) __attribute__((always_inline)) {
            if (ahead != nullptr) {
              for (uint64_t k = 0; k < kLanes; ++k) _mm_prefetch(ahead[k] + first, _MM_HINT_T0);
            }
          });
    }
  }
  for (; j + kLanes <= dim; j += kLanes) {
    if (ahead != nullptr && (j / kLanes) % kStepsPerLine == 0) {
      for (uint64_t k = 0; k < kLanes; ++k) _mm_prefetch(ahead[k] + j, _MM_HINT_T0);
    }
    Isa::template load_transposed<Elements>(rows, j, kLanes, column);
    take(column, j, kLanes);
  }
  if (j < dim) {
    Isa::template load_transposed<Elements>(rows, j, dim - j, column);
    take(column, j, dim - j);
  }
  Isa::store(roots, Isa::roots(squares));
}

// Requests for the lines of a byte range, a few at a time: the next block's
// rows, spread over the columns of the tiles that score this one, so that
// they come in while the multiply and add units are busy, without a burst
// that would stall on the line-fill buffers.
struct AheadRequests {
  const char* next = nullptr;
  const char* end = nullptr;
  uint64_t per_column = 0;

  [[gnu::always_inline]] void request(uint64_t lines) {
    for (uint64_t n = 0; n < lines && next < end; ++n, next += kCacheLine) {
      _mm_prefetch(next, _MM_HINT_T1);
    }
  }
};

// The scores of kGroups' consecutive packed groups (from `packed`, each
// dim * kLanes floats) against NQ queries interleaved in `tile` (element j
// of query q at tile[j * NQ + q]): out[q * kGroups + g] is the vector of
// group g's scores for query q. Issues ahead.per_column requests per column.
template <class Isa, int kGroups, int NQ>
[[gnu::noinline]] void score_tile(const float* packed, const float* roots, const float* tile,
                                  const float* norms, uint64_t dim, typename Isa::Vec* out,
                                  AheadRequests& ahead) {
  using Vec = typename Isa::Vec;
  constexpr uint64_t kLanes = Isa::kLanes;
  const uint64_t group_floats = dim * kLanes;
  Vec acc[NQ][kGroups];
#pragma GCC unroll 16
  for (int q = 0; q < NQ; ++q) {
#pragma GCC unroll 4
    for (int g = 0; g < kGroups; ++g) acc[q][g] = Isa::initial();
  }
  const uint64_t requests = ahead.next < ahead.end ? ahead.per_column : 0;
  for (uint64_t j = 0; j < dim; ++j) {
    if (requests != 0) ahead.request(requests);
    Vec row[kGroups];
#pragma GCC unroll 4
    for (int g = 0; g < kGroups; ++g) row[g] = Isa::load(packed + g * group_floats + j * kLanes);
#pragma GCC unroll 16
    for (int q = 0; q < NQ; ++q) {
#pragma GCC unroll 4
      for (int g = 0; g < kGroups; ++g) {
        acc[q][g] = Isa::add_in_order(acc[q][g], Isa::mul_by_element(row[g], tile + j * NQ + q));
      }
    }
  }
#pragma GCC unroll 16
  for (int q = 0; q < NQ; ++q) {
#pragma GCC unroll 4
    for (int g = 0; g < kGroups; ++g) {
      out[q * kGroups + g] = Isa::finish(acc[q][g], Isa::load(roots + g * kLanes), norms[q]);
    }
  }
}

// score_tile() for a run-time query count (1 to kQueries).
template <class Isa, int kGroups, int... kCounts>
[[gnu::always_inline]] inline void score_tile_of(std::integer_sequence<int, kCounts...>,
                                                 uint64_t queries, const float* packed,
                                                 const float* roots, const float* tile,
                                                 const float* norms, uint64_t dim,
                                                 typename Isa::Vec* out, AheadRequests& ahead) {
  using Tile = void (*)(const float*, const float*, const float*, const float*, uint64_t,
                        typename Isa::Vec*, AheadRequests&);
  static constexpr Tile kTiles[] = {&score_tile<Isa, kGroups, kCounts + 1>...};
  kTiles[queries - 1](packed, roots, tile, norms, dim, out, ahead);
}

// Calls offer(k, ranking_key(lane k)) for each lane k of `scores` in `mask`,
// in lane order.
template <class Isa, class Offer>
[[gnu::always_inline]] inline void for_each_lane(typename Isa::Vec scores, uint32_t mask,
                                                 Offer offer) {
  if (mask == 0) return;
  alignas(kCacheLine) float lanes[Isa::kLanes];
  Isa::store(lanes, scores);
  while (mask != 0) {
    const int k = __builtin_ctz(mask);
    mask &= mask - 1;
    offer(k, similarity::ranking_key(lanes[k]));
  }
}

// Offers the lanes of `scores` (rows first_row, first_row + 1, ..., the first
// `valid` lanes) to those rows' own lists, as the scores of query q (the pass's)
// against them, where the row is at or past paired.from_row and passes its
// list's floor.
template <class Isa>
[[gnu::always_inline]] inline void offer_paired(typename Isa::Vec scores, uint64_t first_row,
                                                uint64_t valid, uint64_t q,
                                                PairedLists& paired) {
  if (valid > Isa::kLanes) valid = Isa::kLanes;
  if (first_row + valid <= paired.from_row) return;
  uint32_t mask = Isa::gate_each(scores, paired.floor_keys + first_row);
  if (valid < Isa::kLanes) mask &= (uint32_t{1} << valid) - 1;
  if (first_row < paired.from_row) mask &= ~((uint32_t{1} << (paired.from_row - first_row)) - 1);
  for_each_lane<Isa>(scores, mask, [&](int k, int32_t key) __attribute__((always_inline)) {
    paired.offer(first_row + k, paired.first_query + q, key);
  });
}

// Offers the lanes of `scores` (rows rows[0 .. valid)) that pass query q's
// gate to the sink, and with a paired search to the rows' own lists.
template <class Isa, class Sink>
[[gnu::always_inline]] inline void offer_lanes(typename Isa::Vec scores, const uint64_t* rows,
                                               uint64_t valid, uint64_t q, Sink& sink) {
  if constexpr (std::is_same_v<Sink, TopKSet>) {
    // A paired search has no filter: its blocks are consecutive rows.
    if (PairedLists* paired = sink.paired(); paired != nullptr) {
      offer_paired<Isa>(scores, rows[0], valid, q, *paired);
    }
  }
  uint32_t mask = Isa::gate(scores, sink.floor_key(q), sink.ceiling_key());
  if (valid < Isa::kLanes) mask &= (uint32_t{1} << valid) - 1;
  for_each_lane<Isa>(scores, mask, [&](int k, int32_t key) __attribute__((always_inline)) {
    sink.offer(q, rows[k], key);
  });
}

// Scores the block's rows against its queries and offers them to the sink;
// see score_block() in batch_kernel.h.
template <class Isa, class Elements, class Sink>
void score_block_in_lanes(const BlockJob& job, Sink& sink) {
  using Vec = typename Isa::Vec;
  using Storage = typename Elements::Storage;
  constexpr uint64_t kLanes = Isa::kLanes;
  constexpr int kGroups = Isa::kGroups;
  const uint64_t dim = job.matrix.dim;
  const auto* base = static_cast<const Storage*>(job.matrix.data);
  const uint64_t groups = (job.row_count + kLanes - 1) / kLanes;

  // Pack every group, requesting the next group's rows meanwhile.
  const uint64_t head = LineSteps<Isa, Elements>::head(job.matrix);
  const Storage* pointers[2][kLanes];
  auto gather = [&](uint64_t g, const Storage** out) {
    const uint64_t first = g * kLanes;
    for (uint64_t k = 0; k < kLanes; ++k) {
      const uint64_t i = first + k < job.row_count ? first + k : job.row_count - 1;
      out[k] = base + job.rows[i] * dim;
    }
  };
  gather(0, pointers[0]);
  for (uint64_t g = 0; g < groups; ++g) {
    const Storage** ahead = nullptr;
    if (g + 1 < groups) {
      gather(g + 1, pointers[(g + 1) % 2]);
      ahead = pointers[(g + 1) % 2];
    }
    pack_group<Isa, Elements>(pointers[g % 2], dim, head, job.scratch.packed + g * dim * kLanes,
                              job.scratch.roots + g * kLanes, ahead);
  }
  uint64_t g = 0;

  // The requests for the next block go out evenly over the columns of the
  // block's tiles.
  const uint64_t query_tiles = (job.query_count + Isa::kQueries - 1) / Isa::kQueries;
  const uint64_t tiles = query_tiles * ((groups + kGroups - 1) / kGroups);
  AheadRequests ahead{job.ahead, job.ahead + job.ahead_bytes, 0};
  const uint64_t columns = tiles * dim;
  ahead.per_column = (job.ahead_bytes / kCacheLine + columns - 1) / columns;

  // One tile of queries at a time, interleaved so that the micro-kernel
  // reaches each of its queries at a fixed offset.
  constexpr auto kCounts = std::make_integer_sequence<int, Isa::kQueries>();
  constexpr int kMostGroups = kGroups > Isa::kSingleGroups ? kGroups : Isa::kSingleGroups;
  Vec scores[Isa::kQueries * kMostGroups];
  for (uint64_t t = 0; t < query_tiles; ++t) {
    // Tiles of nearly equal size (see interleave_queries()).
    const uint64_t q0 = t * job.query_count / query_tiles;
    const uint64_t nq = (t + 1) * job.query_count / query_tiles - q0;
    const float* tile = job.queries + q0 * dim;
    const float* norms = job.norms + q0;
    // Offers the scores of kTileGroups groups from group g on.
    auto offer_tile = [&]<int kTileGroups>(uint64_t g) {
      for (uint64_t q = 0; q < nq; ++q) {
        for (int h = 0; h < kTileGroups; ++h) {
          const uint64_t first = (g + h) * kLanes;
          offer_lanes<Isa, Sink>(scores[q * kTileGroups + h], job.rows + first,
                                 job.row_count - first, job.first_query + q0 + q, sink);
        }
      }
    };
    g = 0;
    if (nq == 1) {
      // One query has only as many chains as groups: more groups at a time
      // keep the adds from waiting on each other.
      for (; g + Isa::kSingleGroups <= groups; g += Isa::kSingleGroups) {
        score_tile<Isa, Isa::kSingleGroups, 1>(job.scratch.packed + g * dim * kLanes,
                                               job.scratch.roots + g * kLanes, tile, norms, dim,
                                               scores, ahead);
        offer_tile.template operator()<Isa::kSingleGroups>(g);
      }
    } else {
      for (; g + kGroups <= groups; g += kGroups) {
        score_tile_of<Isa, kGroups>(kCounts, nq, job.scratch.packed + g * dim * kLanes,
                                    job.scratch.roots + g * kLanes, tile, norms, dim, scores,
                                    ahead);
        offer_tile.template operator()<kGroups>(g);
      }
    }
    for (; g < groups; ++g) {
      score_tile_of<Isa, 1>(kCounts, nq, job.scratch.packed + g * dim * kLanes,
                            job.scratch.roots + g * kLanes, tile, norms, dim, scores, ahead);
      offer_tile.template operator()<1>(g);
    }
  }
}

// One query over rows [job.first, job.last) in groups of kLanes rows (each
// lane walking a stretch of rows of its own, see below), read straight from
// the matrix: each step loads kLanes columns of a group's rows, widens and
// transposes them in registers, and runs them through the dot and the
// squared-norm chains at once. One query reads every column once, so packing
// the rows first (as score_block_in_lanes() does) would only add a pass over
// them. The rows further on are requested into the second-level cache as the
// columns are read, each line twice (see below). Lanes of rows whose
// `allowed` entry is 0 are not offered.
template <class Isa, class Elements, class Sink>
void score_rows_in_lanes(const RowsJob& job, Sink& sink) {
  using Vec = typename Isa::Vec;
  using Storage = typename Elements::Storage;
  constexpr uint64_t kLanes = Isa::kLanes;
  const uint64_t dim = job.matrix.dim;
  const auto* base = static_cast<const Storage*>(job.matrix.data);
  const uint64_t row_bytes = dim * sizeof(Storage);
  // At least 32 rows and 32 KiB ahead, in whole groups; none for rows so wide
  // that the group being read and the rows ahead would crowd each other out
  // of the second-level cache, nor for a matrix that fits in half of it:
  // back-to-back calls find it there, and the requests would only take issue
  // slots (about 15% of a call at 1,000 x 128).
  uint64_t ahead_rows = (32 * 1024 + row_bytes - 1) / row_bytes;
  if (ahead_rows < 32) ahead_rows = 32;
  ahead_rows = (ahead_rows + kLanes - 1) / kLanes * kLanes;
  const bool prefetch = row_bytes <= 16 * 1024 && job.matrix.rows * row_bytes > 1024 * 1024;
  // Narrow rows have each line requested twice: from twice the distance
  // (hint T2), then from the distance itself (T1). Measured on 1M x 384 and
  // 3M x 128 on 2 threads: the scan went from 0.77-0.80 to 0.83-0.88 of a
  // streaming read of the matrix, and float16's from 0.53 to 0.62 of the read
  // of its bytes. One request from twice as far, a third request, or the
  // second one at half the distance did no better; from further than 128 KiB
  // ahead the second request measured no better at 3 KiB rows and worse at 6
  // and 15 KiB.
  const bool request_far = prefetch && 2 * ahead_rows * row_bytes <= 128 * 1024;
  // One request per line of each row.
  constexpr uint64_t kStepsPerLine = steps_per_line<Isa, Storage>();
  const float* query = job.query;
  const float norm = job.query_norm;

  // Lane k reads a stretch of rows of its own, one row after the next: rows
  // first + k * stretch + g for g = 0, 1, ... Each lane is then a stream of
  // consecutive lines, which the processor's own prefetcher follows as well
  // as the requests below. Measured on 2 threads in one process against
  // groups of 16 consecutive rows: 1M x 384 float32 5-6% faster, float16
  // 9-13%, 3M x 128 2-8%, 2M x 192 7%, 750,000 x 512 2%, 500,000 x 768 4%;
  // rows of 4 and 6 KiB 2-4% slower, so from 4 KiB on rows keep consecutive
  // groups. The stretches are an odd number of rows long, so that the lanes'
  // lines spread over the cache sets: with stretches of 256 rows of 384
  // elements every lane's line fell in the same set, and float16 ran 14%
  // slower than in consecutive groups. With an even number of groups the
  // last one is 16 consecutive rows.
  const uint64_t groups = (job.last - job.first) / kLanes;
  const uint64_t tail = (job.last - job.first) % kLanes;
  const uint64_t stretch = row_bytes >= kStretchMaxRowBytes || groups == 0
                               ? 0
                               : (groups % 2 == 1 ? groups : groups - 1);
  // Each lane requests the rows this far ahead in its own stretch.
  const uint64_t lane_ahead = (ahead_rows + kLanes - 1) / kLanes;
  constexpr bool kLineSteps = LineSteps<Isa, Elements>::kPossible;
  const uint64_t head = LineSteps<Isa, Elements>::head(job.matrix);
  const bool line_steps = head != kNoLineSteps;
  // Scores rows[k] (row index[k]) in lane k and offers the lanes in `live`;
  // with requests, those for the rows `ahead` and `far` of each lane's own
  // (ahead_stride elements apart from one lane to the next).
  auto score_group = [&]<bool kRequests>(const Storage* const* rows, const uint64_t* index,
                                         uint32_t live, const Storage* ahead, const Storage* far,
                                         uint64_t ahead_stride) __attribute__((always_inline)) {
    Vec dot = Isa::initial();
    Vec squares = Isa::initial();
    // The requests for the step at column j.
    auto request = [&](uint64_t j) __attribute__((always_inline)) {
      if (kRequests && ahead != nullptr && (j / kLanes) % kStepsPerLine == 0) {
        for (uint64_t k = 0; k < kLanes; ++k) {
          _mm_prefetch(reinterpret_cast<const char*>(ahead + k * ahead_stride + j), _MM_HINT_T1);
        }
        if (far != nullptr) {
          for (uint64_t k = 0; k < kLanes; ++k) {
            _mm_prefetch(reinterpret_cast<const char*>(far + k * ahead_stride + j), _MM_HINT_T2);
          }
        }
      }
    };
    uint64_t j = 0;
    // Columns [first, first + count) from column[0 .. count) through the
    // chains.
    auto take = [&](const Vec* column, uint64_t first, uint64_t count)
                    __attribute__((always_inline)) {
  #pragma GCC unroll 16
      for (uint64_t c = 0; c < count; ++c) {
        dot = Isa::add_in_order(dot, Isa::mul_by_element(column[c], query + first + c));
        squares = Isa::add_in_order(squares, Isa::mul_in_order(column[c], column[c]));
      }
    };
    if constexpr (kLineSteps) {
      if (line_steps) {
        LineSteps<Isa, Elements>::run_head(rows, head, take);
        j = head;
      }
    }
    if constexpr (Isa::kPipelinedHalves && std::is_same_v<Elements, Float16Elements>) {
      // float16 runs its pipelined steps (chain_halves()) straight from the
      // rows, from the first line on where there are line steps: copies of
      // the lines, as run_lines() takes them, took 8-10% longer than steps on
      // a line boundary, which read each line in two halves, one per step,
      // without measurable loss.
      if (j + kLanes <= dim) {
        const Storage* from_j[kLanes];
        for (uint64_t k = 0; k < kLanes; ++k) from_j[k] = rows[k] + j;
        const uint64_t steps = (dim - j) / kLanes;
        Isa::chain_halves(from_j, steps, query + j, dot, squares,
                          [&](uint64_t c) __attribute__((always_inline)) { request(j + c); });
        j += steps * kLanes;
      }
    } else {
      if constexpr (kLineSteps) {
        if (line_steps) {
          j = LineSteps<Isa, Elements>::run_lines(
              rows, dim, head, take, [&](uint64_t first) __attribute__((always_inline)) {
                for (uint64_t c = 0; c < LineSteps<Isa, Elements>::kLineColumns; c += kLanes) {
                  request(first + c);
                }
              });
        }
      }
      // Every step, or those after the last whole line.
      for (; j + kLanes <= dim; j += kLanes) {
        request(j);
        Vec column[kLanes];
        Isa::template load_transposed<Elements>(rows, j, kLanes, column);
        take(column, j, kLanes);
      }
    }
    if (j < dim) {
      Vec column[kLanes];
      Isa::template load_transposed<Elements>(rows, j, dim - j, column);
      for (uint64_t c = 0; c < dim - j; ++c) {
        dot = Isa::add_in_order(dot, Isa::mul_by_element(column[c], query + j + c));
        squares = Isa::add_in_order(squares, Isa::mul_in_order(column[c], column[c]));
      }
    }
    const Vec scores = Isa::finish(dot, Isa::roots(squares), norm);
    uint32_t mask = Isa::gate(scores, sink.floor_key(0), sink.ceiling_key()) & live;
    if (job.allowed != nullptr && mask != 0) {
      for (uint64_t k = 0; k < kLanes; ++k) {
        if (job.allowed[index[k]] == 0) mask &= ~(uint32_t{1} << k);
      }
    }
    if (mask == 0) return;
    alignas(kCacheLine) float lanes[kLanes];
    Isa::store(lanes, scores);
    while (mask != 0) {
      const int k = __builtin_ctz(mask);
      mask &= mask - 1;
      sink.offer(0, index[k], similarity::ranking_key(lanes[k]));
    }
  };
  // The groups' loop comes in two copies, with and without the requests:
  // where none are made, the copy without them keeps its pointers in
  // registers (one thread, float32: 1,000 x 128 8% faster, 2,000 x 128 10%).
  auto score_groups = [&]<bool kRequests>() {
    for (uint64_t g = 0; g < groups; ++g) {
      // Lane k scores row first + k * lane_stride.
      const bool strided = g < stretch;
      const uint64_t lane_stride = strided ? stretch : 1;
      const uint64_t first =
          strided ? job.first + g : job.first + kLanes * stretch + (g - stretch) * kLanes;
      uint64_t index[kLanes];
      const Storage* rows[kLanes];
      for (uint64_t k = 0; k < kLanes; ++k) {
        index[k] = first + k * lane_stride;
        rows[k] = base + index[k] * dim;
      }
      // Each lane requests the row `distance` rows on from its own (row k of
      // the rows ahead is at ahead + k * lane_stride * dim) while that stays
      // within `room`: a lane's stretch, or the job's own range (past its end
      // rows may lie past the buffer).
      const uint64_t distance = strided ? lane_ahead : ahead_rows;
      const uint64_t room = strided ? stretch - g : job.last - first - kLanes + 1;
      const Storage* ahead = kRequests && distance < room ? rows[0] + distance * dim : nullptr;
      const Storage* far =
          kRequests && request_far && 2 * distance < room ? rows[0] + 2 * distance * dim : nullptr;
      score_group.template operator()<kRequests>(rows, index, ~uint32_t{0}, ahead, far,
                                                 lane_stride * dim);
    }
  };
  if (prefetch) {
    score_groups.template operator()<true>();
  } else {
    score_groups.template operator()<false>();
  }
  if (tail != 0) {
    // The last rows, fewer than a group: the lanes past them read the last
    // row again and offer nothing. Cheaper than handing a few rows to the
    // batch kernel, which packs them and sets a block up for them: a call
    // over 1,000 x 128 (8 rows left over) took 3% less time on one thread.
    uint64_t index[kLanes];
    const Storage* rows[kLanes];
    const uint64_t first = job.last - tail;
    for (uint64_t k = 0; k < kLanes; ++k) {
      index[k] = std::min(first + k, job.last - 1);
      rows[k] = base + index[k] * dim;
    }
    score_group.template operator()<false>(rows, index, (uint32_t{1} << tail) - 1, nullptr,
                                           nullptr, 0);
  }
}

// score_rows_in_lanes() for the job's element type.
template <class Isa, class Sink>
void score_rows_for_type(const RowsJob& job, Sink& sink) {
  switch (job.matrix.type) {
    case ElementType::kFloat32:
      score_rows_in_lanes<Isa, Float32Elements, Sink>(job, sink);
      return;
    case ElementType::kFloat16:
      score_rows_in_lanes<Isa, Float16Elements, Sink>(job, sink);
      return;
    case ElementType::kBFloat16:
      score_rows_in_lanes<Isa, BFloat16Elements, Sink>(job, sink);
      return;
  }
}

// score_block_in_lanes() for the job's element type.
template <class Isa, class Sink>
void score_block_for_type(const BlockJob& job, Sink& sink) {
  switch (job.matrix.type) {
    case ElementType::kFloat32:
      score_block_in_lanes<Isa, Float32Elements, Sink>(job, sink);
      return;
    case ElementType::kFloat16:
      score_block_in_lanes<Isa, Float16Elements, Sink>(job, sink);
      return;
    case ElementType::kBFloat16:
      score_block_in_lanes<Isa, BFloat16Elements, Sink>(job, sink);
      return;
  }
}

}  // namespace velk::engine::lanes
