"""Writing caches from Python, each figure beside a baseline taken in the same run.

- 100,000 samples of 1 KiB through write_cache (whole call), against a
  minimal pure-Python writer over the same source: per item
  json.dumps(meta, sort_keys=True), a 4-byte length, the payload, one
  hashlib.sha256 update over the three and one write to a buffered file.
- 500 samples of 1 MiB through write_cache, in payload bytes/s, against
  hashlib.sha256 on one thread over the same bytes.

Each is written with no compression and with LZ4, on 1 and 4 workers,
prefetch 64; the targets are on no compression, 4 workers. Payloads are half
random, half zero bytes, so LZ4 has something to do. Every figure is measured
in several rounds that alternate baseline and zandrel (5, or 3 with --quick);
the median is shown with the lowest and highest run. The profile's three
costliest stages come from one untimed warm-up run of each setting.

    PYTHONPATH=build/<name>/site python3 benchmarks/write_cache_bench.py [--quick] [--dir DIR]
"""

import argparse
import hashlib
import json
import os
import shutil
import struct
import tempfile
from types import SimpleNamespace as NS

import bench_util as bu
from zandrel import _zandrel

U32 = struct.Struct("<I")
SETTINGS = [(algo, workers) for algo in ("none", "lz4") for workers in (1, 4)]
TARGET_SETTING = ("none", 4)
PREFETCH = 64
PYTHON_WRITER = 2.0  # 1 KiB: write_cache over the minimal pure-Python writer
SHA256 = 0.85        # 1 MiB: write_cache over one thread's SHA-256 of the payloads


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


def python_writer(source, path) -> int:
    """The minimal pure-Python writer. Returns payload bytes."""
    digest = hashlib.sha256()
    nbytes = 0
    with open(path, "wb") as f:
        for data, meta in source:
            text = json.dumps(meta, sort_keys=True).encode()
            record = b"".join((U32.pack(len(text)), text, data))
            digest.update(record)
            f.write(record)
            nbytes += len(data)
    digest.hexdigest()
    return nbytes


def sha256_only(source) -> int:
    """One thread's SHA-256 over the source's payloads. Returns payload bytes."""
    digest = hashlib.sha256()
    nbytes = 0
    for data, _meta in source:
        digest.update(data)
        nbytes += len(data)
    digest.hexdigest()
    return nbytes


def write(runtime, source, base, algo, profile_path=None) -> str:
    """One write_cache call; returns the cache's path."""
    config = NS(max_shard_bytes=64 << 20, prefetch_size=PREFETCH,
                shard_compression=NS(algo=algo, ratio=1.0), show_progress=False,
                validate_cache=False)
    if profile_path:
        config.profiler = NS(enabled=True, path=profile_path)
    [(status, _, detail)] = _zandrel.write_cache(runtime, source, base, config, False)
    assert status == "success", detail
    return detail


def top_stages(runtime, source, base, algo) -> str:
    """The three costliest stages of one profiled run."""
    profile_path = os.path.join(base, "profile.json")
    shutil.rmtree(write(runtime, source, base, algo, profile_path))
    with open(profile_path, encoding="utf-8") as f:
        stages = json.load(f)["sources"][0]["stages"]
    os.remove(profile_path)
    stages.sort(key=lambda s: s["total_ns"], reverse=True)
    return ", ".join(f"{s['name']} {s['total_ns'] / 1e6:.0f} ms" for s in stages[:3])


def bench(runtimes, base, count, size, repeats, baseline, baseline_name, unit):
    """Rounds of the baseline and every setting. Returns (baseline figure,
    {setting: figure}); figures are samples/s for unit "/s", else bytes/s."""
    source = Source(f"b_{count}_{size}", count, size)
    per = 1 if unit == "/s" else size  # what one sample counts for
    base_figure = bu.Figure(unit)
    figures = {s: bu.Figure(unit) for s in SETTINGS}
    scratch_file = os.path.join(base, "baseline.bin")

    baseline(source, scratch_file)
    tops = {s: top_stages(runtimes[s[1]], source, base, s[0]) for s in SETTINGS}
    for _ in range(repeats):
        nbytes, seconds = bu.timed(baseline, source, scratch_file)
        assert nbytes == count * size
        base_figure.add(count * per / seconds)
        if os.path.exists(scratch_file):
            os.remove(scratch_file)
        for s in SETTINGS:
            path, seconds = bu.timed(write, runtimes[s[1]], source, base, s[0])
            figures[s].add(count * per / seconds)
            shutil.rmtree(path)

    what = "samples/s" if unit == "/s" else "bytes/s"
    size_text = f"{size >> 20} MiB" if size >= 1 << 20 else f"{size >> 10} KiB"
    print(f"\n{count:,} samples of {size_text}: {what}, "
          f"median [min-max] of {repeats}")
    print(f"  {baseline_name:<28} {base_figure.text():>28}")
    print(f"  {'algo':<5} {'workers':>7} {'':<14} {what:>28} {'x baseline':>18}  "
          "top stages (profiled warm-up run)")
    for s, f in figures.items():
        print(f"  {s[0]:<5} {s[1]:>7} {'':<14} {f.text():>28} "
              f"{bu.Ratio(f, base_figure).text():>18}  {tops[s]}")
    return base_figure, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 rounds instead of 5")
    parser.add_argument("--repeats", type=int, help="rounds per figure")
    parser.add_argument("--dir", help="where to write (default: the system's temporary "
                        "directory); /dev/shm takes the disk out of the figures")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 5)

    print(f"write_cache_bench: {_zandrel.__file__}")
    print(f"  {bu.machine_line()}")
    runtimes = {w: _zandrel.Zandrel(w) for w in sorted({s[1] for s in SETTINGS})}
    table = bu.Table()
    target = f"{TARGET_SETTING[0]} w={TARGET_SETTING[1]} p={PREFETCH}"
    with tempfile.TemporaryDirectory(prefix="zandrel-bench-", dir=args.dir) as base:
        small_base, small = bench(runtimes, base, 100_000, 1 << 10, repeats, python_writer,
                                  "minimal pure-Python writer", "/s")
        table.ratio(f"write 1 KiB {target} / Python writer",
                    small[TARGET_SETTING], small_base, PYTHON_WRITER)
        large_base, large = bench(runtimes, base, 500, 1 << 20, repeats,
                                  lambda source, _path: sha256_only(source),
                                  "hashlib.sha256, 1 thread", "B/s")
        table.ratio(f"write 1 MiB {target} / sha256",
                    large[TARGET_SETTING], large_base, SHA256)
    table.print(f"Summary (median [min-max]; ratio of medians [per-round range]); "
                f"{bu.machine_line()}")


if __name__ == "__main__":
    main()
