"""A short tour of zandrel: `python3 -m zandrel [directory]`.

Writes a cache from a small synthetic source (4,000 samples with bool, int,
float and str metadata, LZ4-compressed shards) into the given directory or a
temporary one, opens it as a CachedDataset and reads one sequential and one
shuffled epoch. Then it edits the dataset's metadata table with pyarrow (keep
the training samples, draw cats four times as often) and reads a weighted
epoch. Every sample read is checked against its source.
"""

import argparse
import collections
import hashlib
import json
import os
import sys
import tempfile
import time
from types import SimpleNamespace

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc

import zandrel

SAMPLE_COUNT = 4000
LABELS = ("cat", "dog", "bird", "fish")


def payload(i):
    """A few hundred bytes per sample, repetitive enough for LZ4 to shrink."""
    return hashlib.sha256(i.to_bytes(8, "little")).digest() * (4 + i % 13)


class SyntheticSource:
    """A cache source: a `name`, and iteration yielding (data, metadata) pairs."""

    name = "synthetic"

    def __iter__(self):
        for i in range(SAMPLE_COUNT):
            yield payload(i), {
                "id": i,
                "label": LABELS[i % len(LABELS)],
                "score": (i % 100) / 10.0,
                "train": i % 5 != 0,
            }


def writer_config(base):
    """The writer reads its settings by attribute, so any object will do."""
    return SimpleNamespace(
        max_shard_bytes=256 * 1024,  # a new shard file past 256 KiB
        prefetch_size=16,  # samples in flight on the worker pool
        shard_compression=SimpleNamespace(algo="lz4", ratio=1.0),
        show_progress=True,  # drawn on stderr when it is a terminal
        validate_cache=True,  # check a reused cache before trusting it
        profiler=SimpleNamespace(enabled=True, path=os.path.join(base, "profile.json")),
    )


def describe(cache_path):
    with open(os.path.join(cache_path, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    shards = manifest["shards"]
    raw = sum(s["uncompressed_byte_len"] for s in shards)
    stored = sum(s["byte_len"] for s in shards)
    fields = ", ".join(f"{f['name']} ({f['kind']})" for f in manifest["metadata_schema"])
    print(f"  {manifest['sample_count']} samples in {len(shards)} shard files, "
          f"{raw} payload bytes stored in {stored} bytes")
    print(f"  metadata: {fields}")


def read_epoch(dataset, title):
    """Reads one epoch, checks every payload and returns the sample ids in order."""
    started = time.perf_counter()
    ids = []
    for data, meta, _cache_index, _index_in_cache in dataset:
        if data != payload(meta["id"]):
            sys.exit(f"sample {meta['id']} came back altered")
        ids.append(meta["id"])
    print(f"{title}: {len(ids)} samples ({len(set(ids))} distinct) in "
          f"{time.perf_counter() - started:.2f} s, first ids {ids[:8]}")
    return ids


def reweight(dataset):
    """Keeps the training samples and draws cats four times as often."""
    table = pa.ipc.open_file(dataset.metadata_ipc()).read_all()
    print(f"metadata table: {table.num_rows} rows, columns {table.column_names}")
    table = table.filter(table["train"])
    weights = pc.if_else(pc.equal(table["label"], "cat"), 4.0, 1.0)
    table = table.set_column(table.schema.get_field_index("weight"), "weight", weights)
    sink = pa.BufferOutputStream()
    with pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    dataset.update_metadata_ipc(sink.getvalue().to_pybytes())
    print(f"  installed {table.num_rows} training rows, cats weighted 4.0")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m zandrel", description=__doc__.split("\n")[0])
    parser.add_argument("directory", nargs="?", help="base cache directory (default: a temporary one)")
    parser.add_argument("--workers", type=int, default=4)
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="zandrel-demo-") as scratch:
        base = args.directory or scratch
        cache_path = os.path.join(base, SyntheticSource.name)
        existed = os.path.exists(cache_path)
        runtime = zandrel.Zandrel(args.workers)
        config = writer_config(base)

        where = base if args.directory else f"{base} (temporary, removed at exit)"
        print(f"writing {SAMPLE_COUNT} samples under {where}")
        started = time.perf_counter()
        [(status, name, detail)] = zandrel.write_cache(
            runtime, SyntheticSource(), base, config, reuse_existing=True)
        if status != "success":
            sys.exit(f"writing {name} failed: {detail}")
        verb = "reused" if existed else "wrote"
        print(f"{verb} {detail} in {time.perf_counter() - started:.2f} s "
              f"(write profile: {config.profiler.path})")
        describe(detail)

        for shuffle in (False, True):
            dataset = zandrel.CachedDataset(runtime, [cache_path], seed=7, prefetch_size=16,
                                            shuffle=shuffle, validate_cache=True)
            read_epoch(dataset, "shuffled epoch" if shuffle else "sequential epoch")

        reweight(dataset)
        dataset.set_epoch_len(1000)
        ids = read_epoch(dataset, "weighted epoch")
        if any(i % 5 == 0 for i in ids):
            sys.exit("a held-out sample was drawn")
        drawn = collections.Counter(LABELS[i % len(LABELS)] for i in ids)
        print(f"  labels drawn: {dict(drawn)}")
        print("every sample read back matched its source")


if __name__ == "__main__":
    main()
