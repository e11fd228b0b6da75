"""The systems the benchmark times: velk and the peers its users would
otherwise reach for, each doing the job the way its users do, and the
checks of their answers against a reference.

A system that is not installed is reported and left out.
"""

from __future__ import annotations

import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]

# "velk" is `_velk.top_k_flat_np`; "velk.search" the package's front, which
# checks its arguments and returns numpy arrays.
SYSTEM_ORDER = (
    "velk",
    "velk.search",
    "numpy (norms per call)",
    "numpy (einsum norms per call)",
    "numpy (norms precomputed)",
    "numpy (pre-normalised rows)",
    "FAISS IndexFlatIP",
    "USearch exact",
    "hnswlib BFIndex",
)


# ---------------------------------------------------------------- systems

def top_of(scores: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The numpy user's ranking: argpartition for the k best, argsort of those."""
    n = scores.shape[0]
    k = min(k, n)
    if k < n:
        best = np.argpartition(scores, n - k)[n - k:]
    else:
        best = np.arange(n)
    best = best[np.argsort(-scores[best], kind="stable")]
    return best, scores[best]


def unit_rows(matrix: np.ndarray) -> np.ndarray:
    """The rows scaled to length 1, in float32: a copy of the matrix."""
    return matrix / np.sqrt(np.einsum("ij,ij->i", matrix, matrix))[:, None]


class System:
    """One way of finding the k best rows; `prepare` runs outside the timing."""

    name = ""

    def prepare(self, matrix: np.ndarray, threads: int) -> None:
        self.matrix = matrix
        self.threads = threads

    def search(self, query: np.ndarray, k: int):
        raise NotImplementedError

    def decode(self, raw) -> tuple[np.ndarray, np.ndarray]:
        """(row indices, cosine scores) of a search result, best first."""
        return np.asarray(raw[0], dtype=np.int64), np.asarray(raw[1], dtype=np.float64)

    def release(self) -> None:
        """Drops what `prepare` made, so the next system has the memory."""
        for name in ("matrix", "index", "inverse_norms", "unit"):
            self.__dict__.pop(name, None)


class VelkFlatNp(System):
    name = "velk"

    def __init__(self, module):
        self.function = module.top_k_flat_np

    def prepare(self, matrix, threads):
        super().prepare(matrix, threads)
        self.dim = matrix.shape[1]

    def search(self, query, k):
        return self.function(query, self.matrix, self.dim, k)

    def decode(self, raw):
        rows = np.array([row for row, _ in raw], dtype=np.int64)
        scores = np.array([score for _, score in raw], dtype=np.float64)
        return rows, scores


class VelkSearch(System):
    name = "velk.search"

    def __init__(self, package):
        self.velk = package

    def search(self, query, k):
        return self.velk.search(query, self.matrix, k)


class NumpyNormsPerCall(System):
    """Row norms with np.linalg.norm on every call, as most numpy code does."""

    name = "numpy (norms per call)"

    def search(self, query, k):
        norms = np.linalg.norm(self.matrix, axis=1)
        scores = (self.matrix @ query) / (norms * np.linalg.norm(query))
        return top_of(scores, k)


class NumpyEinsumNormsPerCall(System):
    """Row norms with einsum on every call: no squared temporary matrix."""

    name = "numpy (einsum norms per call)"

    def search(self, query, k):
        norms = np.sqrt(np.einsum("ij,ij->i", self.matrix, self.matrix))
        scores = (self.matrix @ query) / (norms * np.linalg.norm(query))
        return top_of(scores, k)


class NumpyPrecomputed(System):
    name = "numpy (norms precomputed)"

    def prepare(self, matrix, threads):
        super().prepare(matrix, threads)
        self.inverse_norms = (1.0 / np.sqrt(np.einsum("ij,ij->i", matrix, matrix))).astype(np.float32)

    def search(self, query, k):
        scores = (self.matrix @ (query / np.linalg.norm(query))) * self.inverse_norms
        return top_of(scores, k)


class NumpyPrenormalised(System):
    """Rows normalised once outside the timing: per call a matrix-vector
    product and the selection, nothing else."""

    name = "numpy (pre-normalised rows)"

    def prepare(self, matrix, threads):
        self.threads = threads
        self.unit = unit_rows(matrix)

    def search(self, query, k):
        return top_of(self.unit @ (query / np.linalg.norm(query)), k)


class Faiss(System):
    name = "FAISS IndexFlatIP"

    def __init__(self, module):
        self.faiss = module

    def prepare(self, matrix, threads):
        self.threads = threads
        self.faiss.omp_set_num_threads(threads)
        normalised = unit_rows(matrix)
        self.index = self.faiss.IndexFlatIP(matrix.shape[1])
        self.index.add(np.ascontiguousarray(normalised, dtype=np.float32))
        del normalised

    def search(self, query, k):
        unit = (query / np.linalg.norm(query)).reshape(1, -1)
        distances, labels = self.index.search(unit, k)
        return labels[0], distances[0]


class USearchExact(System):
    name = "USearch exact"

    def __init__(self, module):
        self.index_module = module

    def search(self, query, k):
        return self.index_module.search(
            self.matrix, query, k, self.index_module.MetricKind.Cos, exact=True, threads=self.threads
        )

    def decode(self, raw):
        # Cosine distance is 1 - cosine.
        return np.asarray(raw.keys, dtype=np.int64), 1.0 - np.asarray(raw.distances, dtype=np.float64)


class HnswlibBF(System):
    name = "hnswlib BFIndex"

    def __init__(self, module):
        self.hnswlib = module

    def prepare(self, matrix, threads):
        self.threads = threads
        self.index = self.hnswlib.BFIndex(space="cosine", dim=matrix.shape[1])
        self.index.init_index(max_elements=matrix.shape[0])
        self.index.add_items(matrix)

    def search(self, query, k):
        # BFIndex normalises the rows it stores but not the query.
        unit = query / np.linalg.norm(query)
        labels, distances = self.index.knn_query(unit, k=k, num_threads=self.threads)
        return labels[0], distances[0]

    def decode(self, raw):
        return np.asarray(raw[0], dtype=np.int64), 1.0 - np.asarray(raw[1], dtype=np.float64)


# Run in a subprocess before velk is loaded here: a module that crashes the
# interpreter must cost velk's rows, not the whole run.
VELK_SMOKE_TEST = """
import numpy as np, _velk
m = np.random.default_rng(7).random((64, 8), dtype=np.float32) - np.float32(0.5)
q = m[5].copy()
assert _velk.top_k_flat_np(q, m, 8, 3)[0][0] == 5
assert _velk.top_k_flat(q.tolist(), m.ravel().tolist(), 8, 3)[0][0] == 5
assert _velk.top_k(q.tolist(), m.tolist(), 3)[0][0] == 5
import velk
assert velk.search(q, m, 3)[0][0] == 5
assert velk.search_many(m[:4], m, 3)[0][:, 0].tolist() == [0, 1, 2, 3]
"""


def velk_survives_a_smoke_test(log) -> bool:
    try:
        done = subprocess.run([sys.executable, "-c", VELK_SMOKE_TEST], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        log("note: _velk hung in a smoke test; velk is skipped")
        return False
    if done.returncode != 0:
        reason = done.stderr.strip().splitlines()[-1:] or [f"exit status {done.returncode}"]
        log(f"note: _velk failed a smoke test ({reason[0]}); velk is skipped")
        return False
    return True


@dataclass
class Installed:
    """What imports here: the one-query systems, the modules the batch
    systems are made from, and the versions to report."""

    systems: list[System] = field(default_factory=list)
    modules: dict = field(default_factory=dict)
    versions: dict = field(default_factory=dict)

    @property
    def raw_velk(self):
        """`_velk`, or None when it is not used."""
        return self.modules.get("_velk")


def import_systems(log, smoke_test: bool = True) -> Installed:
    """Every system that imports here (a missing one is noted and skipped)."""
    found = Installed(versions={"numpy": np.__version__})
    try:
        if smoke_test and not velk_survives_a_smoke_test(log):
            raise ImportError("failed the smoke test")
        import _velk  # noqa: PLC0415

        found.modules["_velk"] = _velk
        found.systems.append(VelkFlatNp(_velk))
        found.versions["velk"] = _git_describe()
    except ImportError as error:
        log(f"note: velk is not used ({error}); velk is skipped")
    else:
        try:
            import velk  # noqa: PLC0415

            found.modules["velk"] = velk
            found.systems.append(VelkSearch(velk))
        except ImportError as error:
            log(f"note: the velk package is not used ({error}); velk.search and velk.search_many are skipped")
    found.systems += [NumpyNormsPerCall(), NumpyEinsumNormsPerCall(), NumpyPrecomputed(), NumpyPrenormalised()]
    try:
        import faiss  # noqa: PLC0415

        found.modules["faiss"] = faiss
        found.systems.append(Faiss(faiss))
        found.versions["faiss"] = faiss.__version__
    except ImportError:
        log("note: faiss is not installed; skipped")
    try:
        import usearch.index  # noqa: PLC0415

        found.modules["usearch.index"] = usearch.index
        found.systems.append(USearchExact(usearch.index))
        found.versions["usearch"] = _distribution_version("usearch")
    except ImportError:
        log("note: usearch is not installed; skipped")
    try:
        import hnswlib  # noqa: PLC0415

        found.systems.append(HnswlibBF(hnswlib))
        found.versions["hnswlib"] = _distribution_version("hnswlib")
    except ImportError:
        log("note: hnswlib is not installed; skipped")
    return found


def _distribution_version(name: str) -> str:
    try:
        from importlib.metadata import version  # noqa: PLC0415

        return version(name)
    except Exception:  # noqa: BLE001 - only a label
        return "?"


def _git_describe() -> str:
    """The commit velk was built from, marked when its sources had local changes."""
    try:
        head = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        changed = subprocess.run(
            ["git", "-C", str(ROOT), "status", "--porcelain", "--", "src", "python", "CMakeLists.txt", "pyproject.toml"],
            capture_output=True, text=True, check=True,
        ).stdout.strip()
        return f"git {head}" + (" + local changes" if changed else "")
    except (OSError, subprocess.CalledProcessError):
        return "?"


def overlap(found: np.ndarray, reference: np.ndarray) -> float:
    if len(reference) == 0:
        return 1.0
    return len(set(found.tolist()) & set(reference.tolist())) / len(reference)


def max_score_error(rows, scores, ref_rows, ref_scores) -> float:
    reference = dict(zip(ref_rows.tolist(), ref_scores.tolist()))
    errors = [abs(s - reference[r]) for r, s in zip(rows.tolist(), scores.tolist()) if r in reference]
    return max(errors) if errors else float("nan")
