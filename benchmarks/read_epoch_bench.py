"""Reading epochs from Python, each figure beside a baseline taken in the same run.

Two caches, written once under a scratch directory (kept for later runs) and
read while in the page cache: 100,000 samples of 1 KiB and 2,000 samples of
1 MiB, uncompressed, metadata {"label": i % 10}.

- 1 KiB: one epoch, sequential and shuffled, on workers {1, 2, 4, 8} x
  prefetch {8, 64}, against the object floor: a Python loop that builds the
  same tuples, (bytes(1 KiB memoryview slice), {"label": i % 10}, 0, i), from
  a 1 MiB bytes object in memory and takes len() of the bytes.
- 1 MiB: one sequential epoch on the same settings, in bytes/s, against one
  thread's os.pread of the same shard files in 1 MiB pieces.

Memory is measured by memory_bench.py, larger samples of varying sizes by
read_large_bench.py.

Every figure is measured in several rounds that alternate baseline and zandrel
(5, or 3 with --quick); the median is shown with the lowest and highest run.
Each measured zandrel epoch follows an unmeasured one on the same setting, as
in a steady training loop: worker threads that sat idle while other settings
ran wake slowly at first on this machine kind (a VM).

    PYTHONPATH=build/<name>/site python3 benchmarks/read_epoch_bench.py [--quick] [scratch dir]
"""

import os
from pathlib import Path

import bench_util as bu
from zandrel import _zandrel as z

KIB_COUNT, MIB_COUNT = 100_000, 2_000
WORKERS = (1, 2, 4, 8)
PREFETCH = (8, 64)
SEED = 7
FLOOR_SOURCE = 1 << 20  # bytes the object floor copies its payloads from

# Targets, as ratios within one run.
FLOOR_BEST = 0.40        # best 1 KiB setting over the object floor
FLOOR_ONE_WORKER = 0.15  # each 1-worker setting over the object floor
OF_BEST = 0.50           # each 2..8-worker setting over the best setting
PREAD = 1.5              # best 1 MiB sequential setting over one thread's pread


# ---------------------------------------------------------------- caches


class Source:
    """`count` samples of `size` bytes, cycling through 16 random payloads."""

    def __init__(self, name, count, size):
        self.name = name
        self.count = count
        self.payloads = [os.urandom(size) for _ in range(16)]

    def __iter__(self):
        payloads = self.payloads
        for i in range(self.count):
            yield payloads[i % 16], {"label": i % 10}


def ensure_cache(scratch: Path, count: int, size: int) -> Path:
    """The cache of `count` x `size` bytes under `scratch`, written on first use."""
    return bu.cached(scratch, Source(f"read_{count}x{size}", count, size))


# ---------------------------------------------------------------- one epoch each


def floor_epoch(views) -> int:
    """The object floor: the host's tuples built from memory. Returns bytes."""
    nbytes = 0
    for i, view in enumerate(views):
        sample = (bytes(view), {"label": i % 10}, 0, i)
        nbytes += len(sample[0])
    return nbytes


def zandrel_epoch(dataset) -> int:
    """The host's loop over one epoch: touch every payload. Returns bytes."""
    nbytes = 0
    for data, _meta, _cache, _index in dataset:
        nbytes += len(data)
    return nbytes


def pread_files(paths, piece=1 << 20) -> int:
    """One thread reading whole files with os.pread in `piece` bytes. Returns bytes."""
    nbytes = 0
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            offset = 0
            while data := os.pread(fd, piece, offset):
                offset += len(data)
            nbytes += offset
        finally:
            os.close(fd)
    return nbytes


# ---------------------------------------------------------------- 1 KiB


def settings(orders):
    return [(order, w, p) for order in orders for w in WORKERS for p in PREFETCH]


def label(setting):
    return f"{setting[0]} {short(setting)}"


def short(setting):
    _order, w, p = setting
    return f"w={w} p={p}"


def open_datasets(runtimes, root, orders):
    return {s: z.CachedDataset(runtimes[s[1]], [str(root)], SEED, s[2], s[0] == "shuffled", False)
            for s in settings(orders)}


def warm_runtimes(runtimes, root, expected):
    """One epoch on each pool first, so its threads and their allocator arenas
    exist before anything is timed."""
    for runtime in runtimes.values():
        ds = z.CachedDataset(runtime, [str(root)], SEED, 64, False, False)
        assert zandrel_epoch(ds) == expected


def bench_small(runtimes, root, size, count, repeats, table):
    expected = count * size
    # 1 MiB of source, so that the copies read from cache, as zandrel's copy
    # from a record buffer its worker has just filled does.
    whole = memoryview(os.urandom(FLOOR_SOURCE))
    slots = FLOOR_SOURCE // size
    views = [whole[(i % slots) * size:(i % slots + 1) * size] for i in range(count)]
    orders = ("sequential", "shuffled")
    datasets = open_datasets(runtimes, root, orders)
    floor = bu.Figure("/s")
    figures = {s: bu.Figure("/s") for s in datasets}

    floor_epoch(views)
    warm_runtimes(runtimes, root, expected)
    for _ in range(repeats):
        nbytes, seconds = bu.timed(floor_epoch, views)
        assert nbytes == expected
        floor.add(count / seconds)
        for s, ds in datasets.items():
            zandrel_epoch(ds)  # settles this setting's threads (see above)
            nbytes, seconds = bu.timed(zandrel_epoch, ds)
            assert nbytes == expected, (s, nbytes)
            figures[s].add(count / seconds)

    print(f"\n1 KiB: {count:,} samples, one epoch each; samples/s, median [min-max] of {repeats}")
    print(f"  {'object floor':<24} {floor.text():>28}")
    for order in orders:
        mine = {s: f for s, f in figures.items() if s[0] == order}
        best = max(mine, key=lambda s: mine[s].median)
        print(f"  {'setting':<24} {'samples/s':>28} {'x floor':>18} {'x best':>18}")
        for s, f in mine.items():
            print(f"  {label(s):<24} {f.text():>28} {bu.Ratio(f, floor).text():>18} "
                  f"{bu.Ratio(f, mine[best]).text():>18}")
        one = min((s for s in mine if s[1] == 1), key=lambda s: mine[s].median)
        many = min((s for s in mine if s[1] >= 2), key=lambda s: mine[s].median)
        print(f"  best: {label(best)}; slowest 1-worker: {label(one)}; "
              f"slowest 2..8-worker: {label(many)}")
        head = f"1 KiB {order[:3]}:"
        table.ratio(f"{head} best {short(best)} / floor", mine[best], floor, FLOOR_BEST)
        table.ratio(f"{head} slowest 1-worker {short(one)} / floor", mine[one], floor,
                    FLOOR_ONE_WORKER)
        table.ratio(f"{head} slowest 2..8-worker {short(many)} / best", mine[many], mine[best],
                    OF_BEST)


# ---------------------------------------------------------------- 1 MiB


def bench_large(runtimes, root, size, count, repeats, table):
    shards = sorted(str(p) for p in (root / "shards").iterdir())
    expected = count * size
    datasets = open_datasets(runtimes, root, ("sequential",))
    pread = bu.Figure("B/s")
    figures = {s: bu.Figure("B/s") for s in datasets}

    pread_files(shards)
    warm_runtimes(runtimes, root, expected)
    for _ in range(repeats):
        nbytes, seconds = bu.timed(pread_files, shards)
        pread.add(nbytes / seconds)
        for s, ds in datasets.items():
            zandrel_epoch(ds)  # settles this setting's threads (see above)
            nbytes, seconds = bu.timed(zandrel_epoch, ds)
            assert nbytes == expected, (s, nbytes)
            figures[s].add(nbytes / seconds)

    print(f"\n1 MiB: {count:,} samples, {len(shards)} shard files, one sequential epoch each; "
          f"bytes/s, median [min-max] of {repeats}")
    print(f"  {'os.pread 1 MiB, 1 thread':<24} {pread.text():>28}")
    print(f"  {'setting':<24} {'bytes/s':>28} {'x pread':>18}")
    for s, f in figures.items():
        print(f"  {label(s):<24} {f.text():>28} {bu.Ratio(f, pread).text():>18}")
    best = max(figures, key=lambda s: figures[s].median)
    table.ratio(f"1 MiB seq: best {short(best)} / pread", figures[best], pread, PREAD)


# ---------------------------------------------------------------- main


def main():
    parser = bu.scratch_parser(__doc__)
    args = parser.parse_args()
    repeats = bu.rounds(args)
    scratch = Path(args.scratch)

    print(f"read_epoch_bench: {z.__file__}")
    print(f"  {bu.machine_line()}")
    small = ensure_cache(scratch, KIB_COUNT, 1 << 10)
    large = ensure_cache(scratch, MIB_COUNT, 1 << 20)
    bu.warm_page_cache(small)
    bu.warm_page_cache(large)

    table = bu.Table()
    runtimes = {w: z.Zandrel(w) for w in WORKERS}
    bench_small(runtimes, small, 1 << 10, KIB_COUNT, repeats, table)
    bench_large(runtimes, large, 1 << 20, MIB_COUNT, repeats, table)
    table.print(f"Summary (median [min-max]; ratio of medians [per-round range]); "
                f"{bu.machine_line()}")


if __name__ == "__main__":
    main()
