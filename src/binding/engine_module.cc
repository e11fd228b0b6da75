#include "src/binding/engine_module.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>

#include "src/binding/conversion.h"
#include "src/binding/extract_argument.h"
#include "src/binding/module.h"
#include "src/binding/typed_buffer.h"
#include "src/engine/search.h"

namespace velk::binding {
namespace {

constexpr const char* kBatchNames[] = {"queries", "embeddings", "dim", "k",
                                       "indices", "scores",     "counts"};
constexpr const char* kOneNames[] = {"query", "embeddings", "dim", "k", "indices", "scores"};
const ArgumentSpec kSearchBatchSpec{"search_batch", kBatchNames, 7, 7};
const ArgumentSpec kSearchOneSpec{"search_one", kOneNames, 6, 6};

PyErr value_error(std::string message) {
  return PyErr::new_lazy(PyExc_ValueError, std::move(message));
}

// a * b, or nothing if it does not fit in 64 bits.
std::optional<uint64_t> checked_product(uint64_t a, uint64_t b) {
  uint64_t product;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

// The inputs of one call, checked against each other.
struct Inputs {
  TypedBuffer queries;
  TypedBuffer embeddings;
  uint64_t dim;
  uint64_t k;
  uint64_t query_count;
  uint64_t rows;
};

Result<Inputs> acquire_inputs(PyObject* const* bound, const char* query_name) {
  Result<uint64_t> dim = extract_index(bound[2]);
  if (!dim) return argument_error("dim", dim.take_error());
  Result<uint64_t> k = extract_index(bound[3]);
  if (!k) return argument_error("k", k.take_error());
  if (*dim == 0) return value_error("dim must be positive");
  Result<TypedBuffer> queries =
      acquire_typed_buffer(bound[0], query_name, ElementKind::kFloat32, /*writable=*/false);
  if (!queries) return queries.take_error();
  Result<TypedBuffer> embeddings =
      acquire_typed_buffer(bound[1], "embeddings", ElementKind::kFloat32, /*writable=*/false);
  if (!embeddings) return embeddings.take_error();
  if (queries->size() % *dim != 0) {
    return value_error(std::string(query_name) + " is not a whole number of rows of dim values");
  }
  if (embeddings->size() % *dim != 0) {
    return value_error("embeddings is not a whole number of rows of dim values");
  }
  uint64_t query_count = queries->size() / *dim;
  uint64_t rows = embeddings->size() / *dim;
  return Inputs{std::move(*queries), std::move(*embeddings), *dim, *k, query_count, rows};
}

Result<TypedBuffer> acquire_output(PyObject* object, const char* name, ElementKind kind,
                                   uint64_t needed) {
  Result<TypedBuffer> buffer = acquire_typed_buffer(object, name, kind, /*writable=*/true);
  if (!buffer) return buffer;
  if (buffer->size() < needed) {
    return value_error(std::string(name) + " has room for " + std::to_string(buffer->size()) +
                       " results, " + std::to_string(needed) + " are needed");
  }
  return buffer;
}

// The thread the interpreter's signal handlers run on (threading.main_thread),
// read when the module is made.
std::atomic<unsigned long> main_thread_ident{0};

// The engine's progress report on the main thread while the lock is given
// up: takes the lock for a moment to run the signal handlers, so that Ctrl-C
// stops a long call. `context` is where the handler's exception goes.
bool run_signal_handlers(void* context, uint64_t /*done*/, uint64_t /*total*/) {
  LockGuard lock = acquire_lock();
  if (PyErr_CheckSignals() == 0) return true;
  static_cast<std::optional<PyErr>*>(context)->emplace(fetch_or_missing());
  return false;
}

// Runs the engine over `inputs`, writing `k` places per query, with the lock
// given up when the work is large enough to be worth it. Touches no Python
// object while the lock is given up (the buffers stay held by the caller),
// except in the signal check between steps of a long call on the main
// thread. Returns the exception of a signal handler that stopped the call.
Result<void> run_engine(const Inputs& inputs, uint64_t k, int64_t* indices, float* scores,
                        uint64_t* counts) {
  if (inputs.query_count == 0) return {};
  if (k == 0 || inputs.rows == 0) {
    std::fill_n(counts, inputs.query_count, uint64_t{0});
    return {};
  }
  const engine::QueryBlock queries{static_cast<const float*>(inputs.queries.data()),
                                   inputs.query_count};
  const engine::MatrixView matrix{inputs.embeddings.data(), inputs.rows, inputs.dim,
                                  engine::ElementType::kFloat32};
  std::optional<uint64_t> cells = checked_product(inputs.query_count, inputs.rows);
  std::optional<uint64_t> total = cells ? checked_product(*cells, inputs.dim) : std::nullopt;
  if (total && *total < kLockReleaseWork) {
    engine::search_top_k(queries, matrix, k, /*allowed=*/nullptr, indices, scores, counts);
    return {};
  }
  std::optional<PyErr> interruption;
  engine::Progress progress;
  // relaxed: the ident was stored before the module, whose functions lead here, was published.
  if (PyThread_get_thread_ident() == main_thread_ident.load(std::memory_order_relaxed)) {
    progress = {&run_signal_handlers, &interruption};
  }
  give_up_lock_while([&] {
    engine::search_top_k_with(engine::default_plan(), queries, matrix, k, /*allowed=*/nullptr,
                              indices, scores, counts, progress);
  });
  if (interruption) return std::move(*interruption);
  return {};
}

// threading.main_thread().ident.
Result<unsigned long> find_main_thread_ident() {
  OwnedRef threading(PyImport_ImportModule("threading"));
  if (!threading) return fetch_or_missing();
  OwnedRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return fetch_or_missing();
  OwnedRef ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return fetch_or_missing();
  unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return fetch_or_missing();
  return value;
}

// Fills the places after each query's results with index -1 and score NaN.
void pad_results(uint64_t query_count, uint64_t k, const uint64_t* counts, int64_t* indices,
                 float* scores) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (uint64_t q = 0; q < query_count; ++q) {
    uint64_t found = std::min(counts[q], k);
    std::fill(indices + q * k + found, indices + (q + 1) * k, int64_t{-1});
    std::fill(scores + q * k + found, scores + (q + 1) * k, nan);
  }
}

PyObject* search_batch_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return call_trampoline(&search_batch, self, args, nargs, kwnames);
}

PyObject* search_one_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_trampoline(&search_one, self, args, nargs, kwnames);
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

constexpr FunctionDefinition kEngineFunctions[] = {
    {"search_batch", &search_batch_entry, kFastcallKeywords,
     "search_batch(queries, embeddings, dim, k, indices, scores, counts)\n--\n\n"
     "Writes the top k rows of embeddings for every row of queries into indices,\n"
     "scores and counts, padded with -1 and NaN."},
    {"search_one", &search_one_entry, kFastcallKeywords,
     "search_one(query, embeddings, dim, k, indices, scores)\n--\n\n"
     "Writes the top k rows of embeddings for one query into indices and scores;\n"
     "returns how many there are."},
};

PyModuleDef engine_definition = {
    PyModuleDef_HEAD_INIT,
    "velk._engine",
    "The batched search engine behind velk.search and velk.search_many.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to initialise the module; -1 until then.
std::atomic<int64_t> owner_interpreter{-1};
// Strong reference to the module, kept for the life of the process.
std::atomic<PyObject*> module_cache{nullptr};

}  // namespace

Result<OwnedRef> search_batch(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[7];
  if (Result<void> b = bind_arguments(kSearchBatchSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  Result<Inputs> inputs = acquire_inputs(bound, "queries");
  if (!inputs) return inputs.take_error();
  std::optional<uint64_t> places = checked_product(inputs->query_count, inputs->k);
  if (!places) return value_error("queries x k does not fit in 64 bits");
  Result<TypedBuffer> indices = acquire_output(bound[4], "indices", ElementKind::kInt64, *places);
  if (!indices) return indices.take_error();
  Result<TypedBuffer> scores = acquire_output(bound[5], "scores", ElementKind::kFloat32, *places);
  if (!scores) return scores.take_error();
  Result<TypedBuffer> counts =
      acquire_output(bound[6], "counts", ElementKind::kUInt64, inputs->query_count);
  if (!counts) return counts.take_error();
  auto* index_out = static_cast<int64_t*>(indices->data());
  auto* score_out = static_cast<float*>(scores->data());
  auto* count_out = static_cast<uint64_t*>(counts->data());
  if (Result<void> ran = run_engine(*inputs, inputs->k, index_out, score_out, count_out); !ran) {
    return ran.take_error();
  }
  pad_results(inputs->query_count, inputs->k, count_out, index_out, score_out);
  return OwnedRef::from_borrowed(Py_None);
}

Result<OwnedRef> search_one(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[6];
  if (Result<void> b = bind_arguments(kSearchOneSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  Result<Inputs> inputs = acquire_inputs(bound, "query");
  if (!inputs) return inputs.take_error();
  if (inputs->query_count != 1) return value_error("query must hold exactly dim values");
  // Asking for more than there are rows finds the same rows.
  uint64_t k = std::min(inputs->k, inputs->rows);
  Result<TypedBuffer> indices = acquire_output(bound[4], "indices", ElementKind::kInt64, k);
  if (!indices) return indices.take_error();
  Result<TypedBuffer> scores = acquire_output(bound[5], "scores", ElementKind::kFloat32, k);
  if (!scores) return scores.take_error();
  uint64_t found = 0;
  Result<void> ran = run_engine(*inputs, k, static_cast<int64_t*>(indices->data()),
                                static_cast<float*>(scores->data()), &found);
  if (!ran) return ran.take_error();
  OwnedRef count(PyLong_FromUnsignedLongLong(found));
  if (!count) api_call_failed();
  return count;
}

Result<OwnedRef> make_engine_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return fetch_or_missing();
  // The main interpreter only, as _velk: a subinterpreter that came first
  // must not lock the main one out.
  if (interpreter != PyInterpreterState_Main()) {
    return PyErr::new_lazy(PyExc_ImportError,
                           "velk._engine can be imported into the main interpreter only, "
                           "see docs/guide.md#subinterpreters");
  }
  int64_t owner = -1;
  // acq_rel: orders this claim with the module cache filled by the owner.
  if (!owner_interpreter.compare_exchange_strong(owner, id, std::memory_order_acq_rel,
                                                 std::memory_order_acquire) &&
      owner != id) {
    return PyErr::new_lazy(PyExc_ImportError,
                           "velk._engine can be imported into the main interpreter only, "
                           "see docs/guide.md#subinterpreters");
  }
  // acquire: the cached module was fully initialised before it was stored.
  if (PyObject* cached = module_cache.load(std::memory_order_acquire)) {
    return OwnedRef::from_borrowed(cached);
  }
  Result<unsigned long> main_ident = find_main_thread_ident();
  if (!main_ident) return main_ident.take_error();
  // relaxed: published with the module below.
  main_thread_ident.store(*main_ident, std::memory_order_relaxed);
  OwnedRef module(PyModule_Create2(&engine_definition, PYTHON_API_VERSION));
  if (!module) return fetch_or_missing();
  for (const FunctionDefinition& definition : kEngineFunctions) {
    if (Result<void> added = add_function(module.get(), definition); !added) {
      return added.take_error();
    }
  }
  if (PyModule_AddIntConstant(module.get(), "LOCK_RELEASE_WORK",
                              static_cast<long>(kLockReleaseWork)) == -1) {
    return fetch_or_missing();
  }
  PyObject* expected = nullptr;
  // acq_rel publishes the initialised module; on failure, acquire sees the first one.
  if (module_cache.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    return OwnedRef::from_borrowed(module.release());
  }
  return OwnedRef::from_borrowed(expected);
}

}  // namespace velk::binding
