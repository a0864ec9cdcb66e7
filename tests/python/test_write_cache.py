"""write_cache and validate_source_paths: caches checked independently with
cachefmt and read back through CachedDataset, the configuration's reading
order, source names, sample items, destinations, the failure outcomes, the
write profile and the progress display."""

import collections
import json
import math
import os
import re
import subprocess
import sys
import textwrap
from types import SimpleNamespace as NS

import numpy as np
import pytest

import cachefmt
from zandrel import _zandrel as z


class Source:
    def __init__(self, name, items):
        self.name = name
        self.items = items

    def __iter__(self):
        return iter(self.items)


def items(n, size=40):
    return [(bytes([i % 251]) * (size + i % 7),
             {"id": i, "score": i / 4, "even": i % 2 == 0, "tag": f"t{i % 3}"})
            for i in range(n)]


def config(**overrides):
    fields = dict(max_shard_bytes=1 << 20, prefetch_size=8,
                  shard_compression=NS(algo="lz4", ratio=1.0),
                  show_progress=False, validate_cache=False)
    fields.update(overrides)
    return NS(**fields)


@pytest.fixture
def runtime():
    return z.Zandrel(4)


def write(runtime, tmp_path, source, cfg=None, reuse=False):
    return z.write_cache(runtime, source, str(tmp_path), cfg or config(), reuse)


@pytest.mark.parametrize("algo,workers,prefetch", [("none", 1, 8), ("lz4", 4, 16), ("lz4", 8, 1)])
def test_written_cache_matches_format_and_reads_back(tmp_path, algo, workers, prefetch):
    runtime = z.Zandrel(workers)
    samples = items(500)
    cfg = config(max_shard_bytes=2000, prefetch_size=prefetch,
                 shard_compression=NS(algo=algo, ratio=1.0 if algo == "none" else 2.5))
    result = write(runtime, tmp_path, Source("c", samples), cfg)
    assert result == [("success", "c", str(tmp_path / "c"))]
    assert os.listdir(tmp_path / "tmp") == []

    manifest, stored = cachefmt.read_cache(tmp_path / "c")
    assert manifest["source_name"] == "c" and manifest["sample_count"] == 500
    assert len(manifest["shards"]) > 1
    assert {s["compression"]["algo"] for s in manifest["shards"]} == {algo}
    assert stored == samples

    dataset = z.CachedDataset(runtime, [str(tmp_path / "c")], 0, 4, False, True)
    read = [(data, meta) for data, meta, _, _ in dataset]
    assert read == samples


class Recording:
    """A configuration object that logs every attribute read."""

    def __init__(self, log, **fields):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_fields", fields)

    def __getattr__(self, name):
        self._log.append(name)
        value = self._fields[name] if name in self._fields else None
        if name not in self._fields:
            raise AttributeError(f"no {name}")
        if isinstance(value, BaseException):
            raise value
        return value


def test_configuration_is_read_in_order_before_anything(runtime, tmp_path):
    log = []
    compression = Recording(log, algo="lz4", ratio=1)
    cfg = Recording(log, max_shard_bytes=1 << 20, prefetch_size=2, shard_compression=compression,
                    show_progress=False, validate_cache=False)
    assert write(runtime, tmp_path, Source("a", items(2)), cfg)[0][0] == "success"
    assert log == ["max_shard_bytes", "prefetch_size", "shard_compression", "show_progress",
                   "validate_cache", "algo", "ratio", "profiler"]

    def fails(cfg):
        base = tmp_path / "untouched"
        with pytest.raises(BaseException) as info:
            z.write_cache(runtime, Source("a", items(2)), str(base), cfg, False)
        assert not base.exists()
        return info.type, str(info.value)

    fields = dict(max_shard_bytes=1 << 20, prefetch_size=2,
                  shard_compression=NS(algo="lz4", ratio=1.0), show_progress=False,
                  validate_cache=False)
    kind, text = fails(dict(fields))  # a mapping is not read by key
    assert kind is RuntimeError and text.startswith("Python error: AttributeError: ")
    # All five are read before any value is judged.
    no_progress = {k: v for k, v in fields.items() if k != "show_progress"}
    kind, text = fails(NS(**{**no_progress, "max_shard_bytes": 0}))
    assert kind is RuntimeError and "show_progress" in text
    assert fails(config(max_shard_bytes=0)) == (ValueError, "max_shard_bytes must be greater than zero")
    assert fails(config(prefetch_size=0)) == (ValueError, "prefetch_size must be greater than zero")
    kind, text = fails(config(max_shard_bytes=-1))
    assert kind is RuntimeError and text.startswith("Python error: OverflowError: ")
    kind, text = fails(config(show_progress=1))
    assert kind is RuntimeError and text.startswith("Python error: TypeError: ")
    # The ratio is read before the algorithm is judged.
    assert fails(config(shard_compression=NS(algo="LZ4", ratio=1.0))) == (
        ValueError, "unsupported shard compression algorithm 'LZ4'")
    kind, text = fails(config(shard_compression=NS(algo="zstd")))
    assert kind is RuntimeError and "ratio" in text
    assert fails(config(shard_compression=NS(algo="none", ratio=2.0))) == (
        ValueError, "shard_compression.ratio must be 1.0 when algo is 'none'")
    assert fails(config(shard_compression=NS(algo="lz4", ratio=math.nan))) == (
        ValueError, "shard_compression.ratio must be positive and finite")
    # A getter's KeyboardInterrupt comes back as a new one with "Type: message".
    assert fails(Recording([], **{**fields, "prefetch_size": KeyboardInterrupt()})) == (
        KeyboardInterrupt, "KeyboardInterrupt: ")
    assert fails(Recording([], **{**fields, "validate_cache": SystemExit("bye")})) == (
        SystemExit, "SystemExit: bye")
    # A present profiler needs both attributes.
    kind, text = fails(config(profiler=NS(enabled=False)))
    assert kind is RuntimeError and "path" in text
    kind, _ = fails(config(profiler=None))
    assert kind is RuntimeError

    # A profiler lookup that raises anything at all only turns profiling off.
    quiet = Recording([], **{**fields, "profiler": KeyboardInterrupt()})
    assert write(runtime, tmp_path, Source("b", items(2)), quiet)[0][0] == "success"
    # A path object is taken by its str().
    profile = tmp_path / "deep" / "p.json"
    write(runtime, tmp_path, Source("c", items(2)), config(profiler=NS(enabled=True, path=profile)))
    assert json.loads(profile.read_text())["format_version"] == 1


def test_argument_types(runtime, tmp_path):
    src, cfg = Source("a", items(1)), config()
    with pytest.raises(TypeError, match="base_cache_dir"):
        z.write_cache(runtime, src, tmp_path, cfg, False)
    with pytest.raises(TypeError, match="reuse_existing"):
        z.write_cache(runtime, src, str(tmp_path), cfg, 1)
    with pytest.raises(TypeError, match="runtime"):
        z.write_cache(None, src, str(tmp_path), cfg, False)
    assert z.write_cache(runtime=runtime, sources=src, base_cache_dir=str(tmp_path),
                         writer_config=cfg, reuse_existing=np.bool_(False))[0][0] == "success"


def test_source_names_and_destinations(runtime, tmp_path):
    for n, name in enumerate(["a/", "a//", "a/.", ".hidden"]):
        status, got, detail = write(runtime, tmp_path / str(n), Source(name, items(1)))[0]
        assert (status, got) == ("success", name), detail
    for name in ["./a", "a/b", "..", ".", "/a"]:
        assert write(runtime, tmp_path, Source(name, items(1)))[0] == (
            "error", "source[0]", "CacheSource.name must be a plain path segment")
    assert write(runtime, tmp_path, Source("", items(1)))[0][2] == "CacheSource.name must not be empty"
    status, name, detail = write(runtime, tmp_path, (Source("a", []), Source("b", [])))[0]
    assert (status, name) == ("error", "source[0]") and detail.startswith(
        "Python error: AttributeError: ")
    assert write(runtime, tmp_path, Source(7, items(1)))[0][2].startswith("Python error: TypeError: ")
    # A base ending in a slash gives the same final path.
    assert write(runtime, str(tmp_path) + "/", Source("x", items(1)))[0][2] == str(tmp_path / "x")

    check = z.validate_source_paths
    with pytest.raises(ValueError, match=r"^duplicate generated cache path: out/a/$"):
        check([Source("a", []), Source("a/", [])], "out")
    assert check([Source("a", []), Source("A", []), object(), Source("b", [])], "out") is None
    assert check(type("L", (list,), {})([Source("a", [])]), "out") is None
    assert check([], "out") is None
    with pytest.raises(TypeError, match="sources"):
        check((Source("a", []),), "out")


Point = collections.namedtuple("Point", "data meta")


def test_sample_items_are_converted_or_refused(runtime, tmp_path):
    accepted = [(3, b"\0\0\0"), ([1, 2, 3], b"\1\2\3"), (memoryview(b"mv"), b"mv"),
                (bytearray(b"ba"), b"ba")]
    for n, (data, expected) in enumerate(accepted):
        item = Point(data, {"k": 1}) if n == 0 else (data, {"k": 1})
        write(runtime, tmp_path, Source(f"d{n}", [item]))
        assert cachefmt.read_cache(tmp_path / f"d{n}")[1] == [(expected, {"k": 1})]

    values = {"b": True, "i": 1, "big": 2**70, "f": 1.5, "s": "1", "nb": np.bool_(False),
              "ni": np.int64(-4), "nf": np.float32(0.25)}
    write(runtime, tmp_path, Source("kinds", [(b"x", values)]))
    manifest, stored = cachefmt.read_cache(tmp_path / "kinds")
    kinds = {f["name"]: f["kind"] for f in manifest["metadata_schema"]}
    assert kinds == {"b": "bool", "i": "int", "big": "float", "f": "float", "s": "string",
                     "nb": "bool", "ni": "int", "nf": "float"}
    assert stored[0][1] == {**values, "big": float(2**70), "nb": False, "ni": -4, "nf": 0.25}

    refused = [
        ([b"x", {}], "CacheSource must yield CacheInput tuples"),
        ((b"x", {}, 1), "CacheInput must contain data and metadata"),
        (("text", {}), "data must be bytes-like"),
        ((b"x", [("k", 1)]), "metadata must be a dict"),
        ((b"x", {1: 1}), "metadata keys must be strings"),
        ((b"x", {"k": None}), "metadata values must be bool, int, float, or str"),
        ((b"x", {"k": b"raw"}), "metadata values must be bool, int, float, or str"),
        ((b"x", {2: 1, "k": None}), "metadata keys must be strings"),
    ]
    for n, (bad, message) in enumerate(refused):
        result = write(runtime, tmp_path, Source(f"r{n}", items(2) + [bad]))
        assert result == [("error", f"r{n}", message)]
        assert not (tmp_path / "tmp" / f"r{n}").exists()


def test_failures_become_triples_and_leave_no_build(runtime, tmp_path):
    class Raising:
        def __init__(self, name, exc, after=0, at_iter=False):
            self.name, self.exc, self.after, self.at_iter = name, exc, after, at_iter

        def __iter__(self):
            if self.at_iter:
                raise self.exc
            yield from items(self.after)
            raise self.exc

    def outcome(source, **kw):
        result = write(runtime, tmp_path, source, **kw)
        assert not (tmp_path / "tmp" / source.name).exists()
        return result[0]

    assert outcome(Raising("i", ValueError("no iter"), at_iter=True)) == (
        "error", "i", "Python error: ValueError: no iter")
    assert outcome(Raising("n", ValueError("boom"), after=5)) == (
        "error", "n", "Python error: ValueError: boom")
    assert outcome(Source("e", [])) == ("error", "e", "cache source yielded no samples")
    mixed = items(3) + [(b"x", {"id": 1})]
    assert outcome(Source("m", mixed))[2] == "metadata keys must be identical for every sample"
    for exc in (KeyboardInterrupt("stop"), SystemExit(3)):
        with pytest.raises(type(exc)) as info:
            write(runtime, tmp_path, Raising("k", exc, after=20))
        assert str(info.value) == f"{type(exc).__name__}: {exc}"
        assert not (tmp_path / "tmp" / "k").exists() and not (tmp_path / "k").exists()

    # Something at the final path: refused without reuse, accepted with it.
    (tmp_path / "f").write_text("not a cache")
    assert outcome(Source("f", items(1))) == (
        "error", "f", f"cache path already exists: {tmp_path / 'f'}")
    assert outcome(Source("f", items(1)), reuse=True) == ("success", "f", str(tmp_path / "f"))
    status, _, detail = outcome(Source("f", items(1)), reuse=True, cfg=config(validate_cache=True))
    assert status == "error" and "missing manifest" in detail
    assert (tmp_path / "f").read_text() == "not a cache"
    # A valid cache is reused after validation; a stale build is replaced.
    write(runtime, tmp_path, Source("g", items(3)))
    assert outcome(Source("g", []), reuse=True, cfg=config(validate_cache=True))[0] == "success"
    (tmp_path / "tmp" / "h" / "shards").mkdir(parents=True)
    assert outcome(Source("h", items(3)))[0] == "success"


def test_profile_of_a_small_write(runtime, tmp_path):
    samples = items(3)
    path = tmp_path / "prof" / "run.json"
    cfg = config(profiler=NS(enabled=True, path=str(path)),
                 shard_compression=NS(algo="none", ratio=1.0))
    write(runtime, tmp_path, Source("p", samples), cfg)
    text = path.read_text()
    profile = json.loads(text)
    assert text == json.dumps(profile, indent=2, ensure_ascii=False)
    assert list(profile) == ["format_version", "elapsed_ns", "sources"]
    assert profile["format_version"] == 1 and profile["elapsed_ns"] > 0
    [source] = profile["sources"]
    assert list(source) == ["source_name", "stages"] and source["source_name"] == "p"
    data_len = sum(len(d) for d, _ in samples)
    record_len = sum(len(cachefmt.encode_record(d, m)) for d, m in samples)
    expected = [("compression", 3, data_len), ("disk_write", 3, record_len),
                ("finish_index", 1, 0), ("finish_manifest", 1, 0), ("finish_metadata", 1, 0),
                ("ingress_wait", 3, 0), ("metadata_validate", 3, 0), ("publish", 1, 0),
                ("python_extract", 3, data_len), ("python_next", 4, 0),
                ("record_encode", 3, record_len), ("shard_flush", 1, 0)]
    assert [(s["name"], s["calls"], s["bytes"]) for s in source["stages"]] == expected
    assert all(list(s) == ["name", "calls", "total_ns", "bytes"] for s in source["stages"])

    # A failed write still leaves its profile: here one python_next only.
    write(runtime, tmp_path, Source("q", []), cfg)
    [source] = json.loads(path.read_text())["sources"]
    assert [(s["name"], s["calls"]) for s in source["stages"]] == [("python_next", 1)]


PROGRESS_SCRIPT = textwrap.dedent("""
    import time
    from types import SimpleNamespace as NS
    from zandrel import _zandrel as z

    class Slow:
        name = "demo"
        def __iter__(self):
            for i in range(30):
                time.sleep(0.01)
                yield (b"x" * 1000, {"i": i})

    cfg = NS(max_shard_bytes=1 << 20, prefetch_size=4, show_progress=True, validate_cache=False,
             shard_compression=NS(algo="lz4", ratio=1.0))
    print(z.write_cache(z.Zandrel(2), Slow(), BASE, cfg, False)[0][0])
""")


def run_progress_script(tmp_path, use_pty):
    script = "BASE = %r\n" % str(tmp_path) + PROGRESS_SCRIPT
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if not use_pty:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, env=env,
                              timeout=60)
        return done.stdout, done.stderr
    import pty
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=slave,
                            env=env)
    os.close(slave)
    drawn = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        drawn += chunk
    out = proc.communicate(timeout=60)[0]
    os.close(master)
    return out, drawn


def test_progress_is_drawn_only_on_a_terminal(tmp_path):
    out, drawn = run_progress_script(tmp_path / "tty", use_pty=True)
    assert out.strip() == b"success"
    text = drawn.decode("utf-8", "replace")
    # The spinner redraws while samples arrive; its last line has the final counts.
    assert "writing demo" in text
    lines = re.findall(r"writing demo (\d+) items \| \d+\.\d items/s \| \d+\.\d MB/s", text)
    assert len(lines) >= 2 and lines[-1] == "30"

    out, err = run_progress_script(tmp_path / "pipe", use_pty=False)
    assert out.strip() == b"success" and err == b""
