// The batch kernel: scores a block of rows against a run of queries and
// offers the results to a top-k sink, on the calling thread.
//
// Every variant gives every (query, row) the bits of the single-query chain
// (see search.h); they differ only in speed. The caller holds the default
// floating-point environment (DefaultMxcsr, src/runtime/fp_environment.h)
// around the call.
#pragma once

#include <cstdint>

#include "src/engine/elements.h"
#include "src/engine/range_set.h"
#include "src/engine/search.h"
#include "src/engine/top_k_set.h"

namespace velk::engine {

// Most rows a vector register of any variant carries.
inline constexpr uint64_t kMaxLanes = 16;

// Rows of this many bytes or more are scored by one query in groups of
// consecutive rows rather than in stretches (see score_rows_in_lanes() in
// batch_lanes.h).
inline constexpr uint64_t kStretchMaxRowBytes = 4096;

// Per-thread working memory of the kernel, sized by the caller for the
// largest block it will pass:
//   packed      round_up(row_count, kMaxLanes) * dim floats, 64-byte aligned
//   roots       round_up(row_count, kMaxLanes) floats, 64-byte aligned
struct BlockScratch {
  float* packed = nullptr;
  float* roots = nullptr;
};

// The number of queries in each tile of `kind`'s micro-kernel.
uint64_t tile_queries(KernelKind kind);

// Writes queries[0 .. count) (dim values each, row-major) as `kind`'s
// micro-kernel reads them: in T = ceil(count / tile_queries(kind)) tiles of
// nearly equal size, tile t holding queries [t * count / T,
// (t + 1) * count / T) from out + (t * count / T) * dim, with element j of
// its query q at j * (queries in the tile) + q. count * dim floats.
void interleave_queries(KernelKind kind, const float* queries, uint64_t count, uint64_t dim,
                        float* out);

// One unit of work: rows[0 .. row_count) (indices into the matrix, each
// < matrix.rows; 1 <= row_count) against queries q < query_count, given
// interleaved for the kernel (interleave_queries()), with query q's norm at
// norms[q] (the root of its squared norm). The scores of query q go to sink
// query first_query + q.
struct BlockJob {
  MatrixView matrix;
  const uint64_t* rows = nullptr;
  uint64_t row_count = 0;
  const float* queries = nullptr;
  const float* norms = nullptr;
  uint64_t query_count = 0;
  uint64_t first_query = 0;
  BlockScratch scratch;
  // Bytes to request into the second-level cache while the block is scored
  // (the next block's rows, or none): the kernel spreads the requests over
  // its tiles, so that the next block is packed from cache.
  const char* ahead = nullptr;
  uint64_t ahead_bytes = 0;
};

// Offers every (query, row) of `job` whose score may rank in the sink's top
// k, or that reaches its threshold. Requires kernel_supported(kind) (not
// checked here).
void score_block(KernelKind kind, const BlockJob& job, TopKSet& sink);
void score_block(KernelKind kind, const BlockJob& job, RangeSet& sink);

// One query over a run of consecutive rows: [first, last). `query` holds dim values, `query_norm` the root of their
// squared norm (nonzero). `allowed`, if not null, has one entry per row of
// the matrix; rows whose entry is 0 are scored but never offered. The scores
// go to sink query 0.
struct RowsJob {
  MatrixView matrix;
  uint64_t first = 0;
  uint64_t last = 0;
  const float* query = nullptr;
  float query_norm = 0.0f;
  const uint8_t* allowed = nullptr;
};


// Offers every row of `job` whose score may rank in the sink's top k, or that
// reaches its threshold. Requires kernel_supported(kind) (not checked here).
void score_rows(KernelKind kind, const RowsJob& job, TopKSet& sink);
void score_rows(KernelKind kind, const RowsJob& job, RangeSet& sink);

// The variants; only the dispatches above call them.
void score_block_scalar(const BlockJob& job, TopKSet& sink);
void score_block_scalar(const BlockJob& job, RangeSet& sink);
void score_block_avx2(const BlockJob& job, TopKSet& sink);
void score_block_avx2(const BlockJob& job, RangeSet& sink);
void score_block_avx512(const BlockJob& job, TopKSet& sink);
void score_block_avx512(const BlockJob& job, RangeSet& sink);
void score_rows_scalar(const RowsJob& job, TopKSet& sink);
void score_rows_scalar(const RowsJob& job, RangeSet& sink);
void score_rows_avx2(const RowsJob& job, TopKSet& sink);
void score_rows_avx2(const RowsJob& job, RangeSet& sink);
void score_rows_avx512(const RowsJob& job, TopKSet& sink);
void score_rows_avx512(const RowsJob& job, RangeSet& sink);

}  // namespace velk::engine
