"""The targets a run is judged against, PASS or MISS (they are not tests):
those of the one-query scenarios (a)-(e), those of the batch engine over
(a), (b), (d), (g) and (h), and those of half precision, filters and
threshold search, (i)-(l).
"""

from __future__ import annotations

from batches import (
    BATCH_MATRICES,
    BATCH_SIZES,
    BATCH_SYSTEM_ORDER,
    BYTES_PER_RESULT_SLOT,
    memory_budget,
    plural,
    size_label,
)
from features import (
    FAISS_SQ_F16,
    FEATURE_MATRIX,
    FILTER_SHARES,
    MANY_K10,
    RANGE,
    RANGE_KEPT,
    RANGE_PROGRESS,
    RANGE_QUERIES,
    USEARCH_F16,
    VELK_BF16,
    VELK_F16,
    VELK_F32_SAME,
    VELK_UNFILTERED,
    feature_label,
    filtered_name,
    stream_name,
)
from scenarios import MATRIX_SCENARIOS
from timing import fmt_time, median_of_ratios


def find(results, scenario, system, k=None):
    for entry in results:
        if entry["scenario"] == scenario and entry["system"] == system and (k is None or entry["k"] == k):
            return entry if "median_s" in entry else None
    return None


def share_of_stream(entry: dict, stream: dict) -> float:
    """How close a call comes to the streaming read of the same matrix (1.0 = as fast).

    Medians, not minimums: this machine's memory bandwidth is shared with its
    neighbours and now and then one read runs far faster than the rest (55
    GB/s once where 34-36 is usual), which would make a best-of ratio a
    lottery. Both medians come from the same interleaved rounds.
    """
    return stream["median_s_per_pass"] / entry["median_s"]


def evaluate_targets(report) -> list[dict]:
    """Every target, the one-query scenarios' first."""
    return one_query_targets(report) + engine_targets(report) + feature_targets(report)


def judged(name: str, value, wanted: str, passed, shown: str) -> dict:
    """A target row; `passed` None when there was nothing to judge."""
    return {"target": name, "wanted": wanted, "value": value,
            "status": "n/a" if passed is None else ("PASS" if passed else "MISS"), "shown": shown}


def reported(name: str, value, shown: str) -> dict:
    """A row shown beside the targets but not judged."""
    return {"target": name, "wanted": "reported", "value": value, "status": "info", "shown": shown}


def one_query_targets(report) -> list[dict]:
    results = report["results"]
    threads = report["threads"]
    targets = []

    def add(name, value, wanted, passed, shown):
        targets.append(judged(name, value, wanted, passed, shown))

    velk = find(results, "a", "velk", 10)
    whole = share_of_stream(velk, velk["stream"][str(threads)]) if velk else None
    # The scan is part of the call, so the whole call's share is a lower bound
    # of the scan's share on this very matrix; the C++ benchmark times the scan
    # alone, but on memory of its own (other page sizes, another moment).
    scan = (report.get("scan") or {}).get("share_of_stream", {}).get(str(threads))
    candidates = [(value, source) for value, source in ((scan, "C++ row scorer"), (whole, "bound by the whole call"))
                  if value is not None]
    scan_value, scan_source = max(candidates) if candidates else (None, None)
    add("(a) k=10 scan share of streaming read", scan_value, ">= 0.90",
        None if scan_value is None else scan_value >= 0.9,
        "—" if scan_value is None else f"{scan_value:.2f} ({scan_source})")
    add("(a) k=10 whole call share of streaming read", whole, ">= 0.80",
        None if whole is None else whole >= 0.8, "—" if whole is None else f"{whole:.2f}")

    def speedup_over(*names):
        peers = [find(results, "a", name, 10) for name in names]
        peers = [p for p in peers if p]
        if not velk or not peers:
            return None
        return min(p["median_s"] for p in peers) / velk["median_s"]

    # The numpy peer with norms per call is the common idiom (np.linalg.norm).
    # The einsum form is shown beside it but is not what the target counts: it
    # reads the matrix twice (einsum on one thread, the product on all), and
    # here one thread already reads at close to the bandwidth of two, so it
    # takes about three streaming reads. Being 3x faster than it would mean
    # finishing the whole call, ranking included, within one streaming read.
    for label, names, want in (
        ("numpy with norms per call", ("numpy (norms per call)",), 3.0),
        ("numpy with norms precomputed", ("numpy (norms precomputed)",), 1.3),
        ("FAISS IndexFlatIP", ("FAISS IndexFlatIP",), 1.0),
        ("USearch exact", ("USearch exact",), 1.0),
    ):
        value = speedup_over(*names)
        add(f"(a) k=10 speed-up over {label}", value, f">= {want:g}x",
            None if value is None else value >= want, "—" if value is None else f"{value:.2f}x")
    value = speedup_over("numpy (einsum norms per call)")
    if value is not None:
        targets.append(reported("(a) k=10 speed-up over numpy with einsum norms per call", value, f"{value:.2f}x"))
    latency = find(results, "d", "velk", 10)
    value = latency["median_s"] if latency else None
    add("(d) median latency per call", value, "<= 50 µs",
        None if value is None else value <= 50e-6, "—" if value is None else fmt_time(value))
    flat = find(results, "e", "velk top_k_flat (flat list)")
    asarray = find(results, "e", "numpy.asarray(flat list)")
    value = asarray["median_s"] / flat["median_s"] if flat and asarray else None
    add("(e) top_k_flat vs numpy.asarray alone", value, "> 1x (faster)",
        None if value is None else value > 1.0, "—" if value is None else f"{value:.2f}x")
    return targets


# ---------------------------------------------------------------- the batch engine

def find_batch(results, scenario, system, full_rows, queries):
    """The entry of a batch case, by the matrix's row count before any --scale."""
    for entry in results:
        if (entry["scenario"] == scenario and entry["system"] == system and entry.get("full_rows") == full_rows
                and entry.get("queries") == queries):
            return entry
    return None


def per_round_ratio(numerator: dict | None, denominator: dict | None) -> float | None:
    """Median over the rounds of numerator time / denominator time, when both
    were timed in the same interleaved rounds."""
    if not numerator or not denominator or "samples_s" not in numerator or "samples_s" not in denominator:
        return None
    try:
        return median_of_ratios(numerator["samples_s"], denominator["samples_s"])
    except ValueError:
        return None


def stream_share(entry: dict | None, threads: int) -> float | None:
    """Median over the rounds of the streaming read's time / the call's time."""
    stream = (entry or {}).get("stream", {}).get(str(threads), {})
    if "samples_s_per_pass" not in stream:
        return None
    return per_round_ratio({"samples_s": stream["samples_s_per_pass"]}, entry)


def scoring_rate(entry: dict) -> float:
    """Multiply/add pairs per second of a batch call, counted as queries x rows x dim."""
    return entry["queries"] * entry["rows"] * entry["dim"] / entry["median_s"]


def peak_rate(report) -> float | None:
    """The probe's best rate at the run's thread count, in pairs per second."""
    peak = (report.get("peak") or {}).get("by_threads", {}).get(str(report["threads"]))
    return peak["gpairs_best"] * 1e9 if peak else None


def one_query_label(key: str) -> str:
    spec = MATRIX_SCENARIOS[key]
    return f"({key}) {spec['rows'] // 1_000_000}M x {spec['dim']}, k=10"


def engine_targets(report) -> list[dict]:
    results, threads = report["results"], report["threads"]
    targets = []

    def ratio_row(name, value, wanted, limit, unit=""):
        targets.append(judged(name, value, wanted, None if value is None else value >= limit,
                              "—" if value is None else f"{value:.2f}{unit}"))

    # One query: each of velk's fronts against the streaming read of the same
    # matrix and against numpy on rows normalised beforehand, round by round.
    for key in ("a", "b"):
        numpy = find(results, key, "numpy (pre-normalised rows)", 10)
        for system, front in (("velk.search", "velk.search"), ("velk", "top_k_flat_np")):
            entry = find(results, key, system, 10)
            ratio_row(f"{one_query_label(key)} {front}: share of the {threads}-thread streaming read",
                      stream_share(entry, threads), ">= 0.90 (per-round median)", 0.9)
            ratio_row(f"{one_query_label(key)} {front}: speed-up over numpy on pre-normalised rows",
                      per_round_ratio(numpy, entry), ">= 1.2x (per-round median)", 1.2, "x")

    # Round by round where the bursts were interleaved (runs from 2026-12-09
    # 03:40 on); the ratio of the two medians in earlier runs.
    velk, faiss = find(results, "d", "velk.search", 10), find(results, "d", "FAISS IndexFlatIP", 10)
    value = per_round_ratio(velk, faiss)
    wanted = "no slower (per-round median)"
    if value is None and velk and faiss:
        value, wanted = velk["median_s"] / faiss["median_s"], "no slower (medians)"
    targets.append(judged("(d) velk.search latency against FAISS IndexFlatIP", value, wanted,
                          None if value is None else value <= 1.0,
                          "—" if value is None else
                          f"{fmt_time(velk['median_s'])} vs {fmt_time(faiss['median_s'])} ({value:.2f}x)"))

    peak = peak_rate(report)
    for full_rows, dim in BATCH_MATRICES:
        label = f"(g) {size_label(full_rows)} x {dim}"
        for size in BATCH_SIZES:
            entry = find_batch(results, "g", BATCH_SYSTEM_ORDER[0], full_rows, size)
            value = (entry or {}).get("speedup_over_fastest_peer")
            shown = "—" if value is None else f"{value:.2f}x"
            name = f"{label}, {plural(size, 'query', 'queries')}: speed-up over the fastest peer"
            if size >= 16:
                targets.append(judged(name, value, ">= 1.5x", None if value is None else value >= 1.5, shown))
            elif value is not None:
                targets.append(reported(name, value, shown))
        entry = find_batch(results, "g", BATCH_SYSTEM_ORDER[0], full_rows, max(BATCH_SIZES))
        value = scoring_rate(entry) / peak if entry and "median_s" in entry and peak else None
        targets.append(judged(f"{label}, {max(BATCH_SIZES)} queries: scoring rate, share of the multiply/add peak",
                              value, ">= 0.50", None if value is None else value >= 0.5,
                              "—" if value is None else
                              f"{value:.2f} ({scoring_rate(entry) / 1e9:.0f} of {peak / 1e9:.0f} G pairs/s)"))

    rss = report.get("batch_rss")
    if rss:
        budget = memory_budget(rss)
        # The warm call: the first also starts the worker pool, once per process.
        extra = rss["warm_call"]["extra_bytes"]
        shown = f"{extra / 2**20:.1f} MiB of {budget / 2**20:.1f} MiB ({extra / rss['rows']:.1f} B/row), warm call"
        targets.append(judged(f"(g) extra memory of a search_many call ({rss['queries']} queries, "
                              f"{rss['rows']:,} rows)", extra / budget,
                              f"<= 16 B/row + {BYTES_PER_RESULT_SLOT} B/result", extra <= budget, shown))
    else:
        targets.append(judged("(g) extra memory of a search_many call", None,
                              f"<= 16 B/row + {BYTES_PER_RESULT_SLOT} B/result", None, "—"))

    dedup = next((e for e in results if e["scenario"] == "h" and e["system"] == BATCH_SYSTEM_ORDER[0]), None)
    if dedup and "speedup_over_fastest_peer" in dedup:
        value = dedup["speedup_over_fastest_peer"]
        targets.append(reported("(h) duplicate detection: speed-up over the fastest peer", value, f"{value:.2f}x"))
    if dedup and "median_s" in dedup and peak:
        value = scoring_rate(dedup) / peak
        # queries x rows x dim pairs answered; velk scores each pair of rows once here, so this may pass 1.
        targets.append(reported("(h) duplicate detection: scoring rate, share of the multiply/add peak", value,
                                f"{value:.2f}"))
    return targets


# ---------------------------------------------------------------- half precision, filters, threshold search

def find_feature(results, scenario, system):
    """A timed entry of (i)-(l), or None."""
    for entry in results:
        if entry["scenario"] == scenario and entry["system"] == system:
            return entry if "samples_s" in entry else None
    return None


def feature_targets(report) -> list[dict]:
    """(i)-(l): every value is a median over the rounds of one interleaved run
    of the ratio of two calls' times in that round."""
    results, threads = report["results"], report["threads"]
    targets = []
    full_rows, dim = FEATURE_MATRIX

    def row(name, scenario, numerator, denominator, wanted, passes, unit="x", info=False):
        value = per_round_ratio(find_feature(results, scenario, numerator), find_feature(results, scenario, denominator))
        shown = "—" if value is None else f"{value:.2f}{unit}"
        if info:
            if value is not None:
                targets.append(reported(name, value, shown))
        else:
            targets.append(judged(name, value, wanted, None if value is None else passes(value), shown))

    half, single = feature_label("i", full_rows, dim, "float16"), feature_label("k", full_rows, dim, "float32")
    row(f"{half} velk.search: speed-up over the float32 search of the same values", "i",
        VELK_F32_SAME, VELK_F16, ">= 1.6x (per-round median)", lambda v: v >= 1.6)
    row(f"{half} velk.search: share of the {threads}-thread streaming read of the float16 bytes", "i",
        stream_name("float16", threads), VELK_F16, ">= 0.90 (per-round median)", lambda v: v >= 0.9, unit="")
    row(f"{feature_label('i', full_rows, dim, 'float32')} (the float16 values) velk.search: share of the "
        f"{threads}-thread streaming read of the float32 bytes", "i",
        stream_name("float32", threads), VELK_F32_SAME, None, None, unit="", info=True)
    brain = feature_label("i", full_rows, dim, "bfloat16")
    row(f"{brain} velk.search: speed-up over float32", "i", VELK_F32_SAME, VELK_BF16, None, None, info=True)
    row(f"{brain} velk.search: share of the {threads}-thread streaming read of 2-byte elements", "i",
        stream_name("float16", threads), VELK_BF16, None, None, unit="", info=True)
    for peer in (USEARCH_F16, FAISS_SQ_F16):
        row(f"{feature_label('j', full_rows, dim, 'float16')} velk.search: speed-up over {peer}", "j",
            peer, VELK_F16, "> 1x (faster, per-round median)", lambda v: v > 1.0)
    for share in FILTER_SHARES:
        name = f"{single} velk.search where= {share:.0%} of rows: speed-up over the unfiltered search"
        if share >= 0.1:
            row(name, "k", VELK_UNFILTERED, filtered_name(share), ">= 1x (no slower, per-round median)",
                lambda v: v >= 1.0)
        else:
            row(name, "k", VELK_UNFILTERED, filtered_name(share), ">= 2x (per-round median)", lambda v: v >= 2.0)
    label = f"{feature_label('l', full_rows, dim, 'float32')}, {RANGE_QUERIES} queries, about {RANGE_KEPT:.1%} of rows kept"
    row(f"{label}: search_range speed-up over search_many k=10", "l", MANY_K10, RANGE,
        ">= 1x (as fast or faster, per-round median)", lambda v: v >= 1.0)
    row(f"{label}: search_range time with progress=fn / without", "l", RANGE_PROGRESS, RANGE, None, None,
        info=True)
    return targets
