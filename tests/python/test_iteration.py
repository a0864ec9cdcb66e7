"""Iterating a CachedDataset: epoch order (rotation or seeded draws), the
sample tuples, read errors and dropped iterators."""

import json
import struct
from pathlib import Path

import pyarrow as pa
import pytest

import cachefmt
from zandrel import _zandrel as z

VECTORS = json.loads((Path(__file__).parent.parent / "data" / "sampler_vectors.json").read_text())


def samples(n):
    return [(b"p%d" % i, {"id": i, "name": str(i), "ratio": i / 4, "odd": i % 2 == 1})
            for i in range(n)]


def positions(ds):
    return [index for _, _, _, index in ds]


def test_epochs_continue_where_the_last_stopped(make_cache):
    ds = z.CachedDataset(z.Zandrel(2), [str(make_cache("c", samples(3)))], 0, 4, False, True)
    ds.set_epoch_len(7)
    assert positions(ds) == [0, 1, 2, 0, 1, 2, 0]
    assert positions(ds) == [1, 2, 0, 1, 2, 0, 1]
    # An iterator uses up its epoch when it is made; dropping it after one
    # sample leaves the dataset usable.
    ds.set_epoch_len(2)
    partly = iter(ds)
    assert next(partly)[3] == 2
    del partly
    assert positions(ds) == [1, 2]

    uniform = {(c["seed"], c["population"], c["start"]): c["indices"] for c in VECTORS["uniform"]}
    ds = z.CachedDataset(z.Zandrel(2), [str(make_cache("s", samples(3)))], 42, 4, True, True)
    ds.set_epoch_len(32)
    assert positions(ds) == uniform[(42, 3, 0)]
    assert positions(ds) == uniform[(42, 3, 32)]


@pytest.mark.parametrize("shuffle,weighted", [(False, False), (True, False), (True, True)])
def test_order_does_not_depend_on_workers_or_prefetch(make_cache, shuffle, weighted):
    paths = [str(make_cache(f"c{k}", samples(n))) for k, n in enumerate([5, 1, 7])]

    def epochs(workers, prefetch):
        ds = z.CachedDataset(z.Zandrel(workers), paths, 99, prefetch, shuffle, True)
        if weighted:
            table = pa.ipc.open_file(ds.metadata_ipc()).read_all()
            weights = pa.array([float(i % 4 + 1) for i in range(table.num_rows)], pa.float64())
            table = table.set_column(table.num_columns - 1, "weight", weights)
            sink = pa.BufferOutputStream()
            with pa.ipc.new_file(sink, table.schema) as writer:
                writer.write_table(table)
            ds.update_metadata_ipc(sink.getvalue().to_pybytes())
        # Long enough for every window to hand out several runs of loads.
        ds.set_epoch_len(2500)
        return [[(c, i, data) for data, _, c, i in ds] for _ in range(2)]

    reference = epochs(1, 1)
    assert reference == epochs(4, 64) == epochs(3, 2) == epochs(8, 8)
    if not shuffle:
        physical = [(k, i) for k, n in enumerate([5, 1, 7]) for i in range(n)]
        assert [(c, i) for c, i, _ in reference[0]] == [physical[p % 13] for p in range(2500)]


def test_read_error_ends_the_epoch(make_cache):
    root = make_cache("bad", samples(8))
    # The record of sample 4 claims more metadata than its shard holds.
    _, offset, _ = struct.unpack_from("<QQQ", (root / "index.bin").read_bytes(), 24 * 4)
    shard = root / "shards" / cachefmt.shard_name(0)
    data = bytearray(shard.read_bytes())
    data[offset:offset + 8] = struct.pack("<Q", 1 << 40)
    shard.write_bytes(bytes(data))
    iterator = iter(z.CachedDataset(z.Zandrel(1), [str(root)], 0, 1, False, False))
    assert [next(iterator)[3] for _ in range(4)] == [0, 1, 2, 3]
    with pytest.raises(ValueError, match="^invalid binary record$"):
        next(iterator)
    with pytest.raises(StopIteration):
        next(iterator)


def test_sample_tuples(make_cache):
    paths = [str(make_cache(name, samples(n))) for name, n in [("a", 2), ("b", 3)]]
    data, meta, cache, index = list(z.CachedDataset(z.Zandrel(3), paths, 0, 4, False, True))[3]
    assert (data, cache, index) == (b"p1", 1, 1) and type(data) is bytes
    # Keys in schema (byte) order, values of the host's own types.
    assert list(meta.items()) == [("id", 1), ("name", "1"), ("odd", True), ("ratio", 0.25)]
    assert [type(v) for v in meta.values()] == [int, str, bool, float]
