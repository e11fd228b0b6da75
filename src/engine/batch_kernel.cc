#include "src/engine/batch_kernel.h"

namespace velk::engine {

uint64_t tile_queries(KernelKind kind) {
  switch (kind) {
    case KernelKind::kScalar:
      return 3;
    case KernelKind::kAvx2:
      return 6;
    case KernelKind::kAvx512:
      return 12;
  }
  return 1;
}

void interleave_queries(KernelKind kind, const float* queries, uint64_t count, uint64_t dim,
                        float* out) {
  const uint64_t per_tile = tile_queries(kind);
  const uint64_t tiles = (count + per_tile - 1) / per_tile;
  for (uint64_t t = 0; t < tiles; ++t) {
    const uint64_t first = t * count / tiles;
    const uint64_t n = (t + 1) * count / tiles - first;
    float* tile = out + first * dim;
    for (uint64_t q = 0; q < n; ++q) {
      const float* query = queries + (first + q) * dim;
      for (uint64_t j = 0; j < dim; ++j) tile[j * n + q] = query[j];
    }
  }
}

namespace {

template <class Sink>
void dispatch_rows(KernelKind kind, const RowsJob& job, Sink& sink) {
  switch (kind) {
    case KernelKind::kScalar:
      score_rows_scalar(job, sink);
      return;
    case KernelKind::kAvx2:
      score_rows_avx2(job, sink);
      return;
    case KernelKind::kAvx512:
      score_rows_avx512(job, sink);
      return;
  }
}

template <class Sink>
void dispatch(KernelKind kind, const BlockJob& job, Sink& sink) {
  switch (kind) {
    case KernelKind::kScalar:
      score_block_scalar(job, sink);
      return;
    case KernelKind::kAvx2:
      score_block_avx2(job, sink);
      return;
    case KernelKind::kAvx512:
      score_block_avx512(job, sink);
      return;
  }
}

}  // namespace

void score_block(KernelKind kind, const BlockJob& job, TopKSet& sink) { dispatch(kind, job, sink); }

void score_block(KernelKind kind, const BlockJob& job, RangeSet& sink) {
  dispatch(kind, job, sink);
}

void score_rows(KernelKind kind, const RowsJob& job, TopKSet& sink) {
  dispatch_rows(kind, job, sink);
}

void score_rows(KernelKind kind, const RowsJob& job, RangeSet& sink) {
  dispatch_rows(kind, job, sink);
}

}  // namespace velk::engine
