"""The report of a run: the markdown tables (the targets' verdicts come from
targets.py), the plot, and the description of the machine and its BLAS library.
"""

from __future__ import annotations

import platform
from pathlib import Path

from batches import BATCH_SYSTEM_ORDER, BYTES_PER_RESULT_SLOT, memory_budget, plural, size_label
from features import BASELINES, FEATURE_SCENARIOS, TITLES, feature_label
from scenarios import LATENCY_SCENARIO, MATRIX_SCENARIOS
from systems import SYSTEM_ORDER
from targets import find, find_batch, peak_rate, per_round_ratio, scoring_rate, share_of_stream
from timing import cpu_flags, fmt_time


def fmt_ratio(ratio: float) -> str:
    return f"{ratio:.2f}x" if ratio < 10 else f"{ratio:.0f}x"


# ---------------------------------------------------------------- tables

SCENARIO_LABELS = {
    ("a", 10): "(a) 1M x 384, k=10",
    ("a", 1000): "(a) 1M x 384, k=1000",
    ("b", 10): "(b) 3M x 128, k=10",
    ("c", 100): "(c) 100k x 768, k=100",
    ("d", 10): "(d) 1k x 128, k=10 (per call)",
}


def scenario_label(key, k, rows) -> str:
    label = SCENARIO_LABELS.get((key, k), f"({key}) k={k}")
    if key != LATENCY_SCENARIO and rows != MATRIX_SCENARIOS[key]["rows"]:
        label += f" [{rows:,} rows]"
    return label


def matrix_cases(results):
    seen = []
    for entry in results:
        if entry["scenario"] in MATRIX_SCENARIOS and (entry["scenario"], entry["k"], entry["rows"]) not in seen:
            seen.append((entry["scenario"], entry["k"], entry["rows"]))
    return seen


def markdown(report) -> str:
    results = report["results"]
    threads = report["threads"]
    systems = [s for s in SYSTEM_ORDER if any(e["system"] == s and e["scenario"] in MATRIX_SCENARIOS for e in results)]
    cases = matrix_cases(results)
    lines = [
        f"Measured {report['date']} on {report['machine']['cpu']} ({report['machine']['cpus']} CPUs), "
        f"Python {report['machine']['python']}, "
        + ", ".join(f"{name} {version}" for name, version in report["versions"].items())
        + f". Median of {report['runs']} runs after a warm-up (minimum in the JSON); all systems at {threads} threads "
        "unless stated. velk is `_velk.top_k_flat_np`, velk.search the package's front (numpy arrays in and out). "
        "In brackets: peer median / velk median. Last column: the median streaming read of the same "
        "matrix, and velk's share of it (median read time / median velk time; 1.00 = at the memory limit).",
    ]
    scaling = report.get("compute_scaling")
    if scaling:
        lines += ["", f"Cores' worth of multiplies and adds that {threads} threads got just before each "
                  f"scenario (bench/mul_add_peak.c, median of 5 calls against 1 thread; {threads}.0 = "
                  f"{threads} full cores; lower when the host gives the virtual processors less than "
                  "that, and every result that needs both processors' arithmetic drops with it): "
                  + ", ".join(f"({key}) {value:.2f}" for key, value in scaling.items()) + "."]
    if cases:
        lines += ["", "| scenario | " + " | ".join(systems) + f" | streaming read, {threads} threads |",
                  "|---" * (len(systems) + 2) + "|"]
    for key, k, rows in cases:
        cells = []
        velk = find(results, key, "velk", k)
        for system in systems:
            entry = find(results, key, system, k)
            if entry is None:
                cells.append("—")
            elif system == "velk" or velk is None:
                cells.append(fmt_time(entry["median_s"]))
            else:
                cells.append(f"{fmt_time(entry['median_s'])} ({fmt_ratio(entry['median_s'] / velk['median_s'])})")
        any_entry = next((e for e in results if e["scenario"] == key and e["k"] == k and "stream" in e), None)
        if any_entry is None:
            cells.append("—")
        else:
            stream = any_entry["stream"][str(threads)]
            share = f", velk at {share_of_stream(velk, stream):.2f}" if velk else ""
            cells.append(f"{stream['gbps_median']:.1f} GB/s (best {stream['gbps_best']:.1f}){share}")
        lines.append(f"| {scenario_label(key, k, rows)} | " + " | ".join(cells) + " |")

    list_entries = [e for e in results if e["scenario"] == "e"]
    if list_entries:
        rows = list_entries[0]["rows"]
        lines += ["", f"(e) From Python lists, {rows:,} x 128, k = 10:", "", "| call | median | min |", "|---|---|---|"]
        for entry in list_entries:
            if "median_s" in entry:
                lines.append(f"| {entry['system']} | {fmt_time(entry['median_s'])} | {fmt_time(entry['min_s'])} |")
            else:
                lines.append(f"| {entry['system']} | failed | — |")

    if report.get("threads_scaling"):
        lines += ["", "(f) velk at 1 thread and at "
                  f"{threads} threads (share of the streaming read at the same thread count, medians):", "",
                  f"| scenario | 1 thread | {threads} threads | speed-up | share, 1 thr | share, {threads} thr |",
                  "|---|---|---|---|---|---|"]
        for one in report["threads_scaling"]:
            many = find(results, one["scenario"], "velk", one["k"])
            if many is None:
                continue
            stream = many["stream"]
            share1 = share_of_stream(one, stream["1"])
            shareN = share_of_stream(many, stream[str(threads)])
            lines.append(
                f"| {scenario_label(one['scenario'], one['k'], one['rows'])} | {fmt_time(one['median_s'])} | "
                f"{fmt_time(many['median_s'])} | {one['median_s'] / many['median_s']:.2f}x | "
                f"{share1:.2f} | {shareN:.2f} |")

    scan = report.get("scan") or {}
    if scan.get("share_of_stream"):
        shares = ", ".join(f"{t} thread{'s' if t != '1' else ''} {share:.2f}"
                           for t, share in sorted(scan["share_of_stream"].items()))
        placed = (f", rows starting {4 * scan['offset_floats']} bytes past a cache line as in the matrices above"
                  if scan.get("offset_floats") else "")
        lines += ["", f"The scan alone (C++ row-scorer benchmark, {scan['kernel']} kernel, "
                  f"{scan['rows']:,} x {scan['dim']}{placed}, no ranking, "
                  f"no Python), as a share of its own streaming read (medians): {shares}."]

    rss = report.get("rss")
    if rss:
        budget = 16 * rss["rows"]
        lines += ["", f"Peak extra RSS of one `top_k_flat_np` call on (a) ({rss['rows']:,} rows; 16 bytes per row = "
                  f"{budget / 2**20:.1f} MiB): first call {rss['first_call']['extra_bytes'] / 2**20:.1f} MiB "
                  f"({rss['first_call']['extra_bytes'] / budget:.2f}x), warm call "
                  f"{rss['warm_call']['extra_bytes'] / 2**20:.1f} MiB ({rss['warm_call']['extra_bytes'] / budget:.2f}x)."]

    lines += batch_tables(report)
    lines += feature_tables(report)
    lines += ["", "| target | wanted | measured | |", "|---|---|---|---|"]
    for target in report["targets"]:
        lines.append(f"| {target['target']} | {target['wanted']} | {target['shown']} | {target['status']} |")
    return "\n".join(lines) + "\n"


def batch_cell(entry: dict | None, velk: dict | None) -> str:
    if entry is None:
        return "—"
    if "error" in entry:
        return "failed"
    if "estimated_s" in entry:
        return f"about {fmt_time(entry['estimated_s'])} (estimated, not timed)"
    shown = fmt_time(entry["median_s"]) + (" (one cold call)" if entry.get("single_call") else "")
    if velk is None or entry is velk or "median_s" not in velk and "estimated_s" not in velk:
        return shown
    ratio = per_round_ratio(entry, velk) if not entry.get("single_call") and not velk.get("single_call") else None
    if ratio is None:
        ratio = entry["median_s"] / velk.get("median_s", velk.get("estimated_s"))
    return f"{shown} ({fmt_ratio(ratio)})"


def batch_tables(report) -> list[str]:
    results = [e for e in report["results"] if e["scenario"] in ("g", "h")]
    if not results:
        return []
    systems = [s for s in BATCH_SYSTEM_ORDER if any(e["system"] == s for e in results)]
    cases = []
    for entry in results:
        case = (entry["scenario"], entry["full_rows"], entry["rows"], entry["dim"], entry["queries"])
        if case not in cases:
            cases.append(case)
    peak = peak_rate(report)
    lines = ["", f"(g) Batches of queries and (h) duplicate detection, k = 10: median time per call over "
             f"{report.get('batch_runs', '?')} rounds, each round running every system once in shuffled order "
             "after a pause. In brackets: the median over rounds of the peer's time / velk's. Last column: "
             "velk's scoring rate (queries x rows x dim multiply/add pairs per second, whole call) and its share "
             "of the multiply/add peak below.", "",
             "| case | " + " | ".join(systems) + " | velk's scoring rate |", "|---" * (len(systems) + 2) + "|"]
    for scenario, full_rows, rows, dim, queries in cases:
        velk = find_batch(results, scenario, BATCH_SYSTEM_ORDER[0], full_rows, queries)
        cells = [batch_cell(find_batch(results, scenario, system, full_rows, queries), velk) for system in systems]
        if velk and "median_s" in velk:
            rate = scoring_rate(velk)
            cells.append(f"{rate / 1e9:.1f} G pairs/s" + (f" ({rate / peak:.2f} of peak)" if peak else ""))
        else:
            cells.append("—")
        scaled = f" [{rows:,} rows]" if rows != full_rows else ""
        label = (f"(g) {size_label(full_rows)} x {dim}, {plural(queries, 'query', 'queries')}"
                 if scenario == "g" else f"(h) {size_label(full_rows)} x {dim} against itself")
        lines.append(f"| {label}{scaled} | " + " | ".join(cells) + " |")
    probe = report.get("peak")
    if probe:
        rates = ", ".join(f"{count} thread{'s' if count != '1' else ''} {measured['gpairs_best']:.1f}"
                          for count, measured in probe["by_threads"].items())
        lines += ["", f"Multiply/add peak without FMA (bench/mul_add_peak.c: separate multiplies and adds on "
                  f"{probe['chains']} register chains of {probe['lanes']} lanes per thread), best of "
                  f"{report.get('batch_runs', '?')} calls, in G pairs/s: {rates}."]
    rss = report.get("batch_rss")
    if rss:
        budget = memory_budget(rss)
        lines += ["", f"Peak extra RSS of one `velk.search_many` call of {rss['queries']} queries over "
                  f"{rss['rows']:,} x {rss['dim']} (k = {rss['k']}; budget 16 bytes per row + "
                  f"{BYTES_PER_RESULT_SLOT} per result = {budget / 2**20:.1f} MiB): first call "
                  f"{rss['first_call']['extra_bytes'] / 2**20:.1f} MiB, warm call "
                  f"{rss['warm_call']['extra_bytes'] / 2**20:.1f} MiB."]
    return lines


def feature_notes(entry: dict) -> str:
    """What the checks of a call of (i)-(l) found, for the table's last column."""
    notes = []
    if "identical" in entry:
        notes.append("bit-identical to float32" if entry["identical"] else "NOT identical to float32")
    if "overlap" in entry:
        notes.append(f"overlap {entry['overlap']:.3f}")
    if "allowed_share" in entry and entry["allowed_share"] < 1.0:
        notes.append(f"{entry['allowed_share']:.2%} of rows allowed")
    if "kept_share" in entry:
        notes.append(f"{entry['results']:,} results ({entry['kept_share']:.3%} of pairs), threshold "
                     f"{entry['threshold']:.4f}")
    if "agrees_with_search_many" in entry:
        notes.append("heads equal search_many's" if entry["agrees_with_search_many"]
                     else "heads DIFFER from search_many's")
    if "progress_reports" in entry:
        notes.append(f"{entry['progress_reports']} progress reports per call")
    if entry.get("stream"):
        notes.append(f"{entry['gbps_median']:.1f} GB/s")
    return ", ".join(notes)


def feature_tables(report) -> list[str]:
    """(i)-(l): one row per call, its median and its per-round ratio to the scenario's reference call."""
    results = [e for e in report["results"] if e["scenario"] in FEATURE_SCENARIOS]
    if not results:
        return []
    lines = ["", "(i)-(l) Half precision, row filters and threshold search: median time per call, each round "
             "running every call of a scenario once in shuffled order after a pause (rounds: "
             f"{report.get('runs', '?')} for (i)-(k), {report.get('batch_runs', '?')} for (l)). Ratio: the median "
             "over rounds of the call's time / the reference call's time in the same round (below 1 = faster).",
             "", "| case | call | median | ratio to the reference | checks |", "|---|---|---|---|---|"]
    for scenario in FEATURE_SCENARIOS:
        entries = [e for e in results if e["scenario"] == scenario]
        if not entries:
            continue
        first = entries[0]
        case = f"{feature_label(scenario, first['full_rows'], first['dim'])}: {TITLES[scenario]}"
        if first["rows"] != first["full_rows"]:
            case += f" [{first['rows']:,} rows]"
        reference = next((e for e in entries if e["system"] == BASELINES[scenario] and "samples_s" in e), None)
        for entry in entries:
            if "error" in entry or "samples_s" not in entry:
                lines.append(f"| {case} | {entry['system']} | failed | — | {entry.get('error', '')[:80]} |")
                continue
            if entry is reference:
                ratio = "reference"
            else:
                value = per_round_ratio(entry, reference)
                ratio = "—" if value is None else f"{value:.2f}"
            lines.append(f"| {case} | {entry['system']} | {fmt_time(entry['median_s'])} | {ratio} | "
                         f"{feature_notes(entry)} |")
    return lines


def feature_costs(report) -> str | None:
    """The guide's section on what float16, filters, threshold search and
    progress cost: the (i)-(l) table of this run and its verdicts, or None
    when the run had none of those scenarios."""
    table = feature_tables(report)
    if not table:
        return None
    versions = ", ".join(f"{name} {version}" for name, version in report["versions"].items())
    lines = [f"Measured {report['date']} on {report['machine']['cpu']} ({report['machine']['cpus']} CPUs, "
             f"{report['threads']} threads), {versions}" + (" (a quick run: tiny matrices)" if report.get("quick")
                                                            else "") + "."]
    lines += table
    verdicts = [t for t in report.get("targets", []) if t["target"][:3] in {f"({s})" for s in FEATURE_SCENARIOS}]
    if verdicts:
        lines += ["", "| measured | value | wanted |", "|---|---|---|"]
        lines += [f"| {t['target']} | {t['shown']} | {t['wanted']} |" for t in verdicts]
    return "\n".join(lines) + "\n"


def plot(report, path: Path, log) -> None:
    try:
        import matplotlib  # noqa: PLC0415

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # noqa: PLC0415
    except ImportError:
        log("note: matplotlib is not installed; no plot")
        return
    results = report["results"]
    cases = [(key, k, rows) for key, k, rows in matrix_cases(results)]
    systems = [s for s in SYSTEM_ORDER
               if any(e["system"] == s and e["scenario"] in MATRIX_SCENARIOS and "median_s" in e for e in results)]
    list_systems = [e["system"] for e in results if e["scenario"] == "e" and "median_s" in e]
    batch_results = [e for e in results if e["scenario"] in ("g", "h")]
    feature_results = [e for e in results if e["scenario"] in FEATURE_SCENARIOS and "samples_s" in e]
    rows_of_panels = 1 + bool(batch_results) + bool(feature_results)
    figure = plt.figure(figsize=(15, 6 * rows_of_panels))
    grid = figure.add_gridspec(rows_of_panels, 2, width_ratios=[4, 1])
    axes = [figure.add_subplot(grid[0, 0]), figure.add_subplot(grid[0, 1])]
    width = 0.8 / max(1, len(systems))
    palette = plt.get_cmap("tab10")
    # One colour per system across the panels.
    colour_of = {name: palette(index % 10) for index, name in enumerate(SYSTEM_ORDER + (BATCH_SYSTEM_ORDER[0],))}
    for index, system in enumerate(systems):
        xs, ys = [], []
        for position, (key, k, _) in enumerate(cases):
            entry = find(results, key, system, k)
            if entry:
                xs.append(position + (index - (len(systems) - 1) / 2) * width)
                ys.append(entry["median_s"] * 1e3)
        axes[0].bar(xs, ys, width, label=system, color=colour_of[system])
    # The streaming read of the same bytes: no scan of the matrix can be faster.
    for position, (key, k, _) in enumerate(cases):
        entry = next((e for e in results if e["scenario"] == key and e["k"] == k and "stream" in e), None)
        if entry:
            limit = entry["stream"][str(report["threads"])]["median_s_per_pass"] * 1e3
            axes[0].hlines(limit, position - 0.45, position + 0.45, colors="black", linestyles="dashed",
                           label="streaming read of the matrix" if position == 0 else None)
    axes[0].set_xticks(range(len(cases)))
    axes[0].set_xticklabels([scenario_label(*case).replace(", ", "\n", 1) for case in cases], fontsize=8)
    axes[0].set_yscale("log")
    axes[0].set_ylabel("median time per call (ms, log scale)")
    axes[0].set_title(f"One query, exact cosine top-k, {report['threads']} threads")
    if systems:
        axes[0].legend(fontsize=8)
    axes[0].grid(axis="y", which="both", alpha=0.3)
    for index, system in enumerate(list_systems):
        entry = find(results, "e", system)
        colour = colour_of["velk"] if system.startswith("velk") else "0.6"
        axes[1].bar([index], [entry["median_s"] * 1e3], 0.7, color=colour, hatch="//" if "lists" in system else None)
    axes[1].set_xticks(range(len(list_systems)))
    axes[1].set_xticklabels([s.replace(" (", "\n(") for s in list_systems], fontsize=7, rotation=30, ha="right")
    axes[1].set_yscale("log")
    if list_systems:
        # Bars on a log axis read as ratios only from a common floor well below them.
        lowest = min(find(results, "e", system)["median_s"] for system in list_systems) * 1e3
        axes[1].set_ylim(bottom=lowest / 10)
    axes[1].set_ylabel("median time per call (ms, log scale)")
    axes[1].set_title("(e) from Python lists")
    axes[1].grid(axis="y", which="both", alpha=0.3)
    if batch_results:
        plot_batches(figure.add_subplot(grid[1, :]), batch_results, colour_of, report)
    if feature_results:
        plot_features(figure.add_subplot(grid[rows_of_panels - 1, :]), feature_results)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def plot_batches(axis, results, colour_of, report) -> None:
    """(g) and (h): median time per call of each batch system, log scale;
    hatched bars are single cold calls or estimates."""
    cases = []
    for entry in results:
        case = (entry["scenario"], entry["full_rows"], entry["dim"], entry["queries"])
        if case not in cases:
            cases.append(case)
    systems = [s for s in BATCH_SYSTEM_ORDER if any(e["system"] == s for e in results)]
    width = 0.8 / max(1, len(systems))
    for index, system in enumerate(systems):
        labelled = False
        for position, (scenario, full_rows, _, queries) in enumerate(cases):
            entry = find_batch(results, scenario, system, full_rows, queries) or {}
            seconds = entry.get("median_s", entry.get("estimated_s"))
            if not seconds:
                continue
            rough = "estimated_s" in entry or entry.get("single_call")
            axis.bar([position + (index - (len(systems) - 1) / 2) * width], [seconds], width,
                     color=colour_of[system], hatch="//" if rough else None, label=None if labelled else system)
            labelled = True
    axis.set_xticks(range(len(cases)))
    axis.set_xticklabels([f"({scenario}) {size_label(rows)} x {dim}\n"
                          + (plural(queries, "query", "queries") if scenario == "g" else "against itself")
                          for scenario, rows, dim, queries in cases], fontsize=8)
    axis.set_yscale("log")
    axis.set_ylabel("median time per call (s, log scale)")
    axis.set_title(f"Batches of queries, k = 10, {report['threads']} threads (hatched: one cold call, or estimated)")
    axis.legend(fontsize=8)
    axis.grid(axis="y", which="both", alpha=0.3)


def plot_features(axis, results) -> None:
    """(i)-(l): each call's time as a share of its scenario's reference call,
    the median of the per-round ratios; below 1 is faster."""
    labels, values, colours = [], [], []
    for scenario in FEATURE_SCENARIOS:
        entries = [e for e in results if e["scenario"] == scenario]
        reference = next((e for e in entries if e["system"] == BASELINES[scenario]), None)
        for entry in entries:
            value = 1.0 if entry is reference else per_round_ratio(entry, reference)
            if value is None:
                continue
            labels.append(f"({scenario}) {entry['system']}".replace(" (", "\n(").replace(", 2", "\n2"))
            values.append(value)
            colours.append("0.7" if entry.get("stream") else ("tab:blue" if entry["system"].startswith("velk")
                                                              else "tab:orange"))
    axis.bar(range(len(values)), values, 0.7, color=colours)
    axis.axhline(1.0, color="black", linewidth=0.8)
    axis.set_xticks(range(len(values)))
    axis.set_xticklabels(labels, fontsize=6, rotation=35, ha="right")
    axis.set_yscale("log")
    axis.set_ylabel("time / the scenario's reference call\n(median of per-round ratios, log scale)")
    axis.set_title("(i)-(l) half precision, filters, threshold search: each call against its scenario's "
                   "reference (the bar at 1); grey: streaming reads, orange: peers")
    axis.grid(axis="y", which="both", alpha=0.3)


def machine_info(threads: int) -> dict:
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    flags = cpu_flags()
    return {
        "cpu": cpu,
        "cpus": threads,
        "avx2": "avx2" in flags,
        "avx512f": "avx512f" in flags,
        "python": platform.python_version(),
        "kernel": platform.release(),
    }


def blas_info() -> list[dict]:
    try:
        from threadpoolctl import threadpool_info  # noqa: PLC0415

        return [{k: v for k, v in info.items() if k in ("internal_api", "prefix", "version", "architecture", "num_threads")}
                for info in threadpool_info()]
    except ImportError:
        return []
