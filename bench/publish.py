#!/usr/bin/env python3
"""Copies the tables of the latest benchmark run (bench/results/latest.md) into
docs/benchmarks.md and the README, between their result markers.

A run of the benchmark writes bench/results only; the documents change when
this is run on purpose (`make bench-docs`), after a run worth publishing.
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"
DOCUMENTS = (ROOT / "docs" / "benchmarks.md", ROOT / "README.md")


def update_between_markers(path: Path, table: str, log) -> bool:
    """Replaces what lies between the two markers of `path` with `table`."""
    try:
        text = path.read_text()
    except OSError as error:
        log(f"note: {path} not read ({error}); not updated")
        return False
    if BEGIN not in text or END not in text:
        log(f"note: {path} has no result markers; not updated")
        return False
    head, rest = text.split(BEGIN, 1)
    tail = rest.split(END, 1)[1]
    path.write_text(f"{head}{BEGIN}\n{table}{END}{tail}")
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
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
