"""The scenarios of half-precision matrices, row filters and threshold search:

(i) velk.search over a float16 matrix against the same values in float32, and
    against the streaming read of the float16 bytes; and over a bfloat16
    matrix (its bits in uint16, dtype="bfloat16") of the same rows;
(j) the same float16 search against its peers with 2-byte storage: USearch
    exact search over a float16 array and FAISS IndexScalarQuantizer(fp16);
(k) velk.search with `where=` allowing 10% and 1% of the rows, against the
    unfiltered search;
(l) velk.search_range for a batch of queries at a threshold that keeps about
    0.1% of the rows, against velk.search_many with k = 10; and the cost of
    `progress=` on it.

Each scenario takes turns as (a) and (g) do: every round runs every call once,
in shuffled order, after a pause, the streaming read of the same bytes
included, and the targets use medians of per-round ratios.
"""

from __future__ import annotations

import gc
import time

import numpy as np

from batches import make_batch, reference_top, size_label
from systems import overlap, unit_rows
from timing import fmt_time, time_interleaved

FEATURE_MATRIX = (1_000_000, 384)
FEATURE_K = 10
FILTER_SHARES = (0.10, 0.01)
RANGE_QUERIES = 64
RANGE_KEPT = 0.001
# Rows of the sample the threshold of (l) is taken from.
RANGE_SAMPLE_ROWS = 100_000
FEATURE_SCENARIOS = ("i", "j", "k", "l")

# System names, used by the targets and the tables.
VELK_F16 = "velk.search float16"
VELK_F32_SAME = "velk.search float32 (same values)"
VELK_BF16 = "velk.search bfloat16"
USEARCH_F16 = "USearch exact (f16 array)"
FAISS_SQ_F16 = "FAISS IndexScalarQuantizer fp16"
VELK_UNFILTERED = "velk.search (no filter)"
RANGE = "velk.search_range"
RANGE_PROGRESS = "velk.search_range progress=fn"
MANY_K10 = "velk.search_many k=10"


def filtered_name(share: float) -> str:
    return f"velk.search where= {share:.0%} of rows"


def stream_name(dtype: str, threads: int) -> str:
    return f"streaming read of the {dtype} bytes, {threads} threads"


# What each scenario's calls are compared with: the per-round ratio of a call
# to this one is shown beside it in the table.
BASELINES = {"i": VELK_F16, "j": VELK_F16, "k": VELK_UNFILTERED, "l": MANY_K10}
TITLES = {
    "i": "float16 and bfloat16 matrices against float32",
    "j": "float16 against peers with 2-byte storage",
    "k": "float32, row filters",
    "l": f"float32, threshold search, {RANGE_QUERIES} queries, about {RANGE_KEPT:.1%} of rows kept",
}


# ---------------------------------------------------------------- data

def feature_matrix(args, salt: str, queries: int = 1) -> tuple[np.ndarray, np.ndarray, int]:
    """(matrix, queries, full_rows): the float32 matrix and queries of a scenario."""
    full_rows, dim = FEATURE_MATRIX
    rows = max(100, int(full_rows * args.scale))
    matrix, block = make_batch(rows, dim, queries, salt=ord(salt))
    return matrix, block, full_rows


def half_matrix(args) -> tuple[np.ndarray, np.ndarray, int]:
    """The float16 matrix of (i) and (j) (the same in both) and its query."""
    matrix, block, full_rows = feature_matrix(args, "i")
    half = matrix.astype(np.float16)
    del matrix
    return half, block[0], full_rows


def random_mask(rows: int, share: float) -> np.ndarray:
    """A seeded boolean mask allowing about `share` of the rows."""
    rng = np.random.default_rng([rows, int(round(share * 1e6))])
    return rng.random(rows) < share


def range_threshold(matrix: np.ndarray, queries: np.ndarray, kept: float) -> float:
    """A score that about `kept` of the (query, row) pairs reach, from the
    cosines of the queries with a seeded sample of the rows."""
    rng = np.random.default_rng(len(matrix))
    count = min(len(matrix), RANGE_SAMPLE_ROWS)
    sample = matrix[np.sort(rng.choice(len(matrix), size=count, replace=False))].astype(np.float64)
    sample /= np.linalg.norm(sample, axis=1, keepdims=True)
    unit = queries.astype(np.float64)
    unit /= np.linalg.norm(unit, axis=1, keepdims=True)
    return float(np.quantile(unit @ sample.T, 1.0 - kept))


# ---------------------------------------------------------------- timing

class Case:
    """One call of a scenario: the entry it fills and the call it times."""

    def __init__(self, entry: dict, call, per_pass: int = 1):
        self.entry, self.call, self.per_pass = entry, call, per_pass


def stream_case(base: dict, stream, matrix: np.ndarray, dtype: str, threads: int) -> Case:
    call, passes = stream.reader(matrix, threads)
    entry = {**base, "system": stream_name(dtype, threads), "stream": True, "bytes": matrix.nbytes}
    return Case(entry, call, passes)


def take_turns(cases: list[Case], runs: int, args, order_seed: int) -> None:
    """Times every case in interleaved rounds and records the timings per pass
    (a streaming read may read a small matrix several times per call)."""
    live = [case for case in cases if "error" not in case.entry]
    timings = time_interleaved([case.call for case in live], runs, pause_s=args.pause, order_seed=order_seed)
    for case, timing in zip(live, timings):
        if isinstance(timing, Exception):
            case.entry["error"] = repr(timing)[:300]
            continue
        samples = [sample / case.per_pass for sample in timing.samples]
        case.entry.update(median_s=timing.median_s / case.per_pass, min_s=timing.min_s / case.per_pass,
                          runs=timing.runs, samples_s=samples)
        if case.entry.get("stream"):
            case.entry["gbps_median"] = case.entry["bytes"] / case.entry["median_s"] / 1e9


def checked(entry: dict, check) -> dict:
    """Runs `check()` (the call once, judged) and records what it returns, or its error."""
    try:
        entry.update(check())
    except Exception as error:  # noqa: BLE001 - reported with the system
        entry["error"] = repr(error)[:300]
    return entry


def format_feature_entry(entry: dict) -> str:
    label = f"{entry['system']:<44}"
    if "error" in entry:
        return f"{label} FAILED {entry['error']}"
    notes = [f"{key} {entry[key]:.3f}" if isinstance(entry[key], float) else f"{key} {entry[key]}"
             for key in ("overlap", "identical", "kept_share", "agrees_with_search_many") if key in entry]
    if entry.get("stream"):
        notes.append(f"{entry['gbps_median']:.1f} GB/s")
    return (f"{label} median {fmt_time(entry['median_s'])}  min {fmt_time(entry['min_s'])}  "
            + "  ".join(notes) + f"  ({entry['runs']} runs)")


def finish(cases: list[Case], log) -> list[dict]:
    for case in cases:
        log("   " + format_feature_entry(case.entry))
    return [case.entry for case in cases]


def top_check(search, reference) -> dict:
    rows, _ = search()
    return {"overlap": overlap(np.asarray(rows, dtype=np.int64), reference[0][0])}


# ---------------------------------------------------------------- (i)

def run_half_scenario(installed, stream, threads: int, args, log) -> list[dict]:
    velk = installed.modules.get("velk")
    half, query, full_rows = half_matrix(args)
    rows, dim = half.shape
    log(f"\n== (i) velk.search over {rows:,} x {dim} float16 ({half.nbytes / 1e9:.2f} GB) against the same "
        f"values in float32, k = {FEATURE_K}")
    wide = half.astype(np.float32)
    # bfloat16: the float32 rows cut to their upper 16 bits, as raw bits.
    brain = (wide.view(np.uint32) >> 16).astype(np.uint16)
    base = {"scenario": "i", "rows": rows, "full_rows": full_rows, "dim": dim, "k": FEATURE_K, "threads": threads}
    cases = [stream_case(base, stream, half, "float16", threads), stream_case(base, stream, wide, "float32", threads)]
    if velk is not None:
        def identical(search, widened):
            # A 2-byte search must give the search of its values widened to float32 bit for bit.
            found, same = search(), velk.search(query, widened(), FEATURE_K)
            return {"identical": bool(np.array_equal(found[0], same[0])
                                      and np.array_equal(found[1].view(np.uint32), same[1].view(np.uint32)))}

        search_half = lambda: velk.search(query, half, FEATURE_K)  # noqa: E731
        search_brain = lambda: velk.search(query, brain, FEATURE_K, dtype="bfloat16")  # noqa: E731
        cases = [Case(checked({**base, "system": VELK_F16, "dtype": "float16"},
                              lambda: identical(search_half, lambda: wide)), search_half),
                 Case({**base, "system": VELK_F32_SAME, "dtype": "float32"},
                      lambda: velk.search(query, wide, FEATURE_K)),
                 Case(checked({**base, "system": VELK_BF16, "dtype": "bfloat16"},
                              lambda: identical(search_brain, lambda: (brain.astype(np.uint32) << 16).view(np.float32))),
                      search_brain)] + cases
    take_turns(cases, args.runs, args, order_seed=ord("i"))
    del half, wide, brain
    gc.collect()
    return finish(cases, log)


# ---------------------------------------------------------------- (j)

class FaissHalf:
    """FAISS's flat index of 2-byte codes: IndexScalarQuantizer with QT_fp16,
    inner product on rows normalised before they are stored, as its users do
    for cosine."""

    def __init__(self, faiss, half: np.ndarray, threads: int):
        faiss.omp_set_num_threads(threads)
        self.index = faiss.IndexScalarQuantizer(half.shape[1], faiss.ScalarQuantizer.QT_fp16,
                                                faiss.METRIC_INNER_PRODUCT)
        step = 1 << 16
        for start in range(0, len(half), step):
            block = half[start:start + step].astype(np.float32)
            block /= np.linalg.norm(block, axis=1, keepdims=True)
            if start == 0:
                self.index.train(block)  # fp16 codes need no training; FAISS asks for the call
            self.index.add(block)

    def search(self, query: np.ndarray, k: int):
        unit = (query / np.linalg.norm(query)).astype(np.float32).reshape(1, -1)
        distances, labels = self.index.search(unit, k)
        return labels[0], distances[0]


def run_half_peers_scenario(installed, stream, threads: int, args, log) -> list[dict]:
    velk = installed.modules.get("velk")
    half, query, full_rows = half_matrix(args)
    rows, dim = half.shape
    log(f"\n== (j) float16 {rows:,} x {dim} ({half.nbytes / 1e9:.2f} GB): velk against peers with 2-byte "
        f"storage, k = {FEATURE_K}")
    reference = reference_top(half, query[None, :], FEATURE_K)
    base = {"scenario": "j", "rows": rows, "full_rows": full_rows, "dim": dim, "k": FEATURE_K, "threads": threads,
            "dtype": "float16"}
    cases = []
    if velk is not None:
        search = lambda: velk.search(query, half, FEATURE_K)  # noqa: E731
        cases.append(Case(checked({**base, "system": VELK_F16}, lambda: top_check(search, reference)), search))
    if "usearch.index" in installed.modules:
        usearch = installed.modules["usearch.index"]
        # The query in the array's own type: USearch then scores in f16 storage throughout.
        query16 = query.astype(np.float16)
        search_u = lambda: usearch.search(half, query16, FEATURE_K, usearch.MetricKind.Cos,  # noqa: E731
                                          exact=True, threads=threads)
        cases.append(Case(checked({**base, "system": USEARCH_F16},
                                  lambda: {"overlap": overlap(np.asarray(search_u().keys, dtype=np.int64).ravel(),
                                                              reference[0][0])}), search_u))
    faiss_index = None
    if "faiss" in installed.modules:
        entry = {**base, "system": FAISS_SQ_F16}
        try:
            start = time.perf_counter()
            faiss_index = FaissHalf(installed.modules["faiss"], half, threads)
            entry["prepare_s"] = time.perf_counter() - start
        except Exception as error:  # noqa: BLE001 - a failing peer is reported, not fatal
            entry["error"] = repr(error)[:300]
            cases.append(Case(entry, None))
        else:
            search_f = lambda: faiss_index.search(query, FEATURE_K)  # noqa: E731
            cases.append(Case(checked(entry, lambda: top_check(search_f, reference)), search_f))
    cases.append(stream_case(base, stream, half, "float16", threads))
    take_turns(cases, args.runs, args, order_seed=ord("j"))
    del half, faiss_index
    gc.collect()
    return finish(cases, log)


# ---------------------------------------------------------------- (k)

def run_filter_scenario(installed, stream, threads: int, args, log) -> list[dict]:
    velk = installed.modules.get("velk")
    matrix, block, full_rows = feature_matrix(args, "k")
    query = block[0]
    rows, dim = matrix.shape
    log(f"\n== (k) velk.search with where= over {rows:,} x {dim} float32 ({matrix.nbytes / 1e9:.2f} GB), "
        f"k = {FEATURE_K}, seeded random masks")
    base = {"scenario": "k", "rows": rows, "full_rows": full_rows, "dim": dim, "k": FEATURE_K, "threads": threads}
    cases = [stream_case(base, stream, matrix, "float32", threads)]
    if velk is not None:
        cases.append(Case({**base, "system": VELK_UNFILTERED, "allowed_share": 1.0},
                          lambda: velk.search(query, matrix, FEATURE_K)))
        for share in FILTER_SHARES:
            mask = random_mask(rows, share)

            def check(mask=mask):
                # The filtered search is the search of the allowed rows alone, numbered as in the matrix.
                allowed = np.flatnonzero(mask)
                best, scores = reference_top(matrix[allowed], query[None, :], FEATURE_K)
                return top_check(lambda: velk.search(query, matrix, FEATURE_K, where=mask),
                                 (allowed[best], scores))

            entry = {**base, "system": filtered_name(share), "allowed_share": float(mask.mean())}
            cases.append(Case(checked(entry, check),
                              lambda mask=mask: velk.search(query, matrix, FEATURE_K, where=mask)))
    take_turns(cases, args.runs, args, order_seed=ord("k"))
    del matrix
    gc.collect()
    return finish(cases, log)


# ---------------------------------------------------------------- (l)

def run_range_scenario(installed, stream, threads: int, args, log) -> list[dict]:
    velk = installed.modules.get("velk")
    matrix, queries, full_rows = feature_matrix(args, "l", RANGE_QUERIES)
    rows, dim = matrix.shape
    threshold = range_threshold(matrix, queries, RANGE_KEPT)
    log(f"\n== (l) velk.search_range, {RANGE_QUERIES} queries over {rows:,} x {dim} float32 "
        f"({matrix.nbytes / 1e9:.2f} GB) at threshold {threshold:.4f}, against search_many k = {FEATURE_K}")
    base = {"scenario": "l", "rows": rows, "full_rows": full_rows, "dim": dim, "k": FEATURE_K, "threads": threads,
            "queries": RANGE_QUERIES, "threshold": threshold}
    cases = [stream_case(base, stream, matrix, "float32", threads)]
    if velk is not None:
        reports = []

        def check():
            lims, indices, _ = velk.search_range(queries, matrix, threshold)
            top, _ = velk.search_many(queries, matrix, FEATURE_K)
            # The head of each query's range is its top k, as far as the range reaches.
            agrees = all(np.array_equal(indices[lims[q]:lims[q] + min(FEATURE_K, lims[q + 1] - lims[q])],
                                        top[q, :min(FEATURE_K, lims[q + 1] - lims[q])])
                         for q in range(len(queries)))
            return {"kept_share": float(lims[-1]) / (len(queries) * rows), "results": int(lims[-1]),
                    "agrees_with_search_many": agrees}

        def with_progress():
            reports.clear()
            return velk.search_range(queries, matrix, threshold, progress=lambda done, total: reports.append(done))

        cases += [
            Case(checked({**base, "system": RANGE}, check), lambda: velk.search_range(queries, matrix, threshold)),
            Case({**base, "system": MANY_K10}, lambda: velk.search_many(queries, matrix, FEATURE_K)),
            Case({**base, "system": RANGE_PROGRESS}, with_progress),
        ]
    take_turns(cases, args.batch_runs, args, order_seed=ord("l"))
    if velk is not None and cases[-1].entry.get("runs"):
        cases[-1].entry["progress_reports"] = len(reports)
    del matrix
    gc.collect()
    return finish(cases, log)


RUNNERS = {"i": run_half_scenario, "j": run_half_peers_scenario, "k": run_filter_scenario, "l": run_range_scenario}


def feature_label(scenario: str, full_rows: int, dim: int, dtype: str | None = None) -> str:
    return f"({scenario}) {size_label(full_rows)} x {dim}" + (f" {dtype}" if dtype else "")
