"""CachedDataset construction: argument conversion, parallel cache loading,
schema and offset checks, len() and the object's lifetime."""

import gc

import numpy as np
import pytest

import cachefmt
from zandrel import _zandrel as z


def samples(n, tag="t"):
    return [(bytes([i]) * (i + 1), {"id": i, "tag": tag, "score": i / 2, "even": i % 2 == 0})
            for i in range(n)]


@pytest.fixture
def runtime():
    return z.Zandrel(2)


def ids(dataset):
    return [(cache, index) for _, _, cache, index in dataset]


def test_arguments_are_converted_in_order(runtime, make_cache):
    path = str(make_cache("a", samples(3)))
    good = dict(runtime=runtime, paths=[path], seed=1, prefetch_size=2, shuffle=False,
                validate_cache=True)

    def fails(exc, name, **changes):
        with pytest.raises(exc) as info:
            z.CachedDataset(**{**good, **changes})
        if exc is TypeError:
            assert f"argument '{name}'" in str(info.value)

    fails(TypeError, "runtime", runtime=object(), paths="not a list")
    fails(TypeError, "paths", paths=path)  # a single str is not a list of paths
    fails(TypeError, "paths", paths=[path, 3])
    fails(TypeError, "paths", paths=5, seed=-1)
    fails(TypeError, "seed", seed="1", prefetch_size=-1)
    fails(OverflowError, "seed", seed=-1)
    fails(OverflowError, "seed", seed=2**64)
    fails(OverflowError, "prefetch_size", prefetch_size=-1)
    fails(TypeError, "shuffle", shuffle=1)
    fails(TypeError, "validate_cache", validate_cache=0)
    with pytest.raises(TypeError):
        z.CachedDataset(runtime, [path], 1, 2, False)

    dataset = z.CachedDataset(runtime, (path,), 2**64 - 1, 2, np.bool_(True), np.bool_(False))
    assert len(dataset) == 3
    assert len(z.CachedDataset(**good)) == 3

    # The path check comes before the prefetch check, which loads nothing.
    with pytest.raises(ValueError, match="^CachedDataset requires at least one cache path$"):
        z.CachedDataset(runtime, [], 1, 0, False, True)
    with pytest.raises(ValueError, match="^prefetch_size must be greater than zero$"):
        z.CachedDataset(runtime, [path + "-missing"], 1, 0, False, True)


def test_caches_share_one_index_space(runtime, make_cache):
    a = str(make_cache("a", samples(3, "a")))
    b = str(make_cache("b", samples(5, "b")))
    dataset = z.CachedDataset(runtime, [a, b], 0, 4, False, True)
    assert len(dataset) == 8
    assert ids(dataset) == [(0, 0), (0, 1), (0, 2)] + [(1, i) for i in range(5)]

    # The same path twice is two caches.
    twice = z.CachedDataset(runtime, [b, a, b], 0, 4, False, False)
    assert len(twice) == 13
    assert ids(twice)[-5:] == [(2, i) for i in range(5)]


def test_schemas_must_match_field_by_field(runtime, make_cache):
    a = str(make_cache("a", samples(3)))
    other_kind = str(make_cache("k", [(b"x", {"id": 1.5, "tag": "t", "score": 1.0, "even": True})]))
    with pytest.raises(ValueError, match="^all caches must share the same metadata schema$"):
        z.CachedDataset(runtime, [a, other_kind], 0, 1, False, False)

    # The same fields listed in another order are a different schema.
    reordered = make_cache("r", samples(2))
    manifest = cachefmt.read_manifest(reordered)
    manifest["metadata_schema"].reverse()
    cachefmt.write_manifest(reordered, manifest)
    with pytest.raises(ValueError, match="^all caches must share the same metadata schema$"):
        z.CachedDataset(runtime, [a, str(reordered)], 0, 1, False, False)
    assert len(z.CachedDataset(runtime, [str(reordered)], 0, 1, False, False)) == 2


def test_first_failing_load_is_raised(make_cache, tmp_path):
    good = str(make_cache("good", samples(2)))
    first, second = str(tmp_path / "absent1"), str(tmp_path / "absent2")
    # One worker loads in path order.
    with pytest.raises(ValueError, match="^missing manifest: .*absent1/manifest.json$"):
        z.CachedDataset(z.Zandrel(1), [good, first, second], 0, 1, False, True)


def test_dataset_and_iterator_outlive_their_owners(make_cache):
    path = str(make_cache("a", samples(4)))
    runtime = z.Zandrel(2)
    dataset = z.CachedDataset(runtime, [path], 0, 2, False, True)
    del runtime
    gc.collect()
    assert ids(dataset) == [(0, i) for i in range(4)]
    iterator = iter(dataset)
    del dataset
    gc.collect()
    assert [i for _, _, _, i in iterator] == [0, 1, 2, 3]


def test_epoch_length(runtime, make_cache):
    dataset = z.CachedDataset(runtime, [str(make_cache("a", samples(3)))], 0, 2, False, True)
    with pytest.raises(ValueError, match="^epoch_len must be at least 1$"):
        dataset.set_epoch_len(0)
    with pytest.raises(OverflowError):
        dataset.set_epoch_len(-1)
    with pytest.raises(TypeError):
        dataset.set_epoch_len("5")
    assert len(dataset) == 3
    running = iter(dataset)
    dataset.set_epoch_len(epoch_len=5)
    assert len(dataset) == 5
    assert len(list(running)) == 3  # planned before the change
    dataset.set_epoch_len(2**63)
    with pytest.raises(OverflowError):
        len(dataset)
    assert next(iter(dataset))[3] in range(3)  # iterating still works


def test_class_shape(runtime, make_cache):
    dataset = z.CachedDataset(runtime, [str(make_cache("a", samples(1)))], 0, 1, False, True)
    assert z.CachedDataset.__text_signature__ == (
        "(runtime, paths, seed, prefetch_size, shuffle, validate_cache)")
    assert z.CachedDataset.set_epoch_len.__text_signature__ == "($self, epoch_len)"
    with pytest.raises(TypeError):
        type("Sub", (z.CachedDataset,), {})
    with pytest.raises(AttributeError):
        dataset.extra = 1
    iterator = iter(dataset)
    assert iter(iterator) is iterator
    assert type(iterator).__name__ == "PyDatasetIterator"
    with pytest.raises(TypeError):
        type(iterator)()
