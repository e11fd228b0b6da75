#include "src/engine/search.h"

#include <immintrin.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "src/engine/batch_kernel.h"
#include "src/engine/elements.h"
#include "src/engine/range_set.h"
#include "src/engine/top_k_set.h"
#include "src/pool/join.h"
#include "src/pool/registry.h"
#include "src/pool/worker.h"
#include "src/runtime/alloc.h"
#include "src/runtime/cache_line.h"
#include "src/runtime/fp_environment.h"
#include "src/runtime/panic.h"
#include "src/similarity/kernels.h"
#include "src/similarity/row_scorer.h"

namespace velk::engine {
namespace {

// Rows packed together by the batch kernel, unless the plan says otherwise:
// as many as keep the packed block (widened to binary32) within about half
// of a 2 MB second-level cache, where the micro-kernel reads it once per tile
// of queries, and no more than 256.
constexpr uint64_t kMaxDefaultBlockRows = 256;
constexpr uint64_t kPackedBlockBytes = 512 * 1024;
constexpr uint64_t kBlockRowsStep = 32;

// The one-query path scores this many rows per call of the row kernel (and
// counts a filter's allowed rows per stretch of as many): long enough that
// the kernel's requests for rows ahead, which stop at the end of each call,
// leave few rows unrequested. Rows of kStretchMaxRowBytes or more come
// fewer to a call (see pair_chunk_rows_for()).
constexpr uint64_t kPairChunkRows = 4096;
constexpr uint64_t kPairChunkBytes = 6 << 20;
// Chunks per unit of work of the one-query path, as the pool splits it.
constexpr uint64_t kSingleUnitChunks = 4;

// Below this many multiply-add pairs a call runs on the calling thread: waking
// the pool costs 50 to 70 microseconds, which this much work takes alone.
constexpr uint64_t kDefaultInlinePairs = uint64_t{1} << 21;

// From this many multiply-add pairs up to the inline limit, a call on the
// calling thread shares its rows with a worker of the pool (see
// Search::scan_shared()): a worker still awake from earlier work joins in at
// once, and otherwise the caller does them all, having lost only the offer.
constexpr uint64_t kSharedPairs = uint64_t{1} << 16;
// The fewest rows of each stretch that the two threads take in turn.
constexpr uint64_t kSharedStretchRows = 32;

// Queries per pass over the matrix: as many as keep each worker's candidate
// buffers within this many bytes, and no more than the most queries a pass
// takes (their interleaved copy is a pass's only memory that grows with
// them).
constexpr uint64_t kCandidateBytesPerWorker = 16 << 20;
constexpr uint64_t kMaxPassQueries = 4096;

// With a progress report, a pass runs in steps of about this many
// multiply-add pairs (some tens of milliseconds): the report comes that
// often, and each step costs one wake-up of the pool.
constexpr uint64_t kStepPairs = uint64_t{1} << 32;

// A threshold search's found rows are sorted on the pool from this many on
// (sorting them costs some tens of nanoseconds each, waking the pool 50 to 70
// microseconds), in pieces of at least a quarter as many.
constexpr uint64_t kDefaultPoolSortRows = 4096;

uint64_t round_up(uint64_t n, uint64_t step) { return (n + step - 1) / step * step; }

uint64_t element_bytes(ElementType type) { return type == ElementType::kFloat32 ? 4 : 2; }

// The rows of a call of the one-query path's row kernel: kPairChunkRows, or
// for rows of kStretchMaxRowBytes or more (read in consecutive groups, not
// in stretches), kPairChunkBytes of them in whole groups of lanes, and at
// least four groups. The pool splits a call into units of kSingleUnitChunks
// calls: in units of 16,384 rows, 24,414 rows of 3,072 float32 values came in
// two, of 16,384 and 8,030 rows, and one thread read two thirds of the matrix
// alone. In 12 units, on a 2-core AMD EPYC from memory, the call ran at
// 25-34 GB/s against 24-27 in four interleaved runs.
uint64_t pair_chunk_rows_for(const MatrixView& matrix) {
  const uint64_t row_bytes = matrix.dim * element_bytes(matrix.type);
  if (row_bytes < kStretchMaxRowBytes) return kPairChunkRows;
  const uint64_t rows = kPairChunkBytes / row_bytes / kMaxLanes * kMaxLanes;
  return std::clamp<uint64_t>(rows, 4 * kMaxLanes, kPairChunkRows);
}

uint64_t block_rows_for(const SearchPlan& plan, uint64_t dim) {
  if (plan.block_rows != 0) return round_up(plan.block_rows, kBlockRowsStep);
  const uint64_t fit = kPackedBlockBytes / (dim * sizeof(float)) / kBlockRowsStep * kBlockRowsStep;
  return std::clamp<uint64_t>(fit, kBlockRowsStep, kMaxDefaultBlockRows);
}

// 64-byte aligned floats out of a GrowableArray (which aligns to 16).
float* aligned_floats(GrowableArray<float>& storage, uint64_t count) {
  storage.clear();
  storage.reserve(array_bytes(count, sizeof(float)) / sizeof(float) + 16);
  auto address = reinterpret_cast<uintptr_t>(storage.data());
  return reinterpret_cast<float*>((address + 63) / 64 * 64);
}

// What one worker keeps for the whole call: its candidate buffers (a Sink:
// TopKSet or RangeSet) and the kernels' working memory. Used by that worker
// alone while the scan runs, and apart from its neighbours in the array:
// each worker writes its own (a row count for every row it collects, a
// buffer size for every row it keeps) while the others read theirs.
template <class Sink>
struct alignas(kCacheLinePair) WorkerState {
  // The pass its buffers belong to (+1; 0 for none yet).
  uint64_t pass = 0;
  Sink set;
  bool has_scratch = false;
  BlockScratch scratch;
  GrowableArray<float> packed;
  GrowableArray<float> roots;
  GrowableArray<uint64_t> rows;
};

// How a pass's buffers start: `queries` queries keeping the k best (with k
// clamped to the rows) or the keys of a range.
inline void reset_sink(TopKSet& set, uint64_t queries, uint64_t k, KeyRange) {
  set.reset(queries, k);
}
inline void reset_sink(RangeSet& set, uint64_t queries, uint64_t, KeyRange range) {
  set.reset(queries, range);
}

// The two-way split of work over the pool, as the parallel map does it: a
// piece that may still split `splits` times halves that budget; a piece that
// was stolen (migrated) splits again with at least `threads` to spare.
// Returns whether the piece splits, updating `splits` for its halves.
bool take_split(uint64_t& splits, bool migrated, uint64_t threads) {
  if (migrated) {
    splits = std::max<uint64_t>(threads, splits / 2);
    return true;
  }
  if (splits == 0) return false;
  splits /= 2;
  return true;
}

// The rows of a call on the calling thread, shared with one pool worker: the
// caller hands the record to the pool, then takes stretches of rows from the
// front while the worker takes them from the back, until they meet; so a
// worker that comes late or runs slower simply takes fewer, and back-to-back
// calls over one matrix find each thread's rows mostly in its own cache. The
// record is on the heap, held by the caller and by whichever of the pool's
// queue and open_offer (below) it went to, because the queue may hand it to
// a worker long after the caller finished every row and returned.
struct SharedRows;

// The record of the call that offers its rows now, for a worker that lingers
// after sharing an earlier call's (see SharedRows::linger()): whoever swaps
// it out (that worker, or the caller once its rows are done) takes over the
// holder it stands for.
std::atomic<SharedRows*> open_offer{nullptr};
// Workers lingering now.
std::atomic<uint32_t> lingering_workers{0};

// A child made by fork() has none of the parent's workers nor its calls: with
// a worker still counted as lingering, its calls would offer their rows only
// to that worker, which never comes, and never wake one.
void forget_open_offer_in_child() {
  open_offer.store(nullptr, std::memory_order_relaxed);
  lingering_workers.store(0, std::memory_order_relaxed);
}
[[maybe_unused]] const bool open_offer_fork_handler =
    pthread_atfork(nullptr, nullptr, &forget_open_offer_in_child) == 0;

// How long a worker that has shared a call's rows waits for the next call
// before it goes back to the pool. Back-to-back calls of a few microseconds
// each otherwise find the worker asleep, since it sleeps after 32 rounds of
// yielding the processor (some microseconds) and waking it takes longer than
// such a call: 1,000 x 128 then took 15-17 us instead of 10-11.
constexpr auto kLinger = std::chrono::microseconds(50);

struct SharedRows {
  enum : uint32_t { kOffered, kTakenByWorker, kDone, kKeptByCaller };

  std::atomic<uint32_t> state{kOffered};
  std::atomic<uint32_t> holders{1};
  // Whether open_offer may still hold this record (the caller's to change).
  bool published = false;
  // Stretches [front, back) are still to be taken: front in the high 32
  // bits, back in the low ones.
  std::atomic<uint64_t> untaken{0};
  uint64_t first_row = 0;
  uint64_t last_row = 0;
  uint64_t stretch = 0;
  // Runs rows [first, last) on the worker; set by the caller before the offer.
  void (*run)(void* search, uint64_t first, uint64_t last) = nullptr;
  void* search = nullptr;
  // A failure of the worker's rows, raised again on the caller.
  std::exception_ptr failure;

  // Takes the next stretch from the front (the caller) or the back (the
  // worker): its rows, or first == last when none are left.
  std::pair<uint64_t, uint64_t> take(bool from_front) noexcept {
    uint64_t seen = untaken.load(std::memory_order_relaxed);
    for (;;) {
      const uint64_t front = seen >> 32;
      const uint64_t back = seen & 0xFFFFFFFFu;
      if (front >= back) return {0, 0};
      const uint64_t taken = from_front ? front : back - 1;
      const uint64_t rest = from_front ? ((front + 1) << 32) | back : (front << 32) | (back - 1);
      if (untaken.compare_exchange_weak(seen, rest, std::memory_order_relaxed)) {
        const uint64_t first = first_row + taken * stretch;
        return {first, std::min(last_row, first + stretch)};
      }
    }
  }

  void release() noexcept {
    if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // The pool's execute entry: runs the record (see run_on_worker()), then
  // lingers for the next call's.
  static void execute(void* data) {
    pool::AbortOnEscape guard;
    auto* rows = static_cast<SharedRows*>(data);
    // Lingers unless another worker ran the record (and lingers itself), or
    // a fork of this worker's own waits for the job to end.
    const uint32_t seen = rows->run_on_worker();
    rows->release();
    if ((seen == kOffered || seen == kKeptByCaller) && !pool::in_nested_wait()) linger();
    guard.disarm();
  }

  // On a worker: takes stretches from the back if it takes the record before
  // the caller keeps it. Touches the search only then, and not after marking
  // the record done (the caller may return at once). Returns the state it
  // found: kOffered if it ran the record.
  uint32_t run_on_worker() noexcept {
    uint32_t offered = kOffered;
    if (!state.compare_exchange_strong(offered, kTakenByWorker, std::memory_order_acq_rel)) {
      return offered;
    }
    try {
      for (auto [first, last] = take(false); first < last; std::tie(first, last) = take(false)) {
        run(search, first, last);
      }
    } catch (...) {
      note_panic_caught();
      failure = std::current_exception();
    }
    state.store(kDone, std::memory_order_release);
    return kOffered;
  }

  // On a worker: for kLinger after the last record it saw, runs the records
  // that callers publish in open_offer, before the pool hands them over.
  // Goes back as soon as other jobs wait in the pool (a large call handed
  // in, or its pieces): a stream of small calls would otherwise keep the
  // worker from them, and the large call would run with one worker fewer.
  // With one thread making back-to-back calls over 1,000 x 128 while another
  // made batches over 200,000 x 128, the batches took 2-10% less time and the
  // small calls ran 6-22% more often; the small calls alone took the same.
  static void linger() noexcept {
    pool::WorkerThread* worker = pool::current_worker();
    if (worker == nullptr) return;
    lingering_workers.fetch_add(1, std::memory_order_acq_rel);
    auto deadline = std::chrono::steady_clock::now() + kLinger;
    for (uint32_t spins = 1;; ++spins) {
      SharedRows* rows = open_offer.load(std::memory_order_acquire);
      if (rows != nullptr &&
          open_offer.compare_exchange_strong(rows, nullptr, std::memory_order_acq_rel)) {
        rows->run_on_worker();
        rows->release();
        deadline = std::chrono::steady_clock::now() + kLinger;
        continue;
      }
      _mm_pause();
      if (spins % 64 == 0 &&
          (std::chrono::steady_clock::now() >= deadline || pool::jobs_waiting(*worker))) {
        break;
      }
    }
    lingering_workers.fetch_sub(1, std::memory_order_acq_rel);
  }

  // On the caller: takes the record out of open_offer unless a worker did,
  // and drops the holder that stood for it. Only once.
  void unpublish() noexcept {
    if (!published) return;
    published = false;
    SharedRows* expected = this;
    if (open_offer.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
      release();
    }
  }

  // On the caller, once it has no rows left to take (or fails): keeps the
  // record if no worker took it, else waits for the worker to finish the
  // stretch it runs. Settling again does nothing.
  void settle() noexcept {
    unpublish();
    for (uint64_t spins = 0;; ++spins) {
      uint32_t seen = state.load(std::memory_order_acquire);
      if (seen == kDone || seen == kKeptByCaller) return;
      if (seen == kOffered &&
          state.compare_exchange_strong(seen, kKeptByCaller, std::memory_order_acq_rel)) {
        return;
      }
      // A worker runs a stretch of a small call: spin, and give the
      // processor up only if the worker seems to have lost its own.
      if (spins < (uint64_t{1} << 12)) {
        _mm_pause();
      } else {
        sched_yield();
      }
    }
  }
};

// One call: the inputs, the current pass of queries, and each worker's state.
template <class Sink>
class Search {
 public:
  Search(const SearchPlan& plan, const MatrixView& matrix, uint64_t k, KeyRange range,
         const uint8_t* allowed)
      : plan_(plan),
        matrix_(matrix),
        k_(k),
        range_(range),
        allowed_(allowed),
        block_rows_(block_rows_for(plan, matrix.dim)),
        // A plan's block size sets the one-query path's chunks too (so that
        // tests reach its splits with few rows).
        pair_chunk_rows_(plan.block_rows != 0 ? block_rows_ : pair_chunk_rows_for(matrix)) {}

  // Starts a pass over queries [0, count) of `queries` (norms[q] their
  // norms, 0 for a query that gets no rows): empties the workers' buffers
  // (as each worker next takes work).
  void begin_pass(const float* queries, const float* norms, uint64_t count) {
    pass_queries_ = queries;
    // The batch kernel reads the queries interleaved by tiles; one copy for
    // every worker.
    interleaved_.clear();
    interleaved_.reserve(array_bytes(count, array_bytes(matrix_.dim, sizeof(float))) /
                         sizeof(float));
    interleave_queries(plan_.kernel, queries, count, matrix_.dim, interleaved_.data());
    interleaved_.set_size(count * matrix_.dim);
    pass_norms_ = norms;
    pass_count_ = count;
    ++pass_;
    single_ = count == 1;
    unit_rows_ = single_ ? kSingleUnitChunks * pair_chunk_rows_ : block_rows_;
  }

  // The pass's rows come in units of this many (the last one shorter).
  uint64_t unit_rows() const { return unit_rows_; }
  uint64_t units() const { return (matrix_.rows - first_row_ + unit_rows_ - 1) / unit_rows_; }
  // The rows of units [first, last).
  uint64_t unit_start(uint64_t unit) const {
    return std::min(matrix_.rows, first_row_ + unit * unit_rows_);
  }

  // The passes from now on score rows [first_row, rows) only (by default
  // all), and with `paired`, offer the scores to the rows' own lists too
  // (see PairedLists).
  void restrict_rows(uint64_t first_row, PairedLists* paired) {
    first_row_ = first_row;
    paired_ = paired;
  }

  // Scores the pass's queries over units [first, last) of rows, on the
  // calling thread alone or on the pool.
  void scan(uint64_t first, uint64_t last, bool inline_run) {
    if (inline_run) {
      if (workers_.empty()) workers_.resize(1);
      const uint64_t first_row = unit_start(first);
      const uint64_t last_row = unit_start(last);
      if (!scan_shared(first_row, last_row)) run_rows(workers_[0], first_row, last_row);
      return;
    }
    pool::run_in_pool([&](pool::WorkerThread& worker, bool injected) {
      const uint64_t threads = worker.pool().thread_count();
      if (workers_.size() < threads) workers_.resize(threads);
      scan_units(first, last, threads, injected);
      return 0;
    });
  }

  // The buffers the workers filled in this pass.
  std::vector<Sink*>& pass_sets() {
    sets_.clear();
    for (WorkerState<Sink>& w : workers_) {
      if (w.pass == pass_) sets_.push_back(&w.set);
    }
    return sets_;
  }

 private:
  // The two-way split of the units, as the parallel map does it: as many
  // halvings as keep every worker busy, renewed where a piece was stolen.
  void scan_units(uint64_t first, uint64_t last, uint64_t splits, bool migrated) {
    const uint64_t n = last - first;
    if (n < 2 || !take_split(splits, migrated, workers_.size())) {
      pool::WorkerThread* worker = pool::current_worker();
      run_leaf(workers_[worker == nullptr ? 0 : worker->index()], first, last);
      return;
    }
    const uint64_t mid = first + n / 2;
    pool::join_pair(
        [&](bool left_migrated) {
          scan_units(first, mid, splits, left_migrated);
          return 0;
        },
        [&](bool right_migrated) {
          scan_units(mid, last, splits, right_migrated);
          return 0;
        });
  }

  void run_leaf(WorkerState<Sink>& w, uint64_t first_unit, uint64_t last_unit) {
    run_rows(w, unit_start(first_unit), unit_start(last_unit));
  }

  // Scores rows [first_row, last_row) of a call run on the calling thread
  // together with a worker of the pool (SharedRows), when the call is large
  // enough for that to pay and the pool has workers of its own. False if it
  // did nothing (the caller then runs the rows alone). The result is the same
  // whoever runs which rows: each keeps its own candidates, merged in the
  // total order.
  bool scan_shared(uint64_t first_row, uint64_t last_row) {
    const unsigned __int128 pairs =
        static_cast<unsigned __int128>(pass_count_) * (last_row - first_row) * matrix_.dim;
    if (pairs < plan_.shared_pairs || pool::current_worker() != nullptr) return false;
    if (last_row - first_row < 2 * kSharedStretchRows) return false;
    // The first call large enough to share starts the pool, as a larger call
    // would: otherwise a process that makes only calls of this size never
    // has a worker to share with (1,000 x 128 took 16 us alone, 12 shared).
    pool::WorkerPool* pool = &pool::global_pool();
    if (!pool->has_spawned_workers() || pool->thread_count() < 2) return false;
    if (workers_.size() < 2) workers_.resize(2);
    auto* rows = new (std::nothrow) SharedRows;
    if (rows == nullptr) return false;
    // Whole groups of rows in lanes, in 4 stretches (the last one shorter):
    // 8 to 32 measured slower at 1,000 x 128 (each stretch sets the row
    // kernel up again), and fewer leave one thread waiting longer for the
    // other's last. Rounding the stretch down instead made a fifth stretch
    // of the rows left over: 1,008 x 128 in four of 240 rows and one of 48
    // took 2-7% longer than in three of 256 and one of 240.
    rows->first_row = first_row;
    rows->last_row = last_row;
    const uint64_t four_groups = 4 * kMaxLanes;
    rows->stretch = std::max<uint64_t>(
        kSharedStretchRows, (last_row - first_row + four_groups - 1) / four_groups * kMaxLanes);
    const uint64_t stretches = (last_row - first_row + rows->stretch - 1) / rows->stretch;
    rows->untaken.store(stretches, std::memory_order_relaxed);
    rows->run = [](void* search, uint64_t first, uint64_t last) {
      auto* self = static_cast<Search*>(search);
      self->run_rows(self->workers_[1], first, last);
    };
    rows->search = this;
    // A worker that lingers after an earlier call takes the record from
    // open_offer; only without one does the pool's queue get it (and wake a
    // worker), so that no second worker wakes up to find nothing.
    bool queued = false;
    if (lingering_workers.load(std::memory_order_acquire) == 0) {
      rows->holders.fetch_add(1, std::memory_order_relaxed);
      try {
        pool::inject_job(*pool, pool::JobHandle{&SharedRows::execute, rows});
        queued = true;
      } catch (const AllocationFailure&) {
        // Nothing was queued: the queue holds nothing.
        rows->holders.fetch_sub(1, std::memory_order_relaxed);
      }
    }
    rows->holders.fetch_add(1, std::memory_order_relaxed);
    SharedRows* none = nullptr;
    if (open_offer.compare_exchange_strong(none, rows, std::memory_order_acq_rel)) {
      rows->published = true;
    } else {
      // Another call's record is there.
      rows->holders.fetch_sub(1, std::memory_order_relaxed);
    }
    if (!queued && !rows->published) {
      // No one else can reach the record.
      delete rows;
      return false;
    }
    // A worker may be running rows of this search until the record is
    // settled, so nothing leaves here before that.
    struct Settle {
      SharedRows* rows;
      ~Settle() {
        rows->settle();
        rows->release();
      }
    };
    std::exception_ptr failure;
    {
      Settle settle{rows};
      for (auto [first, last] = rows->take(true); first < last;
           std::tie(first, last) = rows->take(true)) {
        run_rows(workers_[0], first, last);
      }
      rows->settle();
      failure = std::move(rows->failure);
    }
    if (failure) resume_panic(std::move(failure));
    return true;
  }

  void run_rows(WorkerState<Sink>& w, uint64_t first, uint64_t last) {
    // A run of this worker that failed (its candidates refused memory) left
    // the rows it had collected; the worker may run more rows of the call
    // before the failure reaches the caller.
    w.rows.clear();
    prepare(w);
    DefaultMxcsr environment;
    if (single_) {
      scan_single(w, first, last);
    } else {
      scan_blocks(w, first, last);
    }
    // Everything reaches memory before the caller's environment comes back.
    asm volatile("" ::: "memory");
  }

  void prepare(WorkerState<Sink>& w) {
    if (w.pass != pass_) {
      reset_sink(w.set, pass_count_, std::min(k_, matrix_.rows), range_);
      if constexpr (std::is_same_v<Sink, TopKSet>) w.set.set_paired(paired_);
      for (uint64_t q = 0; q < pass_count_; ++q) {
        if (pass_norms_[q] == 0.0f) w.set.close(q);
      }
      w.pass = pass_;
    }
  }

  // Runs the batch kernel over the rows collected so far, requesting rows
  // [ahead_first, ahead_last) meanwhile.
  void flush_rows(WorkerState<Sink>& w, uint64_t ahead_first = 0, uint64_t ahead_last = 0) {
    if (w.rows.empty()) return;
    // The scratch space holds one block.
    VELK_ASSERT(w.rows.size() <= block_rows_);
    // Made on first use: the one-query path mostly does without.
    if (!w.has_scratch) {
      const uint64_t lanes = round_up(block_rows_, kMaxLanes);
      w.scratch.packed = aligned_floats(w.packed, array_bytes(lanes, matrix_.dim));
      w.scratch.roots = aligned_floats(w.roots, lanes);
      w.has_scratch = true;
    }
    BlockJob job;
    job.matrix = matrix_;
    job.rows = w.rows.data();
    job.row_count = w.rows.size();
    job.queries = interleaved_.data();
    job.norms = pass_norms_;
    job.query_count = pass_count_;
    job.first_query = 0;
    job.scratch = w.scratch;
    const uint64_t row_bytes = matrix_.dim * element_bytes(matrix_.type);
    job.ahead = static_cast<const char*>(matrix_.data) + ahead_first * row_bytes;
    job.ahead_bytes = (ahead_last - ahead_first) * row_bytes;
    score_block(plan_.kernel, job, w.set);
    w.rows.clear();
  }

  // Collects the allowed rows of [first, last) into blocks for the batch
  // kernel: rows that are not allowed are never read, and a sparse filter
  // gathers its rows into full blocks. With `keep_partial`, a last block
  // that is not full waits for more rows (the caller flushes it).
  void scan_blocks(WorkerState<Sink>& w, uint64_t first, uint64_t last, bool keep_partial = false) {
    uint64_t i = first;
    while (i < last) {
      if (allowed_ != nullptr) {
        // Eight rows at a time through runs of rows that are not allowed.
        uint64_t word;
        if (last - i >= 8 && (std::memcpy(&word, allowed_ + i, 8), word == 0)) {
          i += 8;
          continue;
        }
        if (allowed_[i] == 0) {
          ++i;
          continue;
        }
      }
      w.rows.push_back(i);
      ++i;
      if (w.rows.size() == block_rows_) {
        // Without a filter the next block is the next rows: request them
        // while this one is scored.
        if (allowed_ == nullptr) {
          flush_rows(w, i, std::min(last, i + block_rows_));
        } else {
          flush_rows(w);
        }
      }
    }
    if (!keep_partial) flush_rows(w);
  }

  // One query: the rows are read once, straight from the matrix, and only
  // scores that may rank are offered. Where fewer than half the rows of a
  // stretch are allowed, the allowed ones are gathered for the batch kernel
  // instead, so that the rows left out are never read.
  void scan_single(WorkerState<Sink>& w, uint64_t first, uint64_t last) {
    for (uint64_t start = first; start < last; start += pair_chunk_rows_) {
      const uint64_t end = std::min(last, start + pair_chunk_rows_);
      if (allowed_ != nullptr) {
        uint64_t count = 0;
        for (uint64_t i = start; i < end; ++i) count += allowed_[i] != 0;
        if (count == 0) continue;
        if (2 * count < end - start) {
          scan_blocks(w, start, end, /*keep_partial=*/true);
          continue;
        }
      }
      RowsJob job;
      job.matrix = matrix_;
      job.first = start;
      job.last = end;
      job.query = pass_queries_;
      job.query_norm = pass_norms_[0];
      job.allowed = allowed_;
      score_rows(plan_.kernel, job, w.set);
    }
    flush_rows(w);
  }

  const SearchPlan plan_;
  const MatrixView matrix_;
  const uint64_t k_;
  const KeyRange range_;
  const uint8_t* const allowed_;
  const uint64_t block_rows_;
  const uint64_t pair_chunk_rows_;
  uint64_t pass_ = 0;
  const float* pass_queries_ = nullptr;
  const float* pass_norms_ = nullptr;
  uint64_t pass_count_ = 0;
  bool single_ = false;
  uint64_t unit_rows_ = 1;
  uint64_t first_row_ = 0;
  PairedLists* paired_ = nullptr;
  GrowableArray<float> interleaved_;
  std::vector<WorkerState<Sink>> workers_;
  std::vector<Sink*> sets_;
};

// Takes one norm per query for the whole call, as the single-query path takes
// it; 0 marks a query whose squared norm is zero (it gets no rows). Returns
// whether any query has a nonzero norm.
bool take_norms(const QueryBlock& queries, uint64_t dim, GrowableArray<float>& norms) {
  norms.reserve(queries.count);
  uint64_t live = 0;
  {
    DefaultMxcsr environment;
    for (uint64_t q = 0; q < queries.count; ++q) {
      const float squares = similarity::squared_norm({queries.data + q * dim, dim});
      norms[q] = squares == 0.0f ? 0.0f : std::sqrt(squares);
      live += squares != 0.0f;
    }
    asm volatile("" ::: "memory");
  }
  norms.set_size(queries.count);
  return live != 0;
}

// Queries per pass of a top-k search keeping `kept` rows each: as many as
// keep each worker's candidate buffers within kCandidateBytesPerWorker.
uint64_t top_k_pass_queries(uint64_t kept) {
  const uint64_t slots = kept + std::max<uint64_t>(16, kept / 2);
  return std::clamp<uint64_t>(kCandidateBytesPerWorker / (slots * sizeof(Candidate)), 1,
                              kMaxPassQueries);
}

// Whether a call is small enough to run on the calling thread.
bool runs_inline(const SearchPlan& plan, uint64_t queries, const MatrixView& matrix) {
  const unsigned __int128 pairs =
      static_cast<unsigned __int128>(queries) * matrix.rows * matrix.dim;
  return pairs <= plan.inline_pairs;
}

}  // namespace

bool kernel_supported(KernelKind kind) {
  switch (kind) {
    case KernelKind::kScalar:
      return true;
    case KernelKind::kAvx2:
      return similarity::row_scorer_supported(similarity::RowScorerKind::kAvx2) &&
             __builtin_cpu_supports("f16c");
    case KernelKind::kAvx512:
      return similarity::row_scorer_supported(similarity::RowScorerKind::kAvx512) &&
             __builtin_cpu_supports("f16c");
  }
  return false;
}

KernelKind preferred_kernel() {
  static const KernelKind preferred = [] {
    if (kernel_supported(KernelKind::kAvx512)) return KernelKind::kAvx512;
    if (kernel_supported(KernelKind::kAvx2)) return KernelKind::kAvx2;
    return KernelKind::kScalar;
  }();
  return preferred;
}

SearchPlan default_plan() {
  SearchPlan plan;
  plan.kernel = preferred_kernel();
  plan.inline_pairs = kDefaultInlinePairs;
  plan.shared_pairs = kSharedPairs;
  return plan;
}

void search_top_k(const QueryBlock& queries, const MatrixView& matrix, uint64_t k,
                  const uint8_t* allowed, int64_t* indices, float* scores, uint64_t* counts) {
  search_top_k_with(default_plan(), queries, matrix, k, allowed, indices, scores, counts);
}

namespace {

// Runs one pass in steps of about kStepPairs multiply-add pairs, reporting
// after each one. Returns false if the report asked to stop.
template <class Sink>
bool run_pass_in_steps(Search<Sink>& search, const float* queries, const float* norms,
                       uint64_t count, const MatrixView& matrix, bool inline_run,
                       uint64_t step_pairs, const Progress& progress, uint64_t& done,
                       uint64_t total, uint64_t paired_from = UINT64_MAX) {
  search.begin_pass(queries, norms, count);
  const uint64_t units = search.units();
  uint64_t step = units;
  if (progress.report != nullptr) {
    const uint64_t unit_pairs = count * search.unit_rows() * matrix.dim;
    step = std::clamp<uint64_t>((step_pairs != 0 ? step_pairs : kStepPairs) / unit_pairs, 1, units);
  }
  for (uint64_t first = 0; first < units; first += step) {
    const uint64_t last = std::min(units, first + step);
    search.scan(first, last, inline_run);
    if (progress.report != nullptr) {
      const uint64_t first_row = search.unit_start(first);
      const uint64_t last_row = search.unit_start(last);
      // A paired pass covers each row past its queries twice (see
      // PairedLists).
      const uint64_t mirrored =
          last_row - std::clamp(paired_from, first_row, last_row);
      done += count * (last_row - first_row + mirrored);
      if (!progress.report(progress.context, done, total)) return false;
    }
  }
  return true;
}

// Writes the k best of the pass's queries (queries [first, first + count) of
// the call) from the workers' buffers.
void write_top_k(Search<TopKSet>& search, uint64_t first, uint64_t count, uint64_t k,
                 GrowableArray<Candidate>& scratch, int64_t* indices, float* scores,
                 uint64_t* counts) {
  std::vector<TopKSet*>& sets = search.pass_sets();
  for (uint64_t q = 0; q < count; ++q) {
    const uint64_t slot = (first + q) * k;
    counts[first + q] =
        merge_top_k(sets.data(), sets.size(), q, k, scratch, indices + slot, scores + slot);
  }
}

// Writes a pass's found rows (in `sets`) to the end of the result, each
// query's sorted: the sets' rows are moved into `grouped` query by query,
// then each query's are sorted and written. Where there are many rows, both
// steps are spread over the pool: the sets move at once, then the queries are
// sorted in pieces split where the rows, not the queries, halve. Only the
// sums of the sets' counts per query are left to the calling thread.
class RangeWriter {
 public:
  // Makes the room.
  RangeWriter(std::vector<RangeSet*>& sets, uint64_t queries, GrowableArray<Candidate>& grouped,
              GrowableArray<uint64_t>& ends, RangeResult& result)
      : sets_(sets.data()), set_count_(sets.size()), queries_(queries) {
    total_ = place_ranges(sets_, set_count_, queries_, ends);
    ends_ = ends.data();
    grouped.clear();
    grouped.reserve(total_);
    grouped_ = grouped.data();
    const uint64_t offset = result.indices.size();
    result.indices.reserve(total_);
    result.scores.reserve(total_);
    result.indices.set_size(offset + total_);
    result.scores.set_size(offset + total_);
    result.lims.reserve(queries_);
    for (uint64_t q = 0; q < queries_; ++q) result.lims.push_back(offset + ends_[q]);
    indices_ = result.indices.data() + offset;
    scores_ = result.scores.data() + offset;
  }

  void write(bool inline_run, uint64_t pool_rows) {
    if (inline_run || total_ < pool_rows) {
      for (uint64_t s = 0; s < set_count_; ++s) move_ranges(*sets_[s], grouped_);
      sort_queries(0, queries_);
      return;
    }
    piece_rows_ = std::max<uint64_t>(1, pool_rows / 4);
    pool::run_in_pool([&](pool::WorkerThread& worker, bool injected) {
      threads_ = worker.pool().thread_count();
      move_sets(0, set_count_, threads_, injected);
      sort_pieces(0, queries_, threads_, /*migrated=*/false);
      return 0;
    });
  }

 private:
  uint64_t start_of(uint64_t q) const { return q == 0 ? 0 : ends_[q - 1]; }

  void sort_queries(uint64_t first, uint64_t last) {
    uint64_t most = 0;
    for (uint64_t q = first; q < last; ++q) most = std::max(most, ends_[q] - start_of(q));
    GrowableArray<Candidate> scratch;
    scratch.reserve(most);
    for (uint64_t q = first; q < last; ++q) {
      const uint64_t start = start_of(q);
      sort_range(grouped_ + start, grouped_ + ends_[q], scratch.data(), indices_ + start,
                 scores_ + start);
    }
  }

  // Sets [first, last) move their rows.
  void move_sets(uint64_t first, uint64_t last, uint64_t splits, bool migrated) {
    if (last - first < 2 || !take_split(splits, migrated, threads_)) {
      for (uint64_t s = first; s < last; ++s) move_ranges(*sets_[s], grouped_);
      return;
    }
    const uint64_t mid = first + (last - first) / 2;
    pool::join_pair(
        [&](bool left_migrated) {
          move_sets(first, mid, splits, left_migrated);
          return 0;
        },
        [&](bool right_migrated) {
          move_sets(mid, last, splits, right_migrated);
          return 0;
        });
  }

  // Queries [first, last) sort their rows.
  void sort_pieces(uint64_t first, uint64_t last, uint64_t splits, bool migrated) {
    const uint64_t rows = ends_[last - 1] - start_of(first);
    if (last - first < 2 || rows < 2 * piece_rows_ || !take_split(splits, migrated, threads_)) {
      sort_queries(first, last);
      return;
    }
    // The first query whose rows end past the middle row closes the left
    // half: each half keeps at least one query.
    const uint64_t middle = start_of(first) + rows / 2;
    uint64_t mid = std::upper_bound(ends_ + first, ends_ + last, middle) - ends_ + 1;
    mid = std::clamp(mid, first + 1, last - 1);
    pool::join_pair(
        [&](bool left_migrated) {
          sort_pieces(first, mid, splits, left_migrated);
          return 0;
        },
        [&](bool right_migrated) {
          sort_pieces(mid, last, splits, right_migrated);
          return 0;
        });
  }

  RangeSet* const* const sets_;
  const uint64_t set_count_;
  const uint64_t queries_;
  uint64_t total_ = 0;
  const uint64_t* ends_ = nullptr;
  Candidate* grouped_ = nullptr;
  int64_t* indices_ = nullptr;
  float* scores_ = nullptr;
  uint64_t threads_ = 1;
  uint64_t piece_rows_ = 1;
};

}  // namespace

void search_top_k_with(const SearchPlan& plan, const QueryBlock& queries, const MatrixView& matrix,
                       uint64_t k, const uint8_t* allowed, int64_t* indices, float* scores,
                       uint64_t* counts) {
  search_top_k_with(plan, queries, matrix, k, allowed, indices, scores, counts, Progress{});
}

bool search_top_k_with(const SearchPlan& plan, const QueryBlock& queries, const MatrixView& matrix,
                       uint64_t k, const uint8_t* allowed, int64_t* indices, float* scores,
                       uint64_t* counts, const Progress& progress) {
  VELK_ASSERT(kernel_supported(plan.kernel));
  VELK_ASSERT(matrix.dim != 0);
  if (queries.count == 0) return true;
  const uint64_t kept = std::min(k, matrix.rows);
  GrowableArray<float> norms;
  if (kept == 0 || !take_norms(queries, matrix.dim, norms)) {
    std::fill(counts, counts + queries.count, 0);
    return true;
  }
  const uint64_t dim = matrix.dim;
  const uint64_t per_pass = top_k_pass_queries(kept);

  Search<TopKSet> search(plan, matrix, k, KeyRange{}, allowed);
  const bool inline_run = runs_inline(plan, queries.count, matrix);
  const uint64_t total = queries.count * matrix.rows;
  uint64_t done = 0;
  GrowableArray<Candidate> scratch;
  for (uint64_t first = 0; first < queries.count; first += per_pass) {
    const uint64_t count = std::min(per_pass, queries.count - first);
    if (!run_pass_in_steps(search, queries.data + first * dim, norms.data() + first, count, matrix,
                           inline_run, plan.step_pairs, progress, done, total)) {
      return false;
    }
    write_top_k(search, first, count, k, scratch, indices, scores, counts);
  }
  return true;
}

namespace {

// Whether the queries are the matrix's rows widened, bit for bit.
bool queries_are_rows(const QueryBlock& queries, const MatrixView& matrix) {
  if (queries.count != matrix.rows) return false;
  const uint64_t values = matrix.rows * matrix.dim;
  if (matrix.type == ElementType::kFloat32) {
    return queries.data == matrix.data ||
           std::memcmp(queries.data, matrix.data, values * sizeof(float)) == 0;
  }
  const auto* stored = static_cast<const uint16_t*>(matrix.data);
  for (uint64_t i = 0; i < values; ++i) {
    const float widened = matrix.type == ElementType::kFloat16 ? widen_float16(stored[i])
                                                               : widen_bfloat16(stored[i]);
    if (std::bit_cast<uint32_t>(widened) != std::bit_cast<uint32_t>(queries.data[i])) return false;
  }
  return true;
}

// Rows per pass of a paired search keeping `kept` rows each: about a 32nd of
// the rows, from 256 (or 2) to the most a plain pass takes. Each pass scores
// its own square of pairs whole, so smaller passes score fewer pairs twice;
// fewer than a few hundred queries keep the batch kernel from its speed.
uint64_t paired_pass_rows(uint64_t rows, uint64_t kept) {
  const uint64_t most = std::max<uint64_t>(2, top_k_pass_queries(kept));
  return std::clamp<uint64_t>(rows / 32, std::min<uint64_t>(256, most), most);
}

}  // namespace

bool search_top_k_paired_with(const SearchPlan& plan, const QueryBlock& queries,
                              const MatrixView& matrix, uint64_t k, int64_t* indices,
                              float* scores, uint64_t* counts, const Progress& progress,
                              bool* paired) {
  VELK_ASSERT(kernel_supported(plan.kernel));
  VELK_ASSERT(matrix.dim != 0);
  if (paired != nullptr) *paired = false;
  const uint64_t rows = matrix.rows;
  const uint64_t kept = std::min(k, rows);
  GrowableArray<float> norms;
  // Every row needs a finite, nonzero norm: a row whose squared norm is zero
  // scores +0.0 as a row but gets nothing as a query, and one whose norm is
  // NaN or infinite scores +0.0 as a row but NaN or zero as a query.
  bool pairable = kept != 0 && rows >= 4 && queries_are_rows(queries, matrix) &&
                  take_norms(queries, matrix.dim, norms);
  for (uint64_t r = 0; pairable && r < rows; ++r) {
    pairable = std::isfinite(norms[r]) && norms[r] > 0.0f;
  }
  if (!pairable) {
    return search_top_k_with(plan, queries, matrix, k, nullptr, indices, scores, counts,
                             progress);
  }
  if (paired != nullptr) *paired = true;
  const uint64_t dim = matrix.dim;
  const uint64_t pass_rows = paired_pass_rows(rows, kept);
  const uint64_t passes = std::min((rows + pass_rows - 1) / pass_rows, rows / 2);

  GrowableArray<int32_t> floor_keys;
  floor_keys.reserve(rows + kMaxLanes);
  floor_keys.set_size(rows + kMaxLanes);
  std::fill(floor_keys.data(), floor_keys.data() + rows + kMaxLanes,
            std::numeric_limits<int32_t>::min());
  PairedLists lists;
  lists.indices = indices;
  lists.scores = scores;
  lists.counts = counts;
  lists.floor_keys = floor_keys.data();
  lists.stride = k;
  lists.kept = kept;

  Search<TopKSet> search(plan, matrix, k, KeyRange{}, /*allowed=*/nullptr);
  const uint64_t total = rows * rows;
  uint64_t done = 0;
  GrowableArray<Candidate> scratch;
  // The last rows first: a pass's scores for the rows after its queries go
  // to lists that earlier passes finished. Rows [first, last) split evenly
  // (every pass has at least 2 queries, which keeps it on the batch kernel).
  for (uint64_t p = passes; p-- > 0;) {
    const uint64_t first = p * rows / passes;
    const uint64_t last = (p + 1) * rows / passes;
    const uint64_t count = last - first;
    lists.first_query = first;
    lists.from_row = last;
    search.restrict_rows(first, &lists);
    // Whether a pass runs inline is decided on its own work.
    const MatrixView rest{matrix.data, rows - first, dim, matrix.type};
    const bool inline_run = runs_inline(plan, count, rest);
    if (!run_pass_in_steps(search, queries.data + first * dim, norms.data() + first, count, matrix,
                           inline_run, plan.step_pairs, progress, done, total, last)) {
      return false;
    }
    write_top_k(search, first, count, k, scratch, indices, scores, counts);
    for (uint64_t r = first; r < last; ++r) lists.update_floor(r);
  }
  return true;
}

RangeResult search_range(const QueryBlock& queries, const MatrixView& matrix, float threshold,
                         const uint8_t* allowed) {
  return search_range_with(default_plan(), queries, matrix, threshold, allowed);
}

RangeResult search_range_with(const SearchPlan& plan, const QueryBlock& queries,
                              const MatrixView& matrix, float threshold, const uint8_t* allowed) {
  RangeResult result;
  search_range_with(plan, queries, matrix, threshold, allowed, Progress{}, result);
  return result;
}

bool search_range_with(const SearchPlan& plan, const QueryBlock& queries, const MatrixView& matrix,
                       float threshold, const uint8_t* allowed, const Progress& progress,
                       RangeResult& result) {
  VELK_ASSERT(kernel_supported(plan.kernel));
  VELK_ASSERT(matrix.dim != 0);
  const KeyRange range = key_range_at_least(threshold);
  result.lims.clear();
  result.indices.clear();
  result.scores.clear();
  result.lims.push_back(0);
  GrowableArray<float> norms;
  if (matrix.rows == 0 || !take_norms(queries, matrix.dim, norms)) {
    for (uint64_t q = 0; q < queries.count; ++q) result.lims.push_back(0);
    return true;
  }
  const uint64_t dim = matrix.dim;
  Search<RangeSet> search(plan, matrix, /*k=*/0, range, allowed);
  const bool inline_run = runs_inline(plan, queries.count, matrix);
  const uint64_t total = queries.count * matrix.rows;
  const uint64_t pool_rows = plan.pool_sort_rows != 0 ? plan.pool_sort_rows : kDefaultPoolSortRows;
  uint64_t done = 0;
  GrowableArray<Candidate> grouped;
  GrowableArray<uint64_t> ends;
  for (uint64_t first = 0; first < queries.count; first += kMaxPassQueries) {
    const uint64_t count = std::min(kMaxPassQueries, queries.count - first);
    if (!run_pass_in_steps(search, queries.data + first * dim, norms.data() + first, count, matrix,
                           inline_run, plan.step_pairs, progress, done, total)) {
      return false;
    }
    std::vector<RangeSet*>& sets = search.pass_sets();
    RangeWriter writer(sets, count, grouped, ends, result);
    writer.write(inline_run, pool_rows);
  }
  return true;
}

}  // namespace velk::engine
