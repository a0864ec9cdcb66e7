"""Reading one epoch from Python: samples/s and MB/s.

Two caches, written once under a scratch directory and read while in the page
cache: 100,000 samples of 1 KiB and 2,000 samples of 1 MiB. Each is read for
one epoch, sequential and shuffled, with num_workers 1, 2, 4 and prefetch_size
1, 8, 64, beside the same loop over the payloads held in a Python list.

    PYTHONPATH=build/<name>/site python3 benchmarks/read_epoch_bench.py [scratch dir]
"""

import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import cachefmt  # noqa: E402
from zandrel import _zandrel as z  # noqa: E402

CACHES = [("1KiB", 100_000, 1024), ("1MiB", 2_000, 1 << 20)]


def ensure_cache(root: Path, count: int, size: int) -> Path:
    if (root / "manifest.json").exists():
        return root
    block = os.urandom(size)
    samples = [(block[i % size:] + block[:i % size], {"id": i, "label": i % 10})
               for i in range(count)]
    cachefmt.write_cache(root, samples, max_shard_bytes=256 << 20)
    return root


def read_epoch(iterable):
    """The host's loop: touch every sample's payload. Returns (samples, bytes, seconds)."""
    count = nbytes = 0
    start = time.perf_counter()
    for data, _meta, _cache, _index in iterable:
        count += 1
        nbytes += len(data)
    return count, nbytes, time.perf_counter() - start


def line(name, count, nbytes, seconds):
    print(f"  {name:<28} {count / seconds:>12,.0f} samples/s {nbytes / seconds / 1e6:>10,.1f} MB/s")


def main():
    scratch = Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/zandrel_read_bench")
    for name, count, size in CACHES:
        root = ensure_cache(scratch / name, count, size)
        warm = z.CachedDataset(z.Zandrel(4), [str(root)], 0, 64, False, False)
        held = list(warm)  # reads the cache into the page cache, and holds it
        print(f"{name}: {count} samples of {size} bytes")
        line("python list (baseline)", *read_epoch(held))
        del held
        for shuffle in (False, True):
            for workers in (1, 2, 4):
                for prefetch in (1, 8, 64):
                    ds = z.CachedDataset(z.Zandrel(workers), [str(root)], 7, prefetch, shuffle, False)
                    label = f"{'shuffled' if shuffle else 'sequential'} w={workers} p={prefetch}"
                    line(label, *read_epoch(ds))


if __name__ == "__main__":
    main()
