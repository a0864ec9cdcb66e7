"""Write throughput of write_cache from Python, and where the time goes.

For 100,000 samples of 1 KiB and 1,000 samples of 1 MiB, with no compression
and with LZ4, on 1 and 4 workers: samples/s and MB/s (10^6 bytes of payload
per second) over the whole call, and the profile's three costliest stages.
Payloads are half random, half zero bytes, so LZ4 has something to do.

    python3 benchmarks/write_cache_bench.py [--quick]
"""

import argparse
import json
import os
import shutil
import tempfile
import time
from types import SimpleNamespace as NS

from zandrel import _zandrel


class Source:
    def __init__(self, name, count, size):
        self.name = name
        # A small pool of payloads, so that the host's allocation of fresh
        # bytes objects does not dominate what is measured.
        half = size // 2
        self.payloads = [os.urandom(half) + bytes(size - half) for _ in range(16)]
        self.count = count

    def __iter__(self):
        payloads = self.payloads
        for i in range(self.count):
            yield payloads[i % 16], {"id": i, "label": "x", "score": 0.5, "keep": True}


def run(base, count, size, algo, workers):
    name = f"b_{count}_{size}_{algo}_{workers}"
    profile_path = os.path.join(base, name + ".json")
    config = NS(max_shard_bytes=64 << 20, prefetch_size=64,
                shard_compression=NS(algo=algo, ratio=1.0), show_progress=False,
                validate_cache=False, profiler=NS(enabled=True, path=profile_path))
    runtime = _zandrel.Zandrel(workers)
    source = Source(name, count, size)
    started = time.perf_counter()
    [(status, _, detail)] = _zandrel.write_cache(runtime, source, base, config, False)
    seconds = time.perf_counter() - started
    assert status == "success", detail
    with open(profile_path, encoding="utf-8") as f:
        stages = json.load(f)["sources"][0]["stages"]
    shutil.rmtree(os.path.join(base, name))
    stages.sort(key=lambda s: s["total_ns"], reverse=True)
    top = ", ".join(f"{s['name']} {s['total_ns'] / 1e6:.0f} ms" for s in stages[:3])
    return seconds, top


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="a tenth of the samples")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    print("write_cache throughput (whole call, payload bytes)")
    print(f"{'samples':>8} {'size':>8} {'algo':>5} {'workers':>7} {'samples/s':>11} {'MB/s':>8}  "
          "top stages (profile)")
    with tempfile.TemporaryDirectory(prefix="zandrel-bench-") as base:
        for count, size, label in ((100_000 // scale, 1024, "1 KiB"), (1_000 // scale, 1 << 20, "1 MiB")):
            for algo in ("none", "lz4"):
                for workers in (1, 4):
                    seconds, top = run(base, count, size, algo, workers)
                    print(f"{count:>8} {label:>8} {algo:>5} {workers:>7} {count / seconds:>11.0f} "
                          f"{count * size / seconds / 1e6:>8.1f}  {top}")


if __name__ == "__main__":
    main()
