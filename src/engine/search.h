// Exact top-k search of many queries over one matrix, in one pass.
//
// Every score is the binary32 chain of the flat top-k (similarity/kernels.h,
// row_cosine): dot product from -0.0 with the query element as the first
// multiply operand and the accumulator as the first add operand, the row's
// squared norm likewise, then sr > 0 ? d / (sqrt(sr) * query_norm) : +0.0
// with query_norm = sqrt(squared norm of the query), no FMA, in the default
// floating-point environment whatever the caller's. So each score has the
// bits the single-query path gives the same (query, row).
//
// Results follow one total order: a larger ranking_key(score) first; equal
// keys (the same bits) by lower row first. The top k under that order is
// unique, so a result is a pure function of (query, matrix, k, allowed):
// the same for any thread count, query batch, block split or instruction set.
//
// How it runs: queries are taken in passes of up to a few thousand; each
// pass reads the matrix once, in blocks of rows spread over the workers of
// the global pool (or, for a small call, on the calling thread alone). The
// batch kernel packs a block's rows (widened to binary32) with their norms
// and scores every query of the pass against it in register tiles; one
// float32 query runs on the row scorer at the memory limit instead. Rows a
// filter leaves out are never read: the allowed ones are gathered into full
// blocks.
//
// Memory: besides the outputs, O(queries x k) for the candidates (each
// worker keeps k plus a little per query of a pass) and O(workers x block)
// of working memory; never a score per (query, row) or per row. A threshold
// search keeps 16 bytes per row found until it writes its results, and as
// much again while it sorts them.
//
// Nothing here touches Python: callers may release the interpreter lock
// around these calls. Calls from several threads at once are safe; they
// share the global worker pool. Failures are panics (and an allocation the
// allocator refuses is reported as the runtime's allocation failure).
#pragma once

#include <cstdint>

#include "src/runtime/alloc.h"

namespace velk::engine {

// How the matrix stores its elements. Each element is widened exactly to
// binary32 before it enters the chain.
enum class ElementType : uint8_t {
  kFloat32,
  kFloat16,   // IEEE binary16
  kBFloat16,  // the upper 16 bits of a binary32
};

// A row-major matrix of `rows` rows of `dim` elements each, contiguous, read
// only. dim > 0.
struct MatrixView {
  const void* data = nullptr;
  uint64_t rows = 0;
  uint64_t dim = 0;
  ElementType type = ElementType::kFloat32;
};

// `count` queries of the matrix's dim float32 values each, row-major,
// contiguous.
struct QueryBlock {
  const float* data = nullptr;
  uint64_t count = 0;
};

// For each query q < queries.count, writes its best rows to indices[q*k + j]
// and their scores to scores[q*k + j] for j < counts[q], best first in the
// total order; slots from counts[q] to k - 1 are left untouched.
// counts[q] = min(k, number of allowed rows), except 0 for a query whose
// squared norm equals zero. `allowed` is null (every row allowed) or holds
// one byte per row, nonzero for a row that may be returned. Panics if
// matrix.dim == 0.
void search_top_k(const QueryBlock& queries, const MatrixView& matrix, uint64_t k,
                  const uint8_t* allowed, int64_t* indices, float* scores, uint64_t* counts);

// The rows of each query whose score is at least a threshold, best first in
// the total order: the rows of query q are indices[lims[q] .. lims[q + 1])
// with their scores at the same places. lims has queries + 1 entries, from 0.
struct RangeResult {
  GrowableArray<uint64_t> lims;
  GrowableArray<int64_t> indices;
  GrowableArray<float> scores;
};

// Every allowed row with score >= threshold (binary32 comparison: a NaN score
// never passes; -0.0 and +0.0 both pass a zero threshold), for each query; a
// query whose squared norm equals zero gets none. `allowed` as for
// search_top_k(). Memory grows with the rows found, not with the matrix.
// Panics if the threshold is NaN or matrix.dim == 0.
RangeResult search_range(const QueryBlock& queries, const MatrixView& matrix, float threshold,
                         const uint8_t* allowed);

// The implementations of the scoring loops. kScalar works everywhere; the
// others need the named instruction sets (see kernel_supported()). All give
// the same bits.
enum class KernelKind : uint8_t {
  kScalar,
  kAvx2,    // needs AVX2
  kAvx512,  // needs AVX-512 F, BW, DQ and VL
};

// Whether this processor can run `kind`.
bool kernel_supported(KernelKind kind);

// The widest supported kind: what search_top_k() uses.
KernelKind preferred_kernel();

// The choices search_top_k() makes for itself, open for tests and
// benchmarks. None of them changes a result.
struct SearchPlan {
  KernelKind kernel = KernelKind::kScalar;
  // Rows scored together as one unit of work (rounded up to a multiple of
  // 32). 0 picks the default.
  uint64_t block_rows = 0;
  // Work, in multiply-add pairs, below which the call runs on the calling
  // thread without waking the pool. 0 always uses the pool.
  uint64_t inline_pairs = 0;
  // Work, in multiply-add pairs, from which a call on the calling thread
  // offers the second half of its rows to the pool's workers (taking it back
  // if none is awake to take it first). 0 always offers it (where there are
  // two groups of rows to split); UINT64_MAX never does.
  uint64_t shared_pairs = UINT64_MAX;
  // Work, in multiply-add pairs, of each step between progress reports. 0
  // picks the default.
  uint64_t step_pairs = 0;
  // Rows found by a threshold search's pass from which their sorting is
  // spread over the pool (where the scan ran on it). 0 picks the default.
  uint64_t pool_sort_rows = 0;
};

// The plan search_top_k() follows.
SearchPlan default_plan();

// Progress of a long call. Without `report`, a call runs in one go.
// With it, the call runs in steps of some tens of milliseconds of work and
// calls report(context, done, total) on the calling thread after each one,
// where done of total (query, row) pairs have been scored; the report may
// take the interpreter lock (no worker waits on it). If it returns false,
// the call stops there and returns false; its outputs are then unspecified.
struct Progress {
  bool (*report)(void* context, uint64_t done, uint64_t total) = nullptr;
  void* context = nullptr;
};

// search_top_k() and search_range() under `plan`, and with a progress
// report. Panic if plan.kernel is not supported. The results do not depend
// on whether a report is given.
void search_top_k_with(const SearchPlan& plan, const QueryBlock& queries, const MatrixView& matrix,
                       uint64_t k, const uint8_t* allowed, int64_t* indices, float* scores,
                       uint64_t* counts);
RangeResult search_range_with(const SearchPlan& plan, const QueryBlock& queries,
                              const MatrixView& matrix, float threshold, const uint8_t* allowed);
bool search_top_k_with(const SearchPlan& plan, const QueryBlock& queries, const MatrixView& matrix,
                       uint64_t k, const uint8_t* allowed, int64_t* indices, float* scores,
                       uint64_t* counts, const Progress& progress);
bool search_range_with(const SearchPlan& plan, const QueryBlock& queries, const MatrixView& matrix,
                       float threshold, const uint8_t* allowed, const Progress& progress,
                       RangeResult& result);
// search_top_k_with() of a matrix against its own rows, without a filter:
// the same results, with about half the pairs scored. Query i's score
// against row j has the bits of query j's against row i (the same products
// in the same order, divided by the same product of two norms), so the
// queries are taken in passes from the last rows back, each pass scores its
// queries against its own rows and the rows after them only, and offers each
// score of a row after them to that row's finished list too. Needs every
// query to be its row widened bit for bit and every row a finite, nonzero
// norm; otherwise it runs search_top_k_with() (and `*paired`, when given,
// says which). Progress counts rows x rows pairs, a pair scored once
// counting for two.
bool search_top_k_paired_with(const SearchPlan& plan, const QueryBlock& queries,
                              const MatrixView& matrix, uint64_t k, int64_t* indices,
                              float* scores, uint64_t* counts, const Progress& progress,
                              bool* paired = nullptr);

}  // namespace velk::engine
