"""What reading holds in memory: peak RSS growth over one epoch of 1 MiB
samples on Zandrel(64) with prefetch 64, and what is still held afterwards.

Caches of 1,024 payloads of 1 MiB with metadata {"label": i} (so record
lengths differ), written once under a scratch directory:
- raw: random bytes, stored as they are;
- lz4 zeros: zero bytes, which lz4 stores in about 4 KiB each;
- lz4 random: random bytes, which lz4 cannot shrink.

Each cache is read in a fresh child process, from just after the dataset is
opened, in four ways:
- epoch: one epoch, RSS kept after it with the finished iterator still
  referenced (as `it = iter(ds)` in user code keeps it);
- slow host: the same, the host sleeping 1 ms per sample, so that everything
  the iterator may hold ahead is held;
- abandoned: 10 samples taken, then the iterator left alone but referenced
  for 0.5 s while its loads finish;
- epoch at Zandrel(2), prefetch 2.
Peaks are VmHWM after resetting it (where the kernel allows) minus VmRSS
before the epoch. Every figure is the median of several runs (5, or 3 with
--quick), with the lowest and highest.

    PYTHONPATH=build/<name>/site python3 benchmarks/memory_bench.py [--quick] [scratch dir]
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import bench_util as bu
from zandrel import _zandrel as z

COUNT = 1024
SIZE = 1 << 20
CACHES = {"raw": "none", "lz4 zeros": "lz4", "lz4 random": "lz4"}
WAYS = {"epoch": (64, 64), "slow host": (64, 64), "abandoned": (64, 64), "epoch w=2": (2, 2)}

PEAK_MIB = 256  # peak growth over an epoch of 1 GiB: what is held does not grow with it
LEFT_MIB = 32   # held after the epoch: the buffers were given back


class Source:
    def __init__(self, name, payload):
        self.name = name
        self.payload = payload

    def __iter__(self):
        for i in range(COUNT):
            yield self.payload, {"label": i}


def ensure_cache(scratch: Path, label: str) -> Path:
    payload = bytes(SIZE) if label == "lz4 zeros" else os.urandom(SIZE)
    source = Source("memory_" + label.replace(" ", "_"), payload)
    return bu.cached(scratch, source, CACHES[label], max_shard_bytes=64 << 20)


def proc_status() -> dict:
    """VmRSS, VmHWM and the like from /proc/self/status, in KiB."""
    fields = {}
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            key, _, value = line.partition(":")
            if value.strip().endswith("kB"):
                fields[key] = int(value.split()[0])
    return fields


def child(root: str, way: str) -> None:
    """In a fresh process: read `root` the `way` named, print the RSS figures."""
    workers, prefetch = WAYS[way]
    dataset = z.CachedDataset(z.Zandrel(workers), [root], 7, prefetch, False, False)
    gc.collect()
    before = proc_status()["VmRSS"]
    try:  # "5" resets the high-water mark to the current RSS
        with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    it = iter(dataset)
    count = 0
    if way == "abandoned":
        for _ in range(10):
            next(it)
        time.sleep(0.5)
    else:
        for data, _meta, _cache, _index in it:
            count += len(data) == SIZE
            if way == "slow host":
                time.sleep(0.001)
        assert count == COUNT, count
    status = proc_status()
    print(json.dumps({"before": before, "peak": status["VmHWM"], "after": status["VmRSS"],
                      "reset": reset}))


def main():
    parser = bu.scratch_parser(__doc__)
    parser.add_argument("--child", nargs=2, metavar=("CACHE", "WAY"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    repeats = bu.rounds(args)
    scratch = Path(args.scratch)

    print(f"memory_bench: {z.__file__}")
    print(f"  {bu.machine_line()}")
    table = bu.Table()
    reset = True
    print(f"\nRSS growth in MiB over one read in a child process, {COUNT:,} x 1 MiB; "
          f"median [min-max] of {repeats}")
    print(f"  {'cache':<12} {'read':<20} {'peak':>20} {'held after':>20}")
    for label in CACHES:
        root = ensure_cache(scratch, label)
        bu.warm_page_cache(root)
        for way, (workers, prefetch) in WAYS.items():
            peak = bu.Figure("MiB", digits=0)
            left = bu.Figure("MiB", digits=0)
            for _ in range(repeats):
                out = subprocess.run([sys.executable, __file__, "--child", str(root), way],
                                     check=True, capture_output=True, text=True).stdout
                got = json.loads(out.strip().splitlines()[-1])
                reset &= got["reset"]
                peak.add((got["peak"] - got["before"]) / 1024)
                left.add((got["after"] - got["before"]) / 1024)
            what = f"{way} (w={workers} p={prefetch})"
            print(f"  {label:<12} {what:<20} {peak.text():>20} {left.text():>20}")
            table.bound(f"{label}, {what}: peak RSS growth", peak, PEAK_MIB, f"{PEAK_MIB} MiB")
            if way != "abandoned":
                table.bound(f"{label}, {what}: RSS growth kept", left, LEFT_MIB,
                            f"{LEFT_MIB} MiB")
    if not reset:
        print("  (the peak could not be reset before the epoch: it counts from process start)")
    table.print(f"Summary (median [min-max]); {bu.machine_line()}")


if __name__ == "__main__":
    main()
