"""Helpers shared by the Python benchmarks: repeated figures, medians with
their spread, the summary table of baselines beside zandrel's figures, and
the caches the read benchmarks write once and keep.

The machines these run on are shared and noisy, so every figure is measured
several times, in rounds that alternate the baseline and zandrel, and is
reported as its median with the lowest and highest run. A ratio is the ratio
of the two medians; its spread is the range of the ratios within each round,
which cancels the slow spells that hit both sides of one round alike.
"""

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from zandrel import _zandrel


class Figure:
    """One measured quantity, one value per round. Shown with an SI prefix
    ("3.91 M/s") unless `digits` asks for plain fixed digits ("812 MiB")."""

    def __init__(self, unit: str, digits: int | None = None):
        self.unit = unit
        self.digits = digits
        self.values: list[float] = []

    def add(self, value: float) -> None:
        self.values.append(value)

    @property
    def median(self) -> float:
        return statistics.median(self.values)

    def show(self, value: float, unit: bool = True) -> str:
        if self.digits is None:
            return si(value, self.unit if unit else "")
        text = f"{value:.{self.digits}f}"
        return f"{text} {self.unit}" if unit else text

    def text(self) -> str:
        """"3.91 M/s [3.80-4.02]": the median, then the lowest and highest run."""
        if not self.values:
            return "-"
        if len(self.values) == 1:
            return self.show(self.median)
        return (f"{self.show(self.median)} "
                f"[{self.show(min(self.values), False)}-{self.show(max(self.values), False)}]")


class Ratio:
    """zandrel's figure over a baseline's, with the per-round ratios as spread."""

    def __init__(self, value: Figure, base: Figure):
        self.value = value.median / base.median
        rounds = [v / b for v, b in zip(value.values, base.values)]
        self.low = min(rounds)
        self.high = max(rounds)

    def text(self) -> str:
        return f"{self.value:.2f} [{self.low:.2f}-{self.high:.2f}]"


def si(value: float, unit: str) -> str:
    """A number with an SI prefix and three significant digits: 3.91 M, 258 k."""
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= factor:
            value /= factor
            break
    else:
        prefix = ""
    digits = 2 if abs(value) < 10 else 1 if abs(value) < 100 else 0
    text = f"{value:.{digits}f}"
    return f"{text} {prefix}{unit}" if unit else f"{text}{prefix}"


def rate(count: float, seconds: float) -> float:
    return count / seconds if seconds > 0 else float("inf")


def warm_page_cache(root) -> int:
    """Reads every file under `root` once, so that timed runs find it in the
    page cache. Returns the bytes read."""
    total = 0
    for path in sorted(Path(root).rglob("*")):
        if path.is_file():
            with open(path, "rb", buffering=0) as f:
                while chunk := f.read(8 << 20):
                    total += len(chunk)
    return total


class Table:
    """The summary: one row per target, baseline beside zandrel, the ratio and
    whether the target is met."""

    HEADER = ("what", "baseline", "zandrel", "ratio", "target", "")

    def __init__(self):
        self.rows: list[tuple[str, ...]] = []

    def ratio(self, what: str, value: Figure, base: Figure, at_least: float) -> Ratio:
        r = Ratio(value, base)
        self.rows.append((what, base.text(), value.text(), r.text(), f">= {at_least:.2f}",
                          "ok" if r.value >= at_least else "miss"))
        return r

    def bound(self, what: str, value: Figure, at_most: float, shown: str,
              base: str = "-") -> None:
        """A figure with no baseline, held under `at_most` (its median)."""
        self.rows.append((what, base, value.text(), "-", f"<= {shown}",
                          "ok" if value.median <= at_most else "miss"))

    def print(self, title: str) -> None:
        rows = [self.HEADER] + self.rows
        widths = [max(len(row[i]) for row in rows) for i in range(len(self.HEADER))]
        print(f"\n{title}")
        for n, row in enumerate(rows):
            print("  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
            if n == 0:
                print("  " + "  ".join("-" * w for w in widths))


def timed(fn, *args):
    """Runs fn(*args) -> amount, returns (amount, seconds)."""
    start = time.perf_counter()
    amount = fn(*args)
    return amount, time.perf_counter() - start


def machine_line() -> str:
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return f"{os.cpu_count()} cpus, load average {load}"


def scratch_parser(doc: str) -> argparse.ArgumentParser:
    """The arguments of the read benchmarks: where their caches are written
    once and kept, and how many rounds each figure takes."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("scratch", nargs="?",
                        default=os.path.join(tempfile.gettempdir(), "zandrel_read_bench"),
                        help="where the caches are written once and kept")
    parser.add_argument("--quick", action="store_true", help="3 rounds instead of 5")
    parser.add_argument("--repeats", type=int, help="rounds per figure")
    return parser


def rounds(args) -> int:
    return args.repeats or (3 if args.quick else 5)


def cached(scratch, source, algo="none", max_shard_bytes=256 << 20) -> Path:
    """The cache of `source` under `scratch`, named after it: written with
    write_cache on first use, then kept for later runs."""
    root = Path(scratch) / source.name
    if (root / "manifest.json").exists():
        return root
    root.parent.mkdir(parents=True, exist_ok=True)
    config = SimpleNamespace(max_shard_bytes=max_shard_bytes, prefetch_size=64,
                             shard_compression=SimpleNamespace(algo=algo, ratio=1.0),
                             show_progress=False, validate_cache=False)
    [(status, _, detail)] = _zandrel.write_cache(_zandrel.Zandrel(4), source, str(scratch),
                                                 config, True)
    assert status == "success", detail
    return Path(detail)
