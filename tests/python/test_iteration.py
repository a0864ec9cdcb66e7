"""Iterating a CachedDataset: epoch order (rotation or seeded draws), the
sample tuples, read errors and dropped iterators."""

import json
import struct
from pathlib import Path

import pytest

import cachefmt
from zandrel import _zandrel as z

VECTORS = json.loads(Path("/work/shared/testdata/sampler_vectors.json").read_text())


def samples(n):
    return [(b"p%d" % i, {"id": i, "name": str(i), "ratio": i / 4, "odd": i % 2 == 1})
            for i in range(n)]


def dataset(make_cache, sizes, workers=2, prefetch=4, seed=0, shuffle=False, name="c"):
    paths = [str(make_cache(f"{name}{k}", samples(n))) for k, n in enumerate(sizes)]
    return z.CachedDataset(z.Zandrel(workers), paths, seed, prefetch, shuffle, True)


def physical(ds, offsets):
    return [offsets[c] + i for _, _, c, i in ds]


def test_unshuffled_epochs_continue_the_rotation(make_cache):
    ds = dataset(make_cache, [3])
    ds.set_epoch_len(7)
    assert physical(ds, [0]) == [0, 1, 2, 0, 1, 2, 0]
    assert physical(ds, [0]) == [1, 2, 0, 1, 2, 0, 1]
    # An iterator uses up its epoch when it is created, read or not.
    ds.set_epoch_len(2)
    iter(ds)
    partly = iter(ds)
    assert next(partly)[3] == 1
    del partly
    assert physical(ds, [0]) == [0, 1]


def uniform_case(seed, population, start):
    for case in VECTORS["uniform"]:
        if (case["seed"], case["population"], case["start"]) == (seed, population, start):
            return case["indices"]
    raise KeyError((seed, population, start))


def test_shuffled_epochs_follow_the_seeded_draws(make_cache):
    ds = dataset(make_cache, [3], seed=42, shuffle=True)
    ds.set_epoch_len(32)
    assert physical(ds, [0]) == uniform_case(42, 3, 0)
    assert physical(ds, [0]) == uniform_case(42, 3, 32)

    # Two caches of 4 and 6 draw over all 10 physical samples.
    ds = dataset(make_cache, [4, 6], seed=0, shuffle=True, name="d")
    ds.set_epoch_len(32)
    assert physical(ds, [0, 4]) == uniform_case(0, 10, 0)


@pytest.mark.parametrize("shuffle", [False, True])
def test_order_does_not_depend_on_workers_or_prefetch(tmp_path, shuffle):
    paths = []
    for k, n in enumerate([5, 1, 7]):
        cachefmt.write_cache(tmp_path / f"c{k}", samples(n))
        paths.append(str(tmp_path / f"c{k}"))

    def epochs(workers, prefetch):
        ds = z.CachedDataset(z.Zandrel(workers), paths, 99, prefetch, shuffle, True)
        ds.set_epoch_len(40)
        return [[(c, i, data) for data, _, c, i in ds] for _ in range(3)]

    reference = epochs(1, 1)
    assert epochs(4, 64) == reference
    assert epochs(3, 2) == reference


def corrupt_record(root, sample):
    """Makes the record of `sample` claim more metadata than its shard holds."""
    index = (root / "index.bin").read_bytes()
    shard_id, offset, _ = struct.unpack_from("<QQQ", index, 24 * sample)
    shard = root / "shards" / cachefmt.shard_name(shard_id)
    data = bytearray(shard.read_bytes())
    data[offset:offset + 8] = struct.pack("<Q", 1 << 40)
    shard.write_bytes(bytes(data))


@pytest.mark.parametrize("workers,prefetch", [(1, 1), (4, 8)])
def test_read_error_ends_the_epoch(make_cache, workers, prefetch):
    root = make_cache("bad", samples(8))
    corrupt_record(root, 4)
    ds = z.CachedDataset(z.Zandrel(workers), [str(root)], 0, prefetch, False, False)
    iterator = iter(ds)
    delivered = []
    with pytest.raises(ValueError, match="^invalid binary record$"):
        for _, _, _, index in iterator:
            delivered.append(index)
    # Samples come in order up to the failure, never past it.
    assert delivered == list(range(len(delivered)))
    if workers == 1:
        assert delivered == [0, 1, 2, 3]
    assert len(delivered) <= 4
    with pytest.raises(StopIteration):
        next(iterator)
    # The next epoch starts afresh and fails again at the broken sample.
    with pytest.raises(ValueError):
        list(ds)


def test_sample_tuples(make_cache):
    ds = dataset(make_cache, [2, 3], workers=3)
    epoch = list(ds)
    data, meta, cache, index = epoch[3]
    assert (data, cache, index) == (b"p1", 1, 1)
    assert type(data) is bytes
    # Keys in schema (byte) order, values of the host's own types.
    assert list(meta) == ["id", "name", "odd", "ratio"]
    assert [type(v) for v in meta.values()] == [int, str, bool, float]
    assert meta == {"id": 1, "name": "1", "odd": True, "ratio": 0.25}
    assert [m["name"] for _, m, _, _ in epoch] == ["0", "1", "0", "1", "2"]
