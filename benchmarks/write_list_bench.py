"""Writing a list of sources in one call beside one call per source.

16 sources of 10,000 samples of 1 KiB each (about 160 MiB of payload), LZ4
shards, no progress display; each way runs on a fresh base directory and is
timed five times, alternating, best run reported.

    PYTHONPATH=build/<name>/site python3 benchmarks/write_list_bench.py [workers]
"""

import os
import shutil
import sys
import tempfile
import time
from types import SimpleNamespace as NS

from zandrel import _zandrel as z

SOURCES = 16
SAMPLES = 10_000
SIZE = 1024
RUNS = 5


class Source:
    def __init__(self, name, payloads):
        self.name = name
        self.payloads = payloads

    def __iter__(self):
        for i, data in enumerate(self.payloads):
            yield data, {"i": i, "label": "x"}


def main():
    workers = int(sys.argv[1]) if len(sys.argv) > 1 else 4
    runtime = z.Zandrel(workers)
    cfg = NS(max_shard_bytes=64 << 20, prefetch_size=64, show_progress=False,
             validate_cache=False, shard_compression=NS(algo="lz4", ratio=1.0))
    # Payloads made once, so the runs time the writer, not the data.
    payloads = [[os.urandom(SIZE // 2) * 2 for _ in range(SAMPLES)] for _ in range(SOURCES)]
    total_mb = SOURCES * SAMPLES * SIZE / 1e6

    def one_call(base):
        sources = [Source(f"s{k}", payloads[k]) for k in range(SOURCES)]
        results = z.write_cache(runtime, sources, base, cfg, False)
        assert all(status == "success" for status, _, _ in results), results

    def per_source(base):
        for k in range(SOURCES):
            [(status, _, detail)] = z.write_cache(runtime, Source(f"s{k}", payloads[k]), base,
                                                  cfg, False)
            assert status == "success", detail

    root = tempfile.mkdtemp(prefix="write_list_bench_")
    try:
        print(f"{SOURCES} sources x {SAMPLES} samples x {SIZE} B, {workers} workers, "
              f"window {min(workers, 64)}")
        ways = (("list, one call", one_call), ("16 single calls", per_source))
        best = {label: float("inf") for label, _ in ways}
        # The two ways alternate, so a busy machine slows both alike.
        for attempt in range(RUNS):
            for label, run in ways:
                base = os.path.join(root, f"run{attempt}")
                started = time.perf_counter()
                run(base)
                best[label] = min(best[label], time.perf_counter() - started)
                shutil.rmtree(base)
        for label, _ in ways:
            best_s = best[label]
            print(f"{label:>16}: {best_s:7.3f} s  {total_mb / best_s:8.1f} MB/s  "
                  f"{SOURCES * SAMPLES / best_s / 1e3:8.1f} k samples/s")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
