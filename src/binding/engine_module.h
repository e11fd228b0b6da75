// The `velk._engine` module: batched top-k over float32 arrays read in place,
// with the interpreter lock given up while the engine scores. It is the
// private back end of the `velk` package, which checks and shapes the
// arguments before it calls here; the checks in this module only keep a
// wrong call from reading or writing outside the arrays.
//
// Errors: TypeError and ValueError for arrays of the wrong type, layout or
// size; MemoryError when the engine cannot get its working memory; an
// internal fault of the engine is a panic and raises PanicException, as in
// `_velk`. A long call on the main thread runs the interpreter's signal
// handlers between steps of its work: the exception of one (KeyboardInterrupt
// for Ctrl-C) stops the call and is raised, and the outputs are then
// unspecified.
#pragma once

#include <Python.h>

#include <cstdint>

#include "src/binding/err_state.h"
#include "src/binding/gil.h"

namespace velk::binding {

// Scoring work (queries x rows x dim multiply-adds) from which a call gives
// up the interpreter lock. Below it the call is over in a few tens of
// microseconds, less than other threads could use the lock for, and giving
// it up would cost a hand-over (up to the interpreter's switch interval when
// another thread is waiting) on the way back.
inline constexpr uint64_t kLockReleaseWork = uint64_t{1} << 18;

// search_batch(queries, embeddings, dim, k, indices, scores, counts, *,
//              element_type=0, allowed=None, progress=None) -> None
//
// `queries` holds m rows of `dim` float32 values and `embeddings` n rows of
// `dim` elements (each a whole number of rows): float32 for element_type 0,
// or the bits of float16 (1) or bfloat16 (2) in a uint16 buffer, read as
// they are. `allowed`, if given, is a bool (or uint8) buffer of n entries:
// only rows with a nonzero entry are returned. `progress`, if not None, is
// called as progress(done, total) between steps of work, done of total
// (query, row) pairs scored; an exception it raises, or one from a signal
// handler (KeyboardInterrupt), stops the call and is raised by it, the
// outputs then unspecified. Writes the top `k` of every query, best
// first: row q's results at [q*k, q*k + counts[q]) of `indices` (int64) and
// `scores` (float32), the rest of its k places padded with -1 and NaN.
// `indices` and `scores` need m*k elements, `counts` (uint64) m.
Result<OwnedRef> search_batch(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// search_one(query, embeddings, dim, k, indices, scores, *, element_type=0,
//            allowed=None) -> int
//
// The same for one query of `dim` values: writes its min(k, n) or fewer
// results to the first places of `indices` and `scores` (which need min(k, n)
// elements) and returns how many.
Result<OwnedRef> search_one(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// search_range(queries, embeddings, dim, threshold, *, element_type=0,
//              allowed=None, progress=None) -> (lims, indices, scores)
//
// Every allowed row whose score is at least `threshold` (a float the caller
// has made exactly representable as float32; NaN is a ValueError), for each
// query, best first: bytearrays of m + 1 uint64 offsets, and the int64 rows
// and float32 scores, query q's at [lims[q], lims[q + 1]). Arguments as for
// search_batch.
Result<OwnedRef> search_range(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The module object (a new reference), made on the first call. Refuses a
// second interpreter with ImportError. Requires the lock.
Result<OwnedRef> make_engine_module();

}  // namespace velk::binding
