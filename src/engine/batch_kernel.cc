#include "src/engine/batch_kernel.h"

namespace velk::engine {

void score_block(KernelKind kind, const BlockJob& job, TopKSet& sink) {
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

}  // namespace velk::engine
