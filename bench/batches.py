"""The batch scenarios: (g) batches of queries over one matrix, (h) duplicate
detection (a matrix against itself), the multiply/add peak they are compared
with, and the extra memory of one batch call.

Every system answers a (queries, dim) block with (queries, k) row indices and
scores, best first, and does the job the way its users do.
"""

from __future__ import annotations

import gc
import json
import time

import numpy as np

from probes import PeakProbe
from scenarios import SEED, scale_rows
from systems import Installed, max_score_error, overlap, unit_rows
from timing import fmt_time, median_fastest_ratio, peak_rss_growth, time_interleaved

BATCH_MATRICES = ((200_000, 384), (1_000_000, 384))
BATCH_SIZES = (1, 16, 64, 256)
BATCH_K = 10
DEDUP = {"rows": 100_000, "dim": 384, "k": 10}
# The extra memory a batch call may take, besides 16 bytes per row: this many
# bytes per (query, k) result slot, the results and the buffers that build them.
BYTES_PER_RESULT_SLOT = 64

BATCH_SYSTEM_ORDER = ("velk.search_many", "numpy (pre-normalised rows)", "FAISS IndexFlatIP", "USearch exact")


# ---------------------------------------------------------------- systems

class BatchSystem:
    """One way of ranking the rows for a block of queries; `prepare` runs
    outside the timing and gets the matrix and its rows normalised."""

    name = ""

    def prepare(self, matrix: np.ndarray, unit: np.ndarray, threads: int) -> None:
        self.matrix = matrix
        self.threads = threads

    def search_many(self, queries: np.ndarray, k: int):
        raise NotImplementedError

    def decode_many(self, raw) -> tuple[np.ndarray, np.ndarray]:
        """(row indices, cosine scores), each (queries, k), best first."""
        return np.asarray(raw[0], dtype=np.int64), np.asarray(raw[1], dtype=np.float64)

    def release(self) -> None:
        for name in ("matrix", "unit", "index"):
            self.__dict__.pop(name, None)


class VelkSearchMany(BatchSystem):
    name = "velk.search_many"

    def __init__(self, package):
        self.velk = package

    def search_many(self, queries, k):
        return self.velk.search_many(queries, self.matrix, k)


class NumpyBatch(BatchSystem):
    """The matrix product of the normalised queries with the rows normalised
    once, then `argpartition` for the k best of each query and a sort of those.
    Queries go in chunks whose score block fits in SCORE_BLOCK_BYTES, as a
    numpy user must do for a large batch (duplicate detection)."""

    name = "numpy (pre-normalised rows)"
    SCORE_BLOCK_BYTES = 1 << 30

    def prepare(self, matrix, unit, threads):
        self.threads = threads
        self.unit = unit

    def search_many(self, queries, k):
        rows = self.unit.shape[0]
        k = min(k, rows)
        chunk = max(1, self.SCORE_BLOCK_BYTES // (4 * rows))
        found = np.empty((queries.shape[0], k), dtype=np.int64)
        found_scores = np.empty((queries.shape[0], k), dtype=np.float32)
        for start in range(0, queries.shape[0], chunk):
            block = queries[start:start + chunk]
            scores = (block / np.linalg.norm(block, axis=1, keepdims=True)) @ self.unit.T
            if k < rows:
                best = np.argpartition(scores, rows - k, axis=1)[:, rows - k:]
            else:
                best = np.broadcast_to(np.arange(rows), scores.shape)
            top = np.take_along_axis(scores, best, axis=1)
            order = np.argsort(-top, axis=1, kind="stable")
            found[start:start + chunk] = np.take_along_axis(best, order, axis=1)
            found_scores[start:start + chunk] = np.take_along_axis(top, order, axis=1)
        return found, found_scores


class FaissBatch(BatchSystem):
    name = "FAISS IndexFlatIP"

    def __init__(self, module):
        self.faiss = module

    def prepare(self, matrix, unit, threads):
        self.threads = threads
        self.faiss.omp_set_num_threads(threads)
        self.index = self.faiss.IndexFlatIP(matrix.shape[1])
        self.index.add(np.ascontiguousarray(unit, dtype=np.float32))

    def search_many(self, queries, k):
        distances, labels = self.index.search(queries / np.linalg.norm(queries, axis=1, keepdims=True), k)
        return labels, distances


class USearchBatch(BatchSystem):
    name = "USearch exact"

    def __init__(self, module):
        self.index_module = module

    def search_many(self, queries, k):
        return self.index_module.search(
            self.matrix, queries, k, self.index_module.MetricKind.Cos, exact=True, threads=self.threads
        )

    def decode_many(self, raw):
        keys = np.asarray(raw.keys, dtype=np.int64)
        distances = np.asarray(raw.distances, dtype=np.float64)
        # One query comes back as one row of matches rather than a block.
        width = keys.shape[-1]
        return keys.reshape(-1, width), 1.0 - distances.reshape(-1, width)


def batch_systems(installed: Installed) -> list[BatchSystem]:
    """A batch system for every module that imported."""
    found: list[BatchSystem] = []
    if "velk" in installed.modules:
        found.append(VelkSearchMany(installed.modules["velk"]))
    found.append(NumpyBatch())
    if "faiss" in installed.modules:
        found.append(FaissBatch(installed.modules["faiss"]))
    if "usearch.index" in installed.modules:
        found.append(USearchBatch(installed.modules["usearch.index"]))
    return found


# ---------------------------------------------------------------- data

def make_batch(rows: int, dim: int, queries: int, salt: int) -> tuple[np.ndarray, np.ndarray]:
    """(matrix, queries): uniform in [-1, 1), float32, C-contiguous, seeded."""
    rng = np.random.default_rng([SEED, rows, dim, queries, salt])
    matrix = rng.random((rows, dim), dtype=np.float32)
    matrix *= 2.0
    matrix -= 1.0
    block = rng.random((queries, dim), dtype=np.float32)
    block *= 2.0
    block -= 1.0
    return matrix, block


def reference_top(matrix: np.ndarray, queries: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The exact cosine top-k of each of a few queries, in float64: (queries, k)
    each. The rows go in blocks, so that no float64 copy of a large matrix is made."""
    unit_queries = queries.astype(np.float64)
    unit_queries /= np.linalg.norm(unit_queries, axis=1, keepdims=True)
    scores = np.empty((queries.shape[0], matrix.shape[0]))
    step = 1 << 16
    for start in range(0, matrix.shape[0], step):
        block = matrix[start:start + step].astype(np.float64)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
        scores[:, start:start + step] = unit_queries @ block.T
    best = np.argsort(-scores, axis=1, kind="stable")[:, :k]
    return best, np.take_along_axis(scores, best, axis=1)


def check_answers(system: BatchSystem, queries: np.ndarray, reference, k: int, entry: dict) -> None:
    """Records in `entry` how well the system's answer for `queries` matches the
    reference: the worst overlap of a query's rows, the largest score error."""
    found_rows, found_scores = system.decode_many(system.search_many(queries, k))
    ref_rows, ref_scores = reference
    entry["overlap"] = min(overlap(found_rows[i], ref_rows[i]) for i in range(len(queries)))
    entry["max_score_error"] = max(max_score_error(found_rows[i], found_scores[i], ref_rows[i], ref_scores[i])
                                   for i in range(len(queries)))


def prepare_all(systems: list[BatchSystem], matrix, unit, threads, log) -> list[BatchSystem]:
    prepared = []
    for system in systems:
        try:
            system.prepare(matrix, unit, threads)
            prepared.append(system)
        except Exception as error:  # noqa: BLE001 - a failing peer is reported, not fatal
            log(f"   {system.name}: prepare failed: {error!r}")
    return prepared


def format_batch_entry(entry: dict) -> str:
    label = f"{plural(entry['queries'], 'query', 'queries'):>15} {entry['system']:<28}"
    if "error" in entry:
        return f"{label} FAILED {entry['error']}"
    if "estimated_s" in entry:
        return f"{label} about {fmt_time(entry['estimated_s'])} (from {entry['estimated_from']} queries; not timed)"
    once = "  (one cold call: too slow for the rounds)" if entry.get("single_call") else f"  ({entry['runs']} runs)"
    speedup = (f"  {entry['speedup_over_fastest_peer']:.2f}x the fastest peer"
               if "speedup_over_fastest_peer" in entry else "")
    return (f"{label} median {fmt_time(entry['median_s'])}  min {fmt_time(entry['min_s'])}"
            f"  overlap {entry.get('overlap', float('nan')):.3f}{once}{speedup}")


def plural(count: int, one: str, many: str) -> str:
    return f"{count:,} {one if count == 1 else many}"


def size_label(rows: int) -> str:
    """1,000,000 -> "1M", 200,000 -> "200k"."""
    if rows % 1_000_000 == 0:
        return f"{rows // 1_000_000}M"
    return f"{rows // 1000}k" if rows % 1000 == 0 else f"{rows:,}"


def _one_time(entry: dict) -> float:
    return entry["median_s"] if "median_s" in entry else entry["estimated_s"]


def _in_rounds(entry: dict) -> bool:
    return "samples_s" in entry and not entry.get("single_call")


def record_speedups(entries: list[dict]) -> None:
    """Adds to velk's entry its speed-up over the fastest peer: the median over
    rounds of the round's fastest peer time / velk's time, and no more than
    what a peer timed once (too slow for the rounds) or only estimated gives
    against velk's median."""
    timed = [e for e in entries if "error" not in e and ("median_s" in e or "estimated_s" in e)]
    velk = next((e for e in timed if e["system"] == BATCH_SYSTEM_ORDER[0]), None)
    peers = [e for e in timed if e is not velk]
    if velk is None or not peers:
        return
    if _in_rounds(velk):
        paired = [e["samples_s"] for e in peers if _in_rounds(e)]
        values = [median_fastest_ratio(paired, velk["samples_s"])] if paired else []
        values += [_one_time(e) / velk["median_s"] for e in peers if not _in_rounds(e)]
    else:
        values = [_one_time(e) / _one_time(velk) for e in peers]
    velk["speedup_over_fastest_peer"] = min(values)


# ---------------------------------------------------------------- (g)

def run_batch_scenario(installed: Installed, threads: int, args, log) -> list[dict]:
    results = []
    for number, (full_rows, dim) in enumerate(BATCH_MATRICES):
        rows = scale_rows(full_rows, args.scale)
        log(f"\n== (g) batches over {rows:,} x {dim} float32 ({rows * dim * 4 / 1e9:.2f} GB), k = {BATCH_K}")
        matrix, queries = make_batch(rows, dim, max(BATCH_SIZES), salt=ord("g") + number)
        unit = unit_rows(matrix)
        reference = reference_top(matrix, queries[:8], BATCH_K)
        prepared = prepare_all(batch_systems(installed), matrix, unit, threads, log)
        checked = {}
        for system in prepared:
            checked[system.name] = {}
            try:
                check_answers(system, queries[:8], reference, BATCH_K, checked[system.name])
            except Exception as error:  # noqa: BLE001
                checked[system.name]["error"] = repr(error)[:300]
        for size in BATCH_SIZES:
            block = queries[:size]
            entries, calls = [], []
            for system in prepared:
                entry = {"scenario": "g", "rows": rows, "full_rows": full_rows, "dim": dim, "k": BATCH_K,
                         "queries": size, "system": system.name, "threads": threads, **checked[system.name]}
                entries.append(entry)
                if "error" not in entry:
                    calls.append((entry, lambda system=system, block=block: system.search_many(block, BATCH_K)))
            timings = time_interleaved([call for _, call in calls], args.batch_runs, pause_s=args.pause,
                                       order_seed=SEED + 1000 * number + size, slow_s=args.slow_call)
            for (entry, _), timing in zip(calls, timings):
                if isinstance(timing, Exception):
                    entry["error"] = repr(timing)[:300]
                else:
                    entry.update(timing.as_dict())
            record_speedups(entries)
            for entry in entries:
                log("   " + format_batch_entry(entry))
            results += entries
        for system in prepared:
            system.release()
        del matrix, unit, queries
        gc.collect()
    return results


def run_peak_probe(cache_dir, threads: int, args, log) -> dict | None:
    log("\n== multiply/add peak without FMA (bench/mul_add_peak.c)")
    try:
        probe = PeakProbe(cache_dir)
        peak = probe.measure(sorted({1, threads}), runs=args.batch_runs, target_s=args.peak_call)
    except Exception as error:  # noqa: BLE001 - the shares are then left out
        log(f"   the probe did not run: {error!r}")
        return None
    for count, measured in peak["by_threads"].items():
        log(f"   {count} thread{'s' if count != '1' else ''}: {measured['gpairs_best']:.1f} G pairs/s best, "
            f"{measured['gpairs_median']:.1f} median ({peak['lanes']} lanes x {peak['chains']} chains)")
    return peak


# ---------------------------------------------------------------- (h)

def run_dedup_scenario(installed: Installed, threads: int, args, log) -> list[dict]:
    """Every row of one matrix against all rows. Each system is first run on a
    pilot of the first 1% of the rows; one that this predicts to take longer
    than `args.dedup_cap` is reported with the estimate and not timed."""
    rows, dim, k = scale_rows(DEDUP["rows"], args.scale), DEDUP["dim"], DEDUP["k"]
    log(f"\n== (h) duplicate detection: {rows:,} x {dim} against itself, k = {k}")
    matrix, _ = make_batch(rows, dim, 1, salt=ord("h"))
    unit = unit_rows(matrix)
    pilot = max(16, rows // 100)
    reference = reference_top(matrix, matrix[:8], k)
    prepared = prepare_all(batch_systems(installed), matrix, unit, threads, log)
    entries, calls = [], []
    for system in prepared:
        entry = {"scenario": "h", "rows": rows, "full_rows": DEDUP["rows"], "dim": dim, "k": k, "queries": rows,
                 "system": system.name, "threads": threads}
        entries.append(entry)
        try:
            check_answers(system, matrix[:8], reference, k, entry)
            time.sleep(args.pause)
            start = time.perf_counter()
            system.search_many(matrix[:pilot], k)
            estimate = (time.perf_counter() - start) * rows / pilot
        except Exception as error:  # noqa: BLE001
            entry["error"] = repr(error)[:300]
            continue
        if estimate > args.dedup_cap:
            entry.update(estimated_s=estimate, estimated_from=pilot)
        else:
            calls.append((entry, lambda system=system, queries=matrix: system.search_many(queries, k)))
    # The pilots warmed every system up: no untimed round.
    timings = time_interleaved([call for _, call in calls], args.batch_runs, pause_s=args.pause,
                               order_seed=SEED + ord("h"), warmup_round=False)
    for (entry, _), timing in zip(calls, timings):
        if isinstance(timing, Exception):
            entry["error"] = repr(timing)[:300]
        else:
            entry.update(timing.as_dict())
    record_speedups(entries)
    for entry in entries:
        log("   " + format_batch_entry(entry))
    for system in prepared:
        system.release()
    del matrix, unit
    gc.collect()
    return entries


# ---------------------------------------------------------------- memory

def run_batch_rss_child(args) -> None:
    """Subprocess entry: the peak RSS growth of one search_many call of the
    largest batch over the largest matrix of (g), first and warm."""
    import velk  # noqa: PLC0415

    full_rows, dim = BATCH_MATRICES[-1]
    rows, size = scale_rows(full_rows, args.scale), max(BATCH_SIZES)
    matrix, queries = make_batch(rows, dim, size, salt=ord("g") + len(BATCH_MATRICES) - 1)
    out = {"rows": rows, "dim": dim, "queries": size, "k": BATCH_K}
    for label in ("first_call", "warm_call"):
        out[label] = peak_rss_growth(lambda: velk.search_many(queries, matrix, BATCH_K))
    print(json.dumps(out))


def memory_budget(rss: dict) -> int:
    """Bytes a batch call may add: 16 per row and BYTES_PER_RESULT_SLOT per result."""
    return 16 * rss["rows"] + BYTES_PER_RESULT_SLOT * rss["queries"] * rss["k"]
