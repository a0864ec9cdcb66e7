"""write_cache over a list of sources: per-source outcomes in list order,
what aborts the whole call, reuse, the source bar and the profile. Every
cache written is checked with cachefmt and read back through CachedDataset."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from types import SimpleNamespace as NS

import pytest

import cachefmt
from zandrel import _zandrel as z


class Source:
    def __init__(self, name, items, fail_at=None, exc=None):
        self.name, self.items, self.fail_at, self.exc = name, items, fail_at, exc
        self.pulled = 0

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                if self.exc is not None:
                    raise self.exc
                item = ["not", "a tuple"]
            self.pulled += 1
            yield item


def items(n, seed=0):
    return [(bytes([(i + seed) % 251]) * (30 + i % 9), {"id": i, "w": i / 2, "tag": f"t{i % 4}"})
            for i in range(n)]


def config(**overrides):
    fields = dict(max_shard_bytes=4096, prefetch_size=8, show_progress=False,
                  validate_cache=False, shard_compression=NS(algo="lz4", ratio=1.0))
    fields.update(overrides)
    return NS(**fields)


def check_published(runtime, root, samples):
    manifest, stored = cachefmt.read_cache(root)
    assert manifest["source_name"] == os.path.basename(root) and stored == samples
    dataset = z.CachedDataset(runtime, [str(root)], 0, 4, False, True)
    assert [(d, m) for d, m, _, _ in dataset] == samples


class Sources(list):
    """A list subclass takes the list road too."""


@pytest.mark.parametrize("workers,prefetch", [(1, 8), (4, 1), (4, 16)])
def test_bad_item_fails_only_its_source(tmp_path, workers, prefetch):
    runtime = z.Zandrel(workers)
    data = {name: items(300, seed) for seed, name in enumerate("abc")}
    sources = Sources([Source("a", data["a"]), Source("b", data["b"], fail_at=150),
                       Source("c", data["c"])])
    profile = tmp_path / "profile.json"
    cfg = config(prefetch_size=prefetch, profiler=NS(enabled=True, path=str(profile)))
    result = z.write_cache(runtime, sources, str(tmp_path), cfg, False)
    assert result == [("success", "a", str(tmp_path / "a")),
                      ("error", "b", "CacheSource must yield CacheInput tuples"),
                      ("success", "c", str(tmp_path / "c"))]
    assert os.listdir(tmp_path / "tmp") == [] and not (tmp_path / "b").exists()
    for name in "ac":
        check_published(runtime, tmp_path / name, data[name])

    # Each source has its own stages; the failed one never reached the builder.
    stages = {s["source_name"]: {st["name"]: st["calls"] for st in s["stages"]}
              for s in json.loads(profile.read_text())["sources"]}
    assert stages["a"]["python_next"] == 301 and stages["a"]["publish"] == 1
    assert stages["a"]["compression"] == 300 and stages["c"]["shard_flush"] == 1
    assert stages["b"]["python_next"] == 151 and stages["b"]["python_extract"] == 150
    assert "publish" not in stages["b"]


def test_failures_of_one_source_and_failures_of_the_call(tmp_path):
    runtime = z.Zandrel(2)

    class NoName:
        def __iter__(self):
            return iter(items(3))

    mixed = items(5) + [(b"x", {"id": 1})] + items(5)
    refused = Source("m", mixed)
    result = z.write_cache(runtime, [Source("ok", items(4)), NoName(), refused,
                                     Source("v", items(9), fail_at=4, exc=ValueError("boom"))],
                           str(tmp_path), config(), False)
    assert result[1] == ("error", "source[1]",
                         "Python error: AttributeError: 'NoName' object has no attribute 'name'")
    # The builder refused a sample: the rest of the source is still pulled.
    assert result[2] == ("error", "m", "metadata keys must be identical for every sample")
    assert refused.pulled == len(mixed)
    assert result[3] == ("error", "v", "Python error: ValueError: boom")

    # A KeyboardInterrupt or SystemExit aborts the call; earlier caches stay.
    class Stop:
        def __init__(self, exc):
            self.exc = exc

        @property
        def name(self):
            raise self.exc

    for exc in (KeyboardInterrupt("stop"), SystemExit(2)):
        base = tmp_path / type(exc).__name__
        with pytest.raises(type(exc)) as info:
            z.write_cache(runtime, [Source("x", items(6)), Stop(exc), Source("y", items(6))],
                          str(base), config(), False)
        assert str(info.value) == f"{type(exc).__name__}: {exc}"
        check_published(runtime, base / "x", items(6))
        assert not (base / "y").exists() and os.listdir(base / "tmp") == []

    # Interrupted inside a source: its build is removed, no triple comes back.
    base = tmp_path / "mid"
    with pytest.raises(KeyboardInterrupt):
        z.write_cache(runtime, [Source("x", items(6)),
                                Source("k", items(50), fail_at=20, exc=KeyboardInterrupt())],
                      str(base), config(), False)
    assert sorted(os.listdir(base)) == ["tmp", "x"]
    assert os.listdir(base / "tmp") == []


def test_duplicates_reuse_and_empty_lists(tmp_path):
    runtime = z.Zandrel(3)
    twins = [Source("a", items(2)), Source("a/", items(2))]
    with pytest.raises(ValueError, match="duplicate generated cache path: .*a/$"):
        z.validate_source_paths(twins, str(tmp_path / "out"))
    with pytest.raises(ValueError, match="duplicate generated cache path"):
        z.write_cache(runtime, twins, str(tmp_path / "out"), config(), False)
    assert not (tmp_path / "out").exists()

    # A reused cache (validated or not) beside one that is written.
    z.write_cache(runtime, [Source("old", items(7))], str(tmp_path), config(), False)
    (tmp_path / "junk").write_text("not a cache")
    for validate in (False, True):
        shutil.rmtree(tmp_path / "new", ignore_errors=True)
        result = z.write_cache(runtime, [Source("old", []), Source("new", items(11)),
                                         Source("junk", [])],
                               str(tmp_path), config(validate_cache=validate), True)
        assert result[:2] == [("success", "old", str(tmp_path / "old")),
                              ("success", "new", str(tmp_path / "new"))]
        assert result[2][0] == ("error" if validate else "success")
        check_published(runtime, tmp_path / "old", items(7))
        check_published(runtime, tmp_path / "new", items(11))
    assert (tmp_path / "junk").read_text() == "not a cache"

    assert z.write_cache(runtime, [], str(tmp_path / "empty"), config(), False) == []
    assert not (tmp_path / "empty").exists()


PROGRESS_SCRIPT = textwrap.dedent("""
    import time
    from types import SimpleNamespace as NS
    from zandrel import _zandrel as z

    class Slow:
        def __init__(self, name):
            self.name = name
        def __iter__(self):
            for i in range(20):
                time.sleep(0.01)
                yield (b"x" * 1000, {"i": i})

    cfg = NS(max_shard_bytes=1 << 20, prefetch_size=4, show_progress=True, validate_cache=False,
             shard_compression=NS(algo="lz4", ratio=1.0))
    rt = z.Zandrel(2)
    print(z.write_cache(rt, [Slow("p"), Slow("q")], BASE, cfg, False))
    print(z.write_cache(rt, [], BASE, cfg, False))
""")


def test_source_bar_on_a_terminal(tmp_path):
    import pty
    script = "BASE = %r\n" % str(tmp_path) + PROGRESS_SCRIPT
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
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
    out = proc.communicate(timeout=60)[0].decode().splitlines()
    os.close(master)
    assert out[1] == "[]" and out[0].count("'success'") == 2
    text = drawn.decode("utf-8", "replace")
    assert "writing p" in text and "writing q" in text  # spinners inside the container
    assert re.search(r"sources 2/2 \d+\.\d sources/s \| ETA 0s", text)
    assert re.search(r"sources 1/2 \d+\.\d sources/s \| ETA \d+s", text)
    assert "sources 0/0 ETA --" in text  # the empty list's bar


INTERRUPT_SCRIPT = textwrap.dedent("""
    import itertools, sys, time
    from types import SimpleNamespace as NS
    from zandrel import _zandrel as z

    class Endless:
        name = "slow"
        def __iter__(self):
            for i in itertools.count():
                time.sleep(0.002)
                yield (b"y" * 100, {"i": i})

    class Fast:
        name = "fast"
        def __iter__(self):
            return iter([(b"x" * 100, {"i": i}) for i in range(50)])

    cfg = NS(max_shard_bytes=1 << 20, prefetch_size=4, show_progress=False, validate_cache=False,
             shard_compression=NS(algo="none", ratio=1.0))
    try:
        z.write_cache(z.Zandrel(2), [Fast(), Endless()], BASE, cfg, False)
    except KeyboardInterrupt as e:
        print("interrupted", e)
""")


def test_ctrl_c_during_a_list_write(tmp_path):
    script = "BASE = %r\n" % str(tmp_path) + INTERRUPT_SCRIPT
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, env=env)
    deadline = time.monotonic() + 30
    while not (tmp_path / "tmp" / "slow").exists():
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    out = proc.communicate(timeout=30)[0].decode()
    assert out.startswith("interrupted KeyboardInterrupt")
    runtime = z.Zandrel(1)
    check_published(runtime, tmp_path / "fast", [(b"x" * 100, {"i": i}) for i in range(50)])
    assert not (tmp_path / "slow").exists() and os.listdir(tmp_path / "tmp") == []
