"""Reads a memcheck log and reports the errors and definite leaks that belong
to the _velk module; exits 1 if there are any.

A report belongs to the module when, walking its stack outwards from where the
memory was taken (or the bad access happened), a frame of the module comes
before any frame of the interpreter running Python code or importing: what
Python code allocates during a call (the traceback module imported to print a
PanicException, say) is the interpreter's business."""

import re
import sys

OURS = re.compile(r"_velk|velk::")
PYTHON_RUNS = re.compile(r"_PyEval_EvalFrame|PyImport_|PyErr_Display|_PyErr_PrintEx")


def belongs_to_module(frames):
    for frame in frames:
        if OURS.search(frame):
            return True
        if PYTHON_RUNS.search(frame):
            return False
    return False


def records(lines):
    """Groups the log into reports: runs of prefixed lines between blank ones."""
    current = []
    for line in lines:
        body = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if body.strip():
            current.append(body)
        elif current:
            yield current
            current = []
    if current:
        yield current


def main(path):
    with open(path) as log:
        reports = list(records(log))
    ours = [r for r in reports
            if belongs_to_module(r[1:])
            and ("definitely lost" in r[0] or not re.search(r"lost in loss record", r[0]))
            and not r[0].startswith(("HEAP SUMMARY", "LEAK SUMMARY", "ERROR SUMMARY"))]
    for report in ours:
        print("\n".join(report) + "\n")
    print(f"filter_log: {len(ours)} report(s) from the module")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
