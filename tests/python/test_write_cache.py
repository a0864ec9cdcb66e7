# write_cache with one source: the cache, the configuration, names, items,
# failures and the profile.

import collections
import json
import math
import os
import sys
from types import SimpleNamespace as NS

import numpy as np
import pytest

import cachefmt
from zandrel import _zandrel as z


# A named source yielding its items; an exception among them (or in place of
# them) is raised when reached (or by iter()).
class Source:
    def __init__(self, name, items):
        self.name, self.items, self.pulled = name, items, 0

    def __iter__(self):
        if isinstance(self.items, BaseException):
            raise self.items
        return self._pull()

    def _pull(self):
        for item in self.items:
            if isinstance(item, BaseException):
                raise item
            self.pulled += 1
            yield item


def items(n, seed=0):
    return [(bytes([(i + seed) % 251]) * (30 + i % 9),
             {"id": i, "score": i / 4, "even": i % 2 == 0, "tag": f"t{i % 3}"}) for i in range(n)]


FIELDS = dict(max_shard_bytes=4096, prefetch_size=8, shard_compression=NS(algo="lz4", ratio=1.0),
              show_progress=False, validate_cache=False)


def config(**overrides):
    return NS(**{**FIELDS, **overrides})


def check_published(runtime, root, samples):
    # The cache at root holds exactly `samples`, by cachefmt and by CachedDataset.
    assert cachefmt.read_cache(root)[1] == samples
    dataset = z.CachedDataset(runtime, [str(root)], 0, 4, False, True)
    assert [(data, meta) for data, meta, _, _ in dataset] == samples


@pytest.fixture
def runtime():
    return z.Zandrel(4)


def write(runtime, base, source, reuse=False, cfg=None, **fields):
    return z.write_cache(runtime, source, str(base), cfg or config(**fields), reuse)


@pytest.mark.parametrize("algo,workers,prefetch", [("none", 1, 8), ("lz4", 4, 16), ("lz4", 8, 1)])
def test_written_cache_matches_format_and_reads_back(tmp_path, algo, workers, prefetch):
    runtime, samples = z.Zandrel(workers), items(500)
    cfg = config(max_shard_bytes=2000, prefetch_size=prefetch,
                 shard_compression=NS(algo=algo, ratio=1.0 if algo == "none" else 2.5))
    result = write(runtime, tmp_path, Source("c", samples), cfg=cfg)
    assert result == [("success", "c", str(tmp_path / "c"))] and os.listdir(tmp_path / "tmp") == []
    shards = cachefmt.read_cache(tmp_path / "c")[0]["shards"]
    assert len(shards) > 1 and {s["compression"]["algo"] for s in shards} == {algo}
    check_published(runtime, tmp_path / "c", samples)


# A configuration object that logs every attribute read; a field holding an
# exception raises it.
class Recording:
    def __init__(self, log, **fields):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_fields", fields)

    def __getattr__(self, name):
        self._log.append(name)
        value = self._fields.get(name, AttributeError(f"no {name}"))
        if isinstance(value, BaseException):
            raise value
        return value


def test_configuration_is_read_in_order_before_anything(runtime, tmp_path):
    log = []
    cfg = Recording(log, **{**FIELDS, "shard_compression": Recording(log, algo="lz4", ratio=1)})
    assert write(runtime, tmp_path, Source("a", items(2)), cfg=cfg)[0][0] == "success"
    assert log == ["max_shard_bytes", "prefetch_size", "shard_compression", "show_progress",
                   "validate_cache", "algo", "ratio", "profiler"]

    attribute_error = (RuntimeError, "Python error: AttributeError: ")
    cases = [  # (configuration, (exception type, its text or the start of it))
        (dict(FIELDS), attribute_error),  # a mapping is not read by key
        (Recording([], **{**FIELDS, "max_shard_bytes": 0, "show_progress": AttributeError()}),
         attribute_error),  # all five are read before any is judged
        (config(max_shard_bytes=0), (ValueError, "max_shard_bytes must be greater than zero")),
        (config(prefetch_size=0), (ValueError, "prefetch_size must be greater than zero")),
        (config(max_shard_bytes=-1), (RuntimeError, "Python error: OverflowError: ")),
        (config(show_progress=1), (RuntimeError, "Python error: TypeError: ")),
        (config(shard_compression=NS(algo="LZ4", ratio=1.0)),
         (ValueError, "unsupported shard compression algorithm 'LZ4'")),
        (config(shard_compression=NS(algo="zstd")), attribute_error),  # ratio is read first
        (config(shard_compression=NS(algo="none", ratio=2.0)),
         (ValueError, "shard_compression.ratio must be 1.0 when algo is 'none'")),
        (config(shard_compression=NS(algo="lz4", ratio=math.nan)),
         (ValueError, "shard_compression.ratio must be positive and finite")),
        (Recording([], **{**FIELDS, "prefetch_size": KeyboardInterrupt()}),
         (KeyboardInterrupt, "KeyboardInterrupt: ")),
        (Recording([], **{**FIELDS, "validate_cache": SystemExit("bye")}),
         (SystemExit, "SystemExit: bye")),
        (config(profiler=NS(enabled=False)), attribute_error),
        (config(profiler=None), attribute_error),
    ]
    for cfg, (kind, text) in cases:
        with pytest.raises(BaseException) as info:
            write(runtime, tmp_path / "untouched", Source("a", items(2)), cfg=cfg)
        assert info.type is kind and str(info.value).startswith(text), (cfg, info.value)
        assert not (tmp_path / "untouched").exists()

    # A profiler lookup that raises anything at all only turns profiling off.
    quiet = Recording([], **{**FIELDS, "profiler": KeyboardInterrupt()})
    assert write(runtime, tmp_path, Source("b", items(2)), cfg=quiet)[0][0] == "success"
    # Arguments are converted in order: a str that cannot be encoded is named
    # before the bad bool after it.
    for base in (tmp_path, "\ud800"):
        with pytest.raises(TypeError, match="^argument 'base_cache_dir': "):
            z.write_cache(runtime, Source("d", items(1)), base, config(), 1)


def test_names_items_and_destinations(runtime, tmp_path):
    # "a/." names the same directory as "a": it is published all the same.
    assert write(runtime, tmp_path, Source("a/.", items(1)))[0][2] == f"{tmp_path}/a/."
    assert write(runtime, f"{tmp_path}/", Source("x", items(1)))[0][2] == str(tmp_path / "x")
    assert write(runtime, tmp_path, Source("a/b", items(1))) == [
        ("error", "source[0]", "CacheSource.name must be a plain path segment")]
    # A tuple is one source (without a name), not a list of sources.
    assert write(runtime, tmp_path, (Source("p", []),))[0][:2] == ("error", "source[0]")
    assert write(runtime, tmp_path, Source(7, []))[0][2].startswith("Python error: TypeError: ")

    point, k = collections.namedtuple("Point", "data meta"), {"k": 1}
    write(runtime, tmp_path, Source("d", [point(3, k), ([1, 2], k), (memoryview(b"mv"), k)]))
    assert cachefmt.read_cache(tmp_path / "d")[1] == [(b"\0\0\0", k), (b"\1\2", k), (b"mv", k)]
    values = {"b": True, "i": 1, "big": 2**70, "f": 1.5, "s": "1", "nb": np.bool_(False),
              "ni": np.int64(-4), "nf": np.float32(0.25)}
    write(runtime, tmp_path, Source("kinds", [(b"x", values)]), reuse=np.bool_(False))
    manifest, stored = cachefmt.read_cache(tmp_path / "kinds")
    assert [(f["name"], f["kind"]) for f in manifest["metadata_schema"]] == [
        ("b", "bool"), ("big", "float"), ("f", "float"), ("i", "int"), ("nb", "bool"),
        ("nf", "float"), ("ni", "int"), ("s", "string")]
    assert stored[0][1] == {**values, "big": float(2**70), "nb": False, "ni": -4, "nf": 0.25}


def test_failures_become_triples_and_leave_no_build(runtime, tmp_path):
    def then(last):
        return items(3) + [last]

    bad_value = "metadata values must be bool, int, float, or str"
    cases = [  # (the source's items, or the exception its iter() raises; detail)
        (then([b"x", {}]), "CacheSource must yield CacheInput tuples"),
        (then((b"x", {}, 1)), "CacheInput must contain data and metadata"),
        (then(("text", {})), "data must be bytes-like"),
        (then((b"x", [("k", 1)])), "metadata must be a dict"),
        (then((b"x", {2: 1, "k": None})), "metadata keys must be strings"),
        (then((b"x", {"k": None})), bad_value),
        (then((b"x", {"k": b"raw"})), bad_value),
        (then((b"x", {"id": 1})), "metadata keys must be identical for every sample"),
        (then(ValueError("boom")), "Python error: ValueError: boom"),
        (ValueError("no iter"), "Python error: ValueError: no iter"),
        ([], "cache source yielded no samples"),
    ]
    for n, (content, detail) in enumerate(cases):
        assert write(runtime, tmp_path, Source(f"s{n}", content)) == [("error", f"s{n}", detail)]
        assert not (tmp_path / "tmp" / f"s{n}").exists()
    for exc in (KeyboardInterrupt("stop"), SystemExit(3)):
        with pytest.raises(type(exc), match=f"^{type(exc).__name__}: {exc}$"):
            write(runtime, tmp_path, Source("k", items(20) + [exc]))
        assert not (tmp_path / "tmp" / "k").exists() and not (tmp_path / "k").exists()

    # Something at the final path: refused without reuse, accepted with it.
    (tmp_path / "f").write_text("not a cache")
    assert write(runtime, tmp_path, Source("f", items(1))) == [
        ("error", "f", f"cache path already exists: {tmp_path / 'f'}")]
    assert write(runtime, tmp_path, Source("f", []), True)[0][2] == str(tmp_path / "f")
    assert write(runtime, tmp_path, Source("f", []), True, validate_cache=True)[0][0] == "error"
    assert (tmp_path / "f").read_text() == "not a cache"
    # A stale build is replaced; a plain file there is no build and stays.
    (tmp_path / "tmp" / "h" / "shards").mkdir(parents=True)
    assert write(runtime, tmp_path, Source("h", items(3)))[0][0] == "success"
    (tmp_path / "tmp" / "g").write_text("stale")
    assert write(runtime, tmp_path, Source("g", items(1))) == [
        ("error", "g", "I/O error: Not a directory (os error 20)")]
    assert (tmp_path / "tmp" / "g").read_text() == "stale"


# A float that is not finite has no form in a record's JSON: the source fails
# as for any other bad value, and the sources beside it are written whole.
# Their own floats are the finite extremes, which must come back bit for bit.
class InfiniteNumber:
    def __float__(self):
        return math.inf


EXTREMES = [-0.0, 5e-324, sys.float_info.max, -sys.float_info.max, 0.1 + 0.2]


@pytest.mark.parametrize("algo", ["none", "lz4"])
def test_non_finite_floats_fail_their_source(tmp_path, algo):
    runtime = z.Zandrel(3)
    cfg = config(shard_compression=NS(algo=algo, ratio=1.0))
    finite = [(bytes([i]) * (20 + i), {"id": i, "score": EXTREMES[i % 5]}) for i in range(60)]
    bad_values = [(math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf"),
                  (InfiniteNumber(), "inf"), (np.float64("nan"), "nan")]
    for n, (bad, shown) in enumerate(bad_values):
        at = 0 if n == 0 else 40  # the first sample fixes the schema
        samples = finite[:at] + [(b"bad", {"id": at, "score": bad})] + finite[at:]
        refused = ("error", f"bad{n}", f"metadata field 'score' is {shown}: float values must be finite")
        assert write(runtime, tmp_path, Source(f"bad{n}", samples), cfg=cfg) == [refused]
        sources = [Source(f"left{n}", finite), Source(f"bad{n}", samples), Source(f"right{n}", finite)]
        assert z.write_cache(runtime, sources, str(tmp_path), cfg, False) == [
            ("success", f"left{n}", str(tmp_path / f"left{n}")), refused,
            ("success", f"right{n}", str(tmp_path / f"right{n}"))]
        assert not (tmp_path / f"bad{n}").exists() and os.listdir(tmp_path / "tmp") == []

    # repr tells -0.0 from 0.0; every other float repr is exact.
    def exact(samples):
        return [(data, repr(meta)) for data, meta in samples]

    written = [f"{side}{n}" for side in ("left", "right") for n in range(len(bad_values))]
    assert sorted(os.listdir(tmp_path)) == sorted(written + ["tmp"])
    for name in written:
        assert exact(cachefmt.read_cache(tmp_path / name)[1]) == exact(finite)
        dataset = z.CachedDataset(runtime, [str(tmp_path / name)], 0, 4, False, True)
        assert exact((data, meta) for data, meta, _, _ in dataset) == exact(finite)


def test_paths_holding_nul_name_no_file(runtime, tmp_path):
    # The system would see only the bytes before a NUL (tmp_path, tmp_path/ab,
    # tmp_path/tmp/ab); none of them may be read, removed or created.
    (tmp_path / "tmp" / "ab").mkdir(parents=True)
    invalid = "I/O error: Invalid argument (os error 22) for "
    for base, name in [(str(tmp_path), "ab\0cd"), (f"{tmp_path}\0x", "ab")]:
        assert write(runtime, base, Source(name, items(1)), reuse=True) == [
            ("error", name, f"{invalid}{base}/tmp/{name}")]
    profile = f"{tmp_path}/prof\0/run.json"
    with pytest.raises(RuntimeError) as info:  # the profile fails after the source's triple
        write(runtime, tmp_path, Source("a/b", []), profiler=NS(enabled=True, path=profile))
    assert str(info.value) == invalid + profile
    assert os.listdir(tmp_path) == ["tmp"] and os.listdir(tmp_path / "tmp") == ["ab"]


def test_profile_stages_of_a_write(runtime, tmp_path):
    samples, path = items(3), tmp_path / "deep" / "run.json"
    cfg = config(profiler=NS(enabled=True, path=path), shard_compression=NS(algo="none", ratio=1.0))
    write(runtime, tmp_path, Source("p", samples), cfg=cfg)  # a path object is taken by its str()
    [source] = json.loads(path.read_text())["sources"]
    data_len = sum(len(d) for d, _ in samples)
    record_len = sum(len(cachefmt.encode_record(d, m)) for d, m in samples)
    assert [(s["name"], s["calls"], s["bytes"]) for s in source["stages"]] == [
        ("compression", 3, data_len), ("disk_write", 3, record_len), ("finish_index", 1, 0),
        ("finish_manifest", 1, 0), ("finish_metadata", 1, 0), ("ingress_wait", 3, 0),
        ("metadata_validate", 3, 0), ("publish", 1, 0), ("python_extract", 3, data_len),
        ("python_next", 4, 0), ("record_encode", 3, record_len), ("shard_flush", 1, 0)]
