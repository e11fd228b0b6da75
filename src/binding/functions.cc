#include "src/binding/functions.h"

#include "src/binding/buffer.h"
#include "src/binding/conversion.h"
#include "src/binding/entry.h"
#include "src/engine/search.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/top_k.h"

namespace velk::binding {
namespace {

using similarity::ScoredPair;
using similarity::VectorView;

constexpr const char* kPairNames[] = {"a", "b"};
constexpr const char* kListNames[] = {"query", "embeddings", "k"};
constexpr const char* kFlatNames[] = {"query", "embeddings", "dim", "k"};

VectorView view_of(const FloatVector& values) { return {values.data(), values.size()}; }

// The flat top-k through the engine's scan, which keeps each worker's best
// rows as it scores them; its scores and order are flat_top_k()'s (see
// StreamedTopK).
void engine_top_k(VectorView query, const similarity::FlatMatrixView& matrix, uint64_t kept,
                  ScoredPair* out) {
  GrowableArray<int64_t> indices;
  indices.reserve(kept);
  GrowableArray<float> scores;
  scores.reserve(kept);
  uint64_t found = 0;
  engine::search_top_k({query.data, 1},
                       {matrix.values.data, matrix.rows(), matrix.dim, engine::ElementType::kFloat32},
                       kept, /*allowed=*/nullptr, indices.data(), scores.data(), &found);
  // The query's squared norm is not zero, so every place is filled.
  if (found != kept) velk::panic("the engine filled fewer places than there are rows to keep");
  for (uint64_t i = 0; i < kept; ++i) {
    out[i] = ScoredPair{static_cast<uint64_t>(indices[i]), scores[i]};
  }
}

}  // namespace

const ArgumentSpec kCosineSimilaritySpec{"cosine_similarity", kPairNames, 2, 2};
const ArgumentSpec kTopKSpec{"top_k", kListNames, 3, 3};
const ArgumentSpec kTopKFlatSpec{"top_k_flat", kFlatNames, 4, 4};
const ArgumentSpec kTopKFlatNpSpec{"top_k_flat_np", kFlatNames, 4, 4};

Result<OwnedRef> cosine_similarity(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (Result<void> b = bind_arguments(kCosineSimilaritySpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  float score;
  {
    // The converted vectors go before the result is made.
    Result<FloatVector> a = extract_float_vector(bound[0]);
    if (!a) return argument_error("a", a.take_error());
    Result<FloatVector> b = extract_float_vector(bound[1]);
    if (!b) return argument_error("b", b.take_error());
    score = similarity::pair_cosine(view_of(*a), view_of(*b));
  }
  return float_to_python(score);
}

Result<OwnedRef> top_k(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  if (Result<void> b = bind_arguments(kTopKSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  GrowableArray<ScoredPair> pairs;
  {
    // The converted inputs go before the result list is built.
    Result<FloatVector> query = extract_float_vector(bound[0]);
    if (!query) return argument_error("query", query.take_error());
    Result<VectorList> rows = extract_vector_list(bound[1]);
    if (!rows) return argument_error("embeddings", rows.take_error());
    Result<uint64_t> k = extract_index(bound[2]);
    if (!k) return argument_error("k", k.take_error());
    pairs = similarity::top_k_rows(view_of(*query), rows->rows(), *k);
  }
  return pairs_to_python(pairs);
}

Result<OwnedRef> top_k_flat(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[4];
  if (Result<void> b = bind_arguments(kTopKFlatSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  GrowableArray<ScoredPair> pairs;
  {
    Result<FloatVector> query = extract_float_vector(bound[0]);
    if (!query) return argument_error("query", query.take_error());
    Result<FloatVector> values = extract_float_vector(bound[1]);
    if (!values) return argument_error("embeddings", values.take_error());
    Result<uint64_t> dim = extract_index(bound[2]);
    if (!dim) return argument_error("dim", dim.take_error());
    Result<uint64_t> k = extract_index(bound[3]);
    if (!k) return argument_error("k", k.take_error());
    pairs = similarity::flat_top_k(view_of(*query), {view_of(*values), *dim}, *k, &engine_top_k);
  }
  return pairs_to_python(pairs);
}

Result<OwnedRef> top_k_flat_np(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[4];
  if (Result<void> b = bind_arguments(kTopKFlatNpSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  // The counts come first, so a bad one is reported before any buffer is asked for.
  Result<uint64_t> dim = extract_index(bound[2]);
  if (!dim) return argument_error("dim", dim.take_error());
  Result<uint64_t> k = extract_index(bound[3]);
  if (!k) return argument_error("k", k.take_error());
  GrowableArray<ScoredPair> pairs;
  {
    // Buffer errors keep their own text: they are about the data, not the call.
    // The views are moved into plain locals: see FloatBuffer on releasing.
    Result<FloatBuffer> query_or = acquire_float_buffer(bound[0]);
    if (!query_or) return query_or.take_error();
    FloatBuffer query = std::move(*query_or);
    Result<FloatBuffer> values_or = acquire_float_buffer(bound[1]);
    if (!values_or) return values_or.take_error();
    FloatBuffer values = std::move(*values_or);
    // Workers read the buffers while we hold the lock, so nothing resizes them.
    pairs = similarity::flat_top_k(query.view(), {values.view(), *dim}, *k, &engine_top_k);
  }  // the embeddings view is released first, then the query's
  return pairs_to_python(pairs);
}

PyObject* cosine_similarity_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_trampoline(&cosine_similarity, self, args, nargs, kwnames);
}

PyObject* top_k_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_trampoline(&top_k, self, args, nargs, kwnames);
}

PyObject* top_k_flat_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_trampoline(&top_k_flat, self, args, nargs, kwnames);
}

PyObject* top_k_flat_np_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_trampoline(&top_k_flat_np, self, args, nargs, kwnames);
}

}  // namespace velk::binding
