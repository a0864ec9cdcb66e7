"""Reading large samples of varying sizes, beside a plain Python reader in the same run.

Two caches of 16 MiB shards, no compression, written once under a scratch
directory (kept for later runs) and read while in the page cache. Their
metadata is {"label": i}, so record lengths differ even where payloads don't:
- "fixed": 2,000 payloads of 1 MiB;
- "spread": 4,000 payloads whose sizes are spread evenly over 64 KiB to 1 MiB.

Each is read as one epoch, sequential and shuffled (seeded draws), on workers
{1, 2, 4, 8} x prefetch {8, 64}, against the few lines of Python a user could
write instead: one thread that takes each sample's offset and length from
index.bin and reads its record with os.pread, in the same order (the same
count of seeded draws for shuffled epochs). Figures are payload bytes/s; the
Python reader's count its whole records, a little more.

Each measured zandrel epoch follows an unmeasured one on the same setting:
a steady training loop, not the first epoch after a pause. On this machine
kind (a VM) worker threads that sat idle, here while other settings ran, wake
slowly for tens of milliseconds, which made whichever setting came first after
a switch look a third slower. Minor page faults per sample (getrusage, the
whole process) are taken over the measured epochs, and over the Python
reader's.

Every figure is measured in several rounds that alternate the Python reader
and zandrel (5, or 3 with --quick); the median is shown with the lowest and
highest run.

The payload bytes objects of both readers come from malloc's main heap, and
their cost depends on its state: in a fresh process whose first large reads
are of varying sizes (--caches spread), glibc trims the top of its heap as the
objects come and go, and both readers take about 21 faults per sample and run
at about 4 GB/s, whatever zandrel's own buffers do. Read after the fixed cache,
as by default, the heap is reused and neither takes such faults.

    PYTHONPATH=build/<name>/site python3 benchmarks/read_large_bench.py [--quick] [scratch dir]
"""

import os
import random
import resource
import struct
from pathlib import Path

import bench_util as bu
from zandrel import _zandrel as z

WORKERS = (1, 2, 4, 8)
PREFETCH = (8, 64)
ORDERS = ("sequential", "shuffled")
SEED = 7
SHARD_BYTES = 16 << 20
INDEX_ROW = struct.Struct("<QQQ")

# Targets, as ratios within one run.
PYTHON_BEST = 1.2       # best 2..8-worker setting over the Python reader
PYTHON_ONE_WORKER = 0.5  # each 1-worker setting over the Python reader
OF_BEST = 0.5           # each 2..8-worker setting over the best one
FAULTS = 2.0            # minor page faults per sample in a steady epoch, any setting


class Source:
    """`sizes[i]` bytes for sample i, cut from one random block, {"label": i}."""

    def __init__(self, name, sizes):
        self.name = name
        self.sizes = sizes
        self.block = memoryview(os.urandom(max(sizes) + 4096))

    def __iter__(self):
        for i, size in enumerate(self.sizes):
            start = (i * 4099) % 4096
            yield bytes(self.block[start:start + size]), {"label": i}


def cache_sizes(name):
    if name == "fixed":
        return [1 << 20] * 2000
    rng = random.Random(SEED)
    return [rng.randint(64 << 10, 1 << 20) for _ in range(4000)]


def ensure_cache(scratch: Path, name: str) -> Path:
    source = Source(f"large_{name}", cache_sizes(name))
    return bu.cached(scratch, source, max_shard_bytes=SHARD_BYTES)


# ---------------------------------------------------------------- the Python reader


class PythonReader:
    """What a user could write instead: index.bin rows, os.pread per record."""

    def __init__(self, root: Path):
        rows = list(INDEX_ROW.iter_unpack((root / "index.bin").read_bytes()))
        shards = sorted((root / "shards").iterdir())
        self.fds = [os.open(p, os.O_RDONLY) for p in shards]
        self.rows = [(self.fds[s], length, offset) for s, offset, length in rows]

    def epoch(self, order) -> int:
        rows = self.rows
        pread = os.pread
        nbytes = 0
        for i in order:
            fd, length, offset = rows[i]
            data = pread(fd, length, offset)
            nbytes += len(data)
        return nbytes

    def close(self):
        for fd in self.fds:
            os.close(fd)


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def python_epoch(reader, order):
    """The Python reader's epoch. Returns (bytes, minor faults)."""
    before = minor_faults()
    nbytes = reader.epoch(order)
    return nbytes, minor_faults() - before


def zandrel_epoch(dataset):
    """One epoch, touching every payload. Returns (bytes, minor faults, samples)."""
    before = minor_faults()
    nbytes = count = 0
    for data, _meta, _cache, _index in dataset:
        nbytes += len(data)
        count += 1
    return nbytes, minor_faults() - before, count


# ---------------------------------------------------------------- one cache


def short(setting):
    return f"w={setting[0]} p={setting[1]}"


def bench_cache(runtimes, name, root, repeats, table):
    n = len(cache_sizes(name))
    reader = PythonReader(root)
    orders = {"sequential": range(n),
              "shuffled": random.Random(SEED).choices(range(n), k=n)}
    summary = []
    for order in ORDERS:
        settings = [(w, p) for w in WORKERS for p in PREFETCH]
        datasets = {s: z.CachedDataset(runtimes[s[0]], [str(root)], SEED, s[1],
                                       order == "shuffled", False) for s in settings}
        base = bu.Figure("B/s")
        base_faults = bu.Figure("/sample", digits=2)
        speed = {s: bu.Figure("B/s") for s in settings}
        faults = {s: bu.Figure("/sample", digits=2) for s in settings}
        reader.epoch(orders[order])
        for ds in datasets.values():
            zandrel_epoch(ds)  # the warm epoch
        for _ in range(repeats):
            (nbytes, nfaults), seconds = bu.timed(python_epoch, reader, orders[order])
            base.add(nbytes / seconds)
            base_faults.add(nfaults / n)
            for s, ds in datasets.items():
                zandrel_epoch(ds)  # settles this setting's threads (see above)
                (nbytes, nfaults, count), seconds = bu.timed(zandrel_epoch, ds)
                assert count == n, (s, count)
                speed[s].add(nbytes / seconds)
                faults[s].add(nfaults / count)

        print(f"\n{name}, {order}: {n:,} samples, one epoch each; payload bytes/s, "
              f"median [min-max] of {repeats}")
        print(f"  {'Python reader':<12} {base.text():>28} {'':>18} {base_faults.text():>24}")
        print(f"  {'setting':<12} {'bytes/s':>28} {'x Python':>18} {'faults/sample':>24}")
        for s in settings:
            print(f"  {short(s):<12} {speed[s].text():>28} {bu.Ratio(speed[s], base).text():>18} "
                  f"{faults[s].text():>24}")
        many = [s for s in settings if s[0] >= 2]
        best = max(many, key=lambda s: speed[s].median)
        worst = min(many, key=lambda s: speed[s].median)
        one = min((s for s in settings if s[0] == 1), key=lambda s: speed[s].median)
        most = max(settings, key=lambda s: faults[s].median)
        head = f"{name} {order[:3]}:"
        table.ratio(f"{head} best {short(best)} / Python", speed[best], base, PYTHON_BEST)
        table.ratio(f"{head} slowest 1-worker {short(one)} / Python", speed[one], base,
                    PYTHON_ONE_WORKER)
        table.ratio(f"{head} slowest 2..8-worker {short(worst)} / best", speed[worst],
                    speed[best], OF_BEST)
        table.bound(f"{head} most faults/sample ({short(most)})", faults[most], FAULTS,
                    f"{FAULTS:.0f}")
        summary.append((f"{name}, {order}", base, speed[one], speed[best], short(best),
                        faults[(4, 64)]))
        del datasets
    reader.close()
    return summary


def main():
    parser = bu.scratch_parser(__doc__)
    parser.add_argument("--caches", default="fixed,spread", help="which caches to read")
    args = parser.parse_args()
    repeats = bu.rounds(args)
    scratch = Path(args.scratch)

    print(f"read_large_bench: {z.__file__}")
    print(f"  {bu.machine_line()}")
    table = bu.Table()
    runtimes = {w: z.Zandrel(w) for w in WORKERS}
    rows = []
    for name in args.caches.split(","):
        root = ensure_cache(scratch, name)
        bu.warm_page_cache(root)
        rows += bench_cache(runtimes, name, root, repeats, table)
    print("\nPer cache and order (GB/s of payload; faults per sample at w=4 p=64):")
    print(f"  {'cache, order':<22} {'Python':>8} {'1 worker':>9} {'best':>8} {'setting':>10} "
          f"{'faults':>7}")
    for what, base, one, best, setting, faults in rows:
        print(f"  {what:<22} {base.median / 1e9:>8.1f} {one.median / 1e9:>9.1f} "
              f"{best.median / 1e9:>8.1f} {setting:>10} {faults.median:>7.2f}")
    table.print(f"Summary (median [min-max]; ratio of medians [per-round range]); "
                f"{bu.machine_line()}")


if __name__ == "__main__":
    main()
