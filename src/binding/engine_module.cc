#include "src/binding/engine_module.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>

#include "src/binding/conversion.h"
#include "src/binding/entry.h"
#include "src/binding/extract_argument.h"
#include "src/binding/module.h"
#include "src/binding/typed_buffer.h"
#include "src/engine/search.h"
#include "src/runtime/alloc.h"

namespace velk::binding {
namespace {

constexpr const char* kBatchNames[] = {"queries",      "embeddings", "dim",      "k",
                                       "indices",      "scores",     "counts",   "element_type",
                                       "allowed",      "progress",   "paired"};
constexpr const char* kOneNames[] = {"query",   "embeddings", "dim",          "k",
                                     "indices", "scores",     "element_type", "allowed"};
constexpr const char* kRangeNames[] = {"queries",      "embeddings", "dim",     "threshold",
                                       "element_type", "allowed",    "progress"};
// element_type, allowed, progress and paired are keyword-only.
const ArgumentSpec kSearchBatchSpec{"search_batch", kBatchNames, std::size(kBatchNames), 7, 7};
const ArgumentSpec kSearchOneSpec{"search_one", kOneNames, std::size(kOneNames), 6, 6};
const ArgumentSpec kSearchRangeSpec{"search_range", kRangeNames, std::size(kRangeNames), 4, 4};

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
  std::optional<TypedBuffer> allowed;
  engine::ElementType type;
  uint64_t dim;
  uint64_t query_count;
  uint64_t rows;

  engine::QueryBlock query_block() const {
    return {static_cast<const float*>(queries.data()), query_count};
  }
  engine::MatrixView matrix() const { return {embeddings.data(), rows, dim, type}; }
  const uint8_t* allowed_rows() const {
    return allowed ? static_cast<const uint8_t*>(allowed->data()) : nullptr;
  }
};

// The arguments that make up Inputs; element_type and allowed may be null
// (not given).
struct InputArguments {
  PyObject* queries;
  PyObject* embeddings;
  PyObject* dim;
  PyObject* element_type;
  PyObject* allowed;
};

// element_type: 0 float32, 1 float16, 2 bfloat16 (the 2-byte types as the
// bits in a uint16 buffer).
Result<engine::ElementType> extract_element_type(PyObject* object) {
  if (object == nullptr) return engine::ElementType::kFloat32;
  Result<uint64_t> code = extract_index(object);
  if (!code) return argument_error("element_type", code.take_error());
  switch (*code) {
    case 0:
      return engine::ElementType::kFloat32;
    case 1:
      return engine::ElementType::kFloat16;
    case 2:
      return engine::ElementType::kBFloat16;
    default:
      return value_error("element_type must be 0 (float32), 1 (float16) or 2 (bfloat16)");
  }
}

Result<Inputs> acquire_inputs(const InputArguments& arguments, const char* query_name) {
  Result<uint64_t> dim = extract_index(arguments.dim);
  if (!dim) return argument_error("dim", dim.take_error());
  if (*dim == 0) return value_error("dim must be positive");
  Result<engine::ElementType> type = extract_element_type(arguments.element_type);
  if (!type) return type.take_error();
  Result<TypedBuffer> queries = acquire_typed_buffer(arguments.queries, query_name,
                                                     ElementKind::kFloat32, /*writable=*/false);
  if (!queries) return queries.take_error();
  const ElementKind stored =
      *type == engine::ElementType::kFloat32 ? ElementKind::kFloat32 : ElementKind::kUInt16;
  Result<TypedBuffer> embeddings =
      acquire_typed_buffer(arguments.embeddings, "embeddings", stored, /*writable=*/false);
  if (!embeddings) return embeddings.take_error();
  if (queries->size() % *dim != 0) {
    return value_error(std::string(query_name) + " is not a whole number of rows of dim values");
  }
  if (embeddings->size() % *dim != 0) {
    return value_error("embeddings is not a whole number of rows of dim values");
  }
  uint64_t query_count = queries->size() / *dim;
  uint64_t rows = embeddings->size() / *dim;
  std::optional<TypedBuffer> allowed;
  if (arguments.allowed != nullptr && arguments.allowed != Py_None) {
    Result<TypedBuffer> mask =
        acquire_typed_buffer(arguments.allowed, "allowed", ElementKind::kBool, /*writable=*/false);
    if (!mask) return mask.take_error();
    if (mask->size() != rows) {
      return value_error("allowed has " + std::to_string(mask->size()) + " entries for " +
                         std::to_string(rows) + " rows");
    }
    allowed.emplace(std::move(*mask));
  }
  return Inputs{std::move(*queries),
                std::move(*embeddings),
                std::move(allowed),
                *type,
                *dim,
                query_count,
                rows};
}

// Runs work(unlocked) with the lock given up (unlocked = true) when the
// scoring work of `inputs` is large enough to be worth it.
template <class Work>
void run_maybe_unlocked(const Inputs& inputs, Work&& work) {
  std::optional<uint64_t> cells = checked_product(inputs.query_count, inputs.rows);
  std::optional<uint64_t> total = cells ? checked_product(*cells, inputs.dim) : std::nullopt;
  if (total && *total < kLockReleaseWork) {
    work(/*unlocked=*/false);
  } else {
    give_up_lock_while([&] { work(/*unlocked=*/true); });
  }
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

// The engine's progress report for one call. On the main thread it takes the
// lock for a moment between steps of work to run the signal handlers, so
// that Ctrl-C stops a long call with KeyboardInterrupt although the lock is
// given up. With a `progress` argument other than None it also calls
// progress(done, total) there, on any thread. The exception of either stops
// the call after the step under way.
class ProgressReport {
 public:
  explicit ProgressReport(PyObject* callback)
      : callback_(callback == Py_None ? nullptr : callback),
        // relaxed: the ident was stored before the module, whose functions lead here, was
        // published.
        on_main_thread_(PyThread_get_thread_ident() ==
                        main_thread_ident.load(std::memory_order_relaxed)) {}
  ProgressReport(const ProgressReport&) = delete;
  ProgressReport& operator=(const ProgressReport&) = delete;

  // Whether the engine should report at all: for the callback, or for the
  // signal handlers while the lock is given up (with the lock held, the
  // interpreter runs them itself once the call returns).
  bool wanted(bool unlocked) const { return callback_ != nullptr || (unlocked && on_main_thread_); }
  engine::Progress progress() { return {&ProgressReport::report, this}; }
  // The exception that stopped the call.
  PyErr take_failure() {
    if (!failure_) return PyErr::new_lazy(PyExc_SystemError, "the search stopped without an error");
    PyErr failure = std::move(*failure_);
    failure_.reset();
    return failure;
  }

 private:
  static bool report(void* context, uint64_t done, uint64_t total) {
    // Once the interpreter has begun to shut down, a call gets here only on
    // a daemon thread (or in a finalizer on the main thread): no Python code
    // may run, and the lock may not be taken here. The call goes on without
    // reports, as a call without them would; a daemon thread is parked or
    // ended when it takes the lock back at the call's end.
    if (Py_IsInitialized() == 0) return true;
    auto* self = static_cast<ProgressReport*>(context);
    LockGuard lock = acquire_lock();
    if (self->on_main_thread_ && PyErr_CheckSignals() == -1) {
      self->failure_.emplace(fetch_or_missing());
      return false;
    }
    if (self->callback_ == nullptr) return true;
    OwnedRef result(PyObject_CallFunction(self->callback_, "KK",
                                          static_cast<unsigned long long>(done),
                                          static_cast<unsigned long long>(total)));
    if (!result) {
      self->failure_.emplace(fetch_or_missing());
      return false;
    }
    return true;
  }

  PyObject* callback_;
  bool on_main_thread_;
  std::optional<PyErr> failure_;
};

// Runs the engine over `inputs`, writing `k` places per query, with the lock
// given up when the work is large enough to be worth it. Touches no Python
// object while the lock is given up (the buffers stay held by the caller),
// except in `report` between steps, with the lock taken back. Returns false
// if the report stopped the call.
bool run_engine(const Inputs& inputs, uint64_t k, int64_t* indices, float* scores, uint64_t* counts,
                ProgressReport& report, bool paired = false) {
  bool finished = true;
  run_maybe_unlocked(inputs, [&](bool unlocked) {
    if (inputs.query_count == 0) return;
    if (k == 0 || inputs.rows == 0) {
      std::fill_n(counts, inputs.query_count, uint64_t{0});
      return;
    }
    if (paired && inputs.allowed_rows() == nullptr) {
      finished = engine::search_top_k_paired_with(
          engine::default_plan(), inputs.query_block(), inputs.matrix(), k, indices, scores,
          counts, report.wanted(unlocked) ? report.progress() : engine::Progress{});
      return;
    }
    if (!report.wanted(unlocked)) {
      engine::search_top_k(inputs.query_block(), inputs.matrix(), k, inputs.allowed_rows(), indices,
                           scores, counts);
      return;
    }
    finished = engine::search_top_k_with(engine::default_plan(), inputs.query_block(),
                                         inputs.matrix(), k, inputs.allowed_rows(), indices, scores,
                                         counts, report.progress());
  });
  return finished;
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

// The smallest float32 at or above `threshold` (a double, not NaN): a float32
// score passes `score >= ` it exactly when it passes `score >= threshold` as
// real numbers. The narrowing alone would round a threshold between two
// float32s down half of the time and keep scores below it; in every rounding
// mode, stepping up once from a result below the threshold gives the bound.
float float32_at_or_above(double threshold) {
  float narrow = static_cast<float>(threshold);
  if (static_cast<double>(narrow) < threshold) {
    narrow = std::nextafter(narrow, std::numeric_limits<float>::infinity());
  }
  return narrow;
}

// A bytearray holding a copy of `values`; null with the interpreter's error
// set if it cannot be made.
template <class T>
OwnedRef bytes_of(const GrowableArray<T>& values) {
  return OwnedRef(
      PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                    static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

PyObject* search_range_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return call_trampoline(&search_range, self, args, nargs, kwnames);
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

PyMethodDef engine_methods[] = {
    {"search_batch", as_method(&search_batch_entry), kFastcallKeywords,
     "search_batch(queries, embeddings, dim, k, indices, scores, counts, *, element_type=0,\n"
     "             allowed=None, progress=None, paired=False)\n--\n\n"
     "Writes the top k rows of embeddings for every row of queries into indices,\n"
     "scores and counts, padded with -1 and NaN. paired=True: the queries are the\n"
     "rows of embeddings, and each pair of rows is scored once."},
    {"search_one", as_method(&search_one_entry), kFastcallKeywords,
     "search_one(query, embeddings, dim, k, indices, scores, *, element_type=0,\n"
     "           allowed=None)\n--\n\n"
     "Writes the top k rows of embeddings for one query into indices and scores;\n"
     "returns how many there are."},
    {"search_range", as_method(&search_range_entry), kFastcallKeywords,
     "search_range(queries, embeddings, dim, threshold, *, element_type=0, allowed=None,\n"
     "             progress=None)\n--\n\n"
     "Every row of embeddings whose score is at least threshold, for every row of\n"
     "queries: (lims, indices, scores) as bytearrays of uint64, int64 and float32."},
    {nullptr, nullptr, 0, nullptr},
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
  PyObject* bound[std::size(kBatchNames)];
  if (Result<void> b = bind_arguments(kSearchBatchSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  Result<uint64_t> k = extract_index(bound[3]);
  if (!k) return argument_error("k", k.take_error());
  Result<Inputs> inputs =
      acquire_inputs({bound[0], bound[1], bound[2], bound[7], bound[8]}, "queries");
  if (!inputs) return inputs.take_error();
  std::optional<uint64_t> places = checked_product(inputs->query_count, *k);
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
  // paired: the queries are the embeddings' own rows (widened), and each
  // pair is scored once where the engine finds that they are.
  bool paired = false;
  if (bound[10] != nullptr) {
    const int truth = PyObject_IsTrue(bound[10]);
    if (truth == -1) return fetch_or_missing();
    paired = truth == 1;
  }
  ProgressReport report(bound[9]);
  if (!run_engine(*inputs, *k, index_out, score_out, count_out, report, paired)) {
    return report.take_failure();
  }
  pad_results(inputs->query_count, *k, count_out, index_out, score_out);
  return OwnedRef::from_borrowed(Py_None);
}

Result<OwnedRef> search_one(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[std::size(kOneNames)];
  if (Result<void> b = bind_arguments(kSearchOneSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  Result<uint64_t> wanted = extract_index(bound[3]);
  if (!wanted) return argument_error("k", wanted.take_error());
  Result<Inputs> inputs =
      acquire_inputs({bound[0], bound[1], bound[2], bound[6], bound[7]}, "query");
  if (!inputs) return inputs.take_error();
  if (inputs->query_count != 1) return value_error("query must hold exactly dim values");
  // Asking for more than there are rows finds the same rows.
  uint64_t k = std::min(*wanted, inputs->rows);
  Result<TypedBuffer> indices = acquire_output(bound[4], "indices", ElementKind::kInt64, k);
  if (!indices) return indices.take_error();
  Result<TypedBuffer> scores = acquire_output(bound[5], "scores", ElementKind::kFloat32, k);
  if (!scores) return scores.take_error();
  uint64_t found = 0;
  ProgressReport report(nullptr);
  if (!run_engine(*inputs, k, static_cast<int64_t*>(indices->data()),
                  static_cast<float*>(scores->data()), &found, report)) {
    return report.take_failure();
  }
  OwnedRef count(PyLong_FromUnsignedLongLong(found));
  if (!count) api_call_failed();
  return count;
}

Result<OwnedRef> search_range(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[std::size(kRangeNames)];
  if (Result<void> b = bind_arguments(kSearchRangeSpec, args, nargs, kwnames, bound); !b) {
    return b.take_error();
  }
  const double threshold = PyFloat_AsDouble(bound[3]);
  if (threshold == -1.0 && PyErr_Occurred()) {
    return argument_error("threshold", fetch_or_missing());
  }
  if (std::isnan(threshold)) return value_error("threshold must not be NaN");
  const float lowest = float32_at_or_above(threshold);
  Result<Inputs> inputs =
      acquire_inputs({bound[0], bound[1], bound[2], bound[4], bound[5]}, "queries");
  if (!inputs) return inputs.take_error();
  engine::RangeResult found;
  ProgressReport report(bound[6]);
  bool finished = true;
  run_maybe_unlocked(*inputs, [&](bool unlocked) {
    if (inputs->rows == 0 || inputs->query_count == 0) {
      // Nothing to score: every query's range is empty.
      found.lims.reserve(inputs->query_count + 1);
      for (uint64_t q = 0; q <= inputs->query_count; ++q) found.lims.push_back(0);
      return;
    }
    if (!report.wanted(unlocked)) {
      found = engine::search_range(inputs->query_block(), inputs->matrix(), lowest,
                                   inputs->allowed_rows());
      return;
    }
    finished =
        engine::search_range_with(engine::default_plan(), inputs->query_block(), inputs->matrix(),
                                  lowest, inputs->allowed_rows(), report.progress(), found);
  });
  if (!finished) return report.take_failure();
  OwnedRef lims = bytes_of(found.lims);
  if (!lims) return fetch_or_missing();
  OwnedRef indices = bytes_of(found.indices);
  if (!indices) return fetch_or_missing();
  OwnedRef scores = bytes_of(found.scores);
  if (!scores) return fetch_or_missing();
  OwnedRef result(PyTuple_Pack(3, lims.get(), indices.get(), scores.get()));
  if (!result) return fetch_or_missing();
  return result;
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
  for (PyMethodDef* method = engine_methods; method->ml_name != nullptr; ++method) {
    if (Result<void> added = add_function(module.get(), *method); !added) {
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
