#!/usr/bin/env python3
"""Copies the tables of the latest benchmark run (bench/results/latest.md) into
docs/benchmarks.md and the README, between their result markers, and the
measured costs of float16, filters, threshold search and progress
(bench/results/latest-costs.md, from scenarios (i)-(l)) into the guide,
between its cost markers.

A run of the benchmark writes bench/results only; the documents change when
this is run on purpose (`make bench-docs`), after a run worth publishing.
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"
DOCUMENTS = (ROOT / "docs" / "benchmarks.md", ROOT / "README.md")
COSTS_BEGIN, COSTS_END = "<!-- costs:begin -->", "<!-- costs:end -->"
COSTS_DOCUMENT = ROOT / "docs" / "guide.md"


def update_between_markers(path: Path, table: str, log, begin: str = BEGIN, end: str = END) -> bool:
    """Replaces what lies between the two markers of `path` with `table`."""
    try:
        text = path.read_text()
    except OSError as error:
        log(f"note: {path} not read ({error}); not updated")
        return False
    if begin not in text or end not in text:
        log(f"note: {path} has no {begin} ... {end} markers; not updated")
        return False
    head, rest = text.split(begin, 1)
    tail = rest.split(end, 1)[1]
    path.write_text(f"{head}{begin}\n{table}{end}{tail}")
    return True


def main(argv: list[str]) -> int:
    results = Path(argv[0]) if argv else ROOT / "bench" / "results" / "latest.md"
    try:
        table = results.read_text()
    except OSError as error:
        print(f"bench-docs: no results to copy ({error}); run `make bench` first", file=sys.stderr)
        return 1
    for path in DOCUMENTS:
        if update_between_markers(path, table, print):
            print(f"bench-docs: {path.relative_to(ROOT)} now shows {results.name}")
    costs = results.with_name(results.stem + "-costs.md")
    if costs.exists():
        if update_between_markers(COSTS_DOCUMENT, costs.read_text(), print, COSTS_BEGIN, COSTS_END):
            print(f"bench-docs: {COSTS_DOCUMENT.relative_to(ROOT)} now shows {costs.name}")
    else:
        print(f"bench-docs: no {costs.name} (the run had none of the scenarios i-l); the guide's costs are unchanged")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
