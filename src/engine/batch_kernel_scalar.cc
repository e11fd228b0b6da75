#include <cmath>

#include "src/engine/batch_kernel.h"
#include "src/engine/batch_lanes.h"
#include "src/similarity/kernels.h"

namespace velk::engine {
namespace {

// One row per "register": the lanes' loops with plain binary32 values, for
// processors without the vector instruction sets.
struct Scalar {
  using Vec = float;
  static constexpr uint64_t kLanes = 1;
  static constexpr int kGroups = 4;
  static constexpr int kQueries = 3;
  static constexpr int kSingleGroups = 4;
  static constexpr bool kPipelinedHalves = false;
  static constexpr bool kLineLoads = false;

  static Vec initial() { return -0.0f; }
  static Vec load(const float* p) { return *p; }
  static void store(float* p, Vec v) { *p = v; }
  static Vec add_in_order(Vec acc, Vec x) { return similarity::add_in_order(acc, x); }
  static Vec mul_in_order(Vec a, Vec b) { return similarity::mul_in_order(a, b); }
  static Vec mul_by_element(Vec x, const float* element) { return mul_in_order(*element, x); }

  template <class Elements>
  static void load_transposed(const typename Elements::Storage* const* rows, uint64_t column,
                              uint64_t /*count*/, Vec out[1]) {
    out[0] = Elements::widen(rows[0][column]);
  }

  static Vec roots(Vec squares) { return squares > 0.0f ? std::sqrt(squares) : +0.0f; }
  static Vec finish(Vec dot, Vec root, float query_norm) {
    if (!(root > 0.0f)) return +0.0f;
    return dot / similarity::mul_in_order(root, query_norm);
  }
  static uint32_t gate(Vec score, int32_t floor_key, int32_t ceiling_key) {
    const int32_t key = similarity::ranking_key(score);
    return key >= floor_key && key <= ceiling_key ? 1 : 0;
  }
  static uint32_t gate_each(Vec score, const int32_t* floor_keys) {
    return similarity::ranking_key(score) >= floor_keys[0] ? 1 : 0;
  }
};

}  // namespace

void score_block_scalar(const BlockJob& job, TopKSet& sink) {
  lanes::score_block_for_type<Scalar>(job, sink);
}

void score_block_scalar(const BlockJob& job, RangeSet& sink) {
  lanes::score_block_for_type<Scalar>(job, sink);
}

void score_rows_scalar(const RowsJob& job, TopKSet& sink) {
  lanes::score_rows_for_type<Scalar>(job, sink);
}

void score_rows_scalar(const RowsJob& job, RangeSet& sink) {
  lanes::score_rows_for_type<Scalar>(job, sink);
}

}  // namespace velk::engine
