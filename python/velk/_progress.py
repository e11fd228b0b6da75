"""Progress reports for long calls: `progress=True` or `progress=fn(done, total)`.

done and total count (query, row) pairs scored. The engine reports between
steps of some tens of milliseconds of work, on the calling thread with the
interpreter lock taken back, and runs the signal handlers there (so Ctrl-C
stops a call whose lock is given up); velk.dask reports as blocks finish.
Results do not depend on the steps: every score and the order of ties are
pure functions of (query, row).
"""

from __future__ import annotations

import importlib
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

# A plain line on standard error is rewritten at most this often (seconds).
_LINE_INTERVAL = 0.1


class Reporter:
    """Reports `done` of `total` units of work to a callable, a tqdm bar or a line."""

    def __init__(self, progress: Any, total: int, what: str, unit: str = "pairs") -> None:
        self.total = total
        self.done = -1
        self._callback: Callable[[int, int], Any] | None = None
        self._bar: Any = None
        self._what = what
        self._unit = unit
        self._shown_at = 0.0
        self._line_width = 0
        if callable(progress):
            self._callback = progress
        else:
            try:
                tqdm: Any = importlib.import_module("tqdm")
            except ImportError:
                pass
            else:
                self._bar = tqdm.tqdm(total=total, desc=what, unit=unit, unit_scale=True)

    def update(self, done: int, total: int | None = None) -> None:
        """`done` units of `total` are finished (done never decreases)."""
        if total is not None:
            self.total = total
        self.done = done
        if self._callback is not None:
            self._callback(done, self.total)
        elif self._bar is not None:
            self._bar.update(done - self._bar.n)
        else:
            now = time.monotonic()
            if done < self.total and now - self._shown_at < _LINE_INTERVAL:
                return
            self._shown_at = now
            share = 100.0 * done / self.total if self.total else 100.0
            line = f"{self._what}: {done}/{self.total} {self._unit} ({share:.0f}%)"
            sys.stderr.write("\r" + line.ljust(self._line_width))
            self._line_width = len(line)
            sys.stderr.flush()

    def close(self) -> None:
        """Ends the bar or the line (also after an interruption)."""
        if self._bar is not None:
            self._bar.close()
        elif self._callback is None and self._line_width:
            sys.stderr.write("\n")
            sys.stderr.flush()


def reporter(progress: Any, total: int, what: str, unit: str = "pairs") -> Reporter | None:
    """A Reporter for `progress=` (True or a callable), None for None or False."""
    if progress is None or progress is False:
        return None
    if progress is not True and not callable(progress):
        raise TypeError(
            "progress must be True, False, None or a callable fn(done, total), "
            f"not {type(progress).__name__}"
        )
    return Reporter(progress, total, what, unit)


@contextmanager
def reporting(progress: Any, total: int, what: str) -> Iterator[Callable[..., None] | None]:
    """The engine's `progress` argument for `progress=`: None, or a Reporter's update.

    The report ends at `total` when the call returns, and is closed as it is
    when the call raises.
    """
    report = reporter(progress, total, what)
    if report is None:
        yield None
        return
    try:
        yield report.update
    except BaseException:
        report.close()
        raise
    if report.done != report.total:
        report.update(report.total)
    report.close()
