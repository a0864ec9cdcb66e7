"""CachedDataset construction: argument conversion, cache loading, schema
checks, len() and lifetimes."""

import numpy as np
import pytest

import cachefmt
from zandrel import _zandrel as z


def samples(n, value=0):
    return [(bytes([i]), {"id": i, "v": value}) for i in range(n)]


def ids(dataset):
    return [(cache, index) for _, _, cache, index in dataset]


def test_arguments_are_converted_in_order(make_cache):
    runtime, path = z.Zandrel(2), str(make_cache("a", samples(3)))
    good = dict(runtime=runtime, paths=[path], seed=1, prefetch_size=2, shuffle=False,
                validate_cache=True)
    # Each case also breaks a later argument, which must not be the one named.
    for exc, name, changes in [
        (TypeError, "runtime", dict(runtime=object(), paths="x")),
        (TypeError, "paths", dict(paths=path, seed=-1)),  # a str is not a list of paths
        (TypeError, "paths", dict(paths=["\ud800"], seed=-1)),  # not encodable
        (TypeError, "seed", dict(seed="1", prefetch_size=-1)),
        (OverflowError, None, dict(seed=2**64)),
        (TypeError, "shuffle", dict(shuffle=1, validate_cache=1)),
        (TypeError, "validate_cache", dict(validate_cache=0)),
    ]:
        with pytest.raises(exc, match=name and f"argument '{name}'"):
            z.CachedDataset(**{**good, **changes})
    assert len(z.CachedDataset(runtime, (path,), 2**64 - 1, 2, np.bool_(1), np.bool_(0))) == 3
    # Empty paths are refused before a zero prefetch_size, which loads nothing.
    with pytest.raises(ValueError, match="^CachedDataset requires at least one cache path$"):
        z.CachedDataset(runtime, [], 1, 0, False, True)
    with pytest.raises(ValueError, match="^prefetch_size must be greater than zero$"):
        z.CachedDataset(runtime, [path + "-missing"], 1, 0, False, True)


def test_caches_share_one_index_space(make_cache, tmp_path):
    runtime = z.Zandrel(2)
    a, b = str(make_cache("a", samples(3))), str(make_cache("b", samples(5)))
    dataset = z.CachedDataset(runtime, [a, b], 0, 4, False, True)
    assert len(dataset) == 8
    assert ids(dataset) == [(0, 0), (0, 1), (0, 2)] + [(1, i) for i in range(5)]
    twice = z.CachedDataset(runtime, [b, a, b], 0, 4, False, False)
    assert len(twice) == 13 and ids(twice)[-5:] == [(2, i) for i in range(5)]
    # With one worker the caches load in order: the first failing path is raised.
    missing = [str(tmp_path / "absent1"), str(tmp_path / "absent2")]
    with pytest.raises(ValueError, match="^missing manifest: .*absent1/manifest.json$"):
        z.CachedDataset(z.Zandrel(1), [a] + missing, 0, 1, False, True)
    # A NUL ends the path the system would see (a's directory, a's manifest);
    # the whole path names no file.
    for path in [a + "\0/x", a + "/manifest.json\0"]:
        with pytest.raises(ValueError) as info:
            z.CachedDataset(runtime, [path], 0, 1, False, False)
        assert str(info.value) == f"missing manifest: {path}/manifest.json"


def test_schemas_must_match_field_by_field(make_cache):
    a = str(make_cache("a", samples(3)))
    reordered = make_cache("r", samples(2))  # the same fields in another order
    manifest = cachefmt.read_manifest(reordered)
    manifest["metadata_schema"].reverse()
    cachefmt.write_manifest(reordered, manifest)
    for other in [make_cache("k", samples(2, value=0.5)), reordered]:
        with pytest.raises(ValueError, match="^all caches must share the same metadata schema$"):
            z.CachedDataset(z.Zandrel(1), [a, str(other)], 0, 1, False, False)


def test_lifetimes_and_epoch_length(make_cache):
    runtime = z.Zandrel(2)
    dataset = z.CachedDataset(runtime, [str(make_cache("a", samples(4)))], 0, 2, False, True)
    del runtime  # the dataset keeps the workers
    assert ids(dataset) == [(0, i) for i in range(4)]
    with pytest.raises(ValueError, match="^epoch_len must be at least 1$"):
        dataset.set_epoch_len(0)
    iterator = iter(dataset)
    dataset.set_epoch_len(epoch_len=2**63)  # only later epochs change
    with pytest.raises(OverflowError):
        len(dataset)
    del dataset  # the iterator keeps the caches
    assert [i for _, _, _, i in iterator] == [0, 1, 2, 3]
