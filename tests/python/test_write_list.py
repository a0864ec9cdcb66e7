# write_cache over a list of sources: outcomes in list order, what aborts the
# call, duplicates, reuse and empty lists.

import json
import os
import shutil
from types import SimpleNamespace as NS

import pytest

from test_write_cache import Source, check_published, config, items
from zandrel import _zandrel as z


@pytest.mark.parametrize("workers,prefetch", [(1, 8), (4, 1), (4, 16)])
def test_failed_sources_fail_alone(tmp_path, workers, prefetch):
    runtime = z.Zandrel(workers)
    data = {name: items(300, seed) for seed, name in enumerate("abcm")}
    data["b"][150] = ["not", "a tuple"]
    data["m"][5] = (b"x", {"id": 1})  # refused by the builder, not by extraction
    # A list subclass takes the list road too.
    sources = type("Sources", (list,), {})(Source(name, data[name]) for name in "abmc")
    sources.insert(1, object())
    profile = tmp_path / "profile.json"
    cfg = config(prefetch_size=prefetch, profiler=NS(enabled=True, path=str(profile)))
    no_name = "Python error: AttributeError: 'object' object has no attribute 'name'"
    assert z.write_cache(runtime, sources, str(tmp_path), cfg, False) == [
        ("success", "a", str(tmp_path / "a")), ("error", "source[1]", no_name),
        ("error", "b", "CacheSource must yield CacheInput tuples"),
        ("error", "m", "metadata keys must be identical for every sample"),
        ("success", "c", str(tmp_path / "c"))]
    assert sorted(os.listdir(tmp_path)) == ["a", "c", "profile.json", "tmp"]
    assert os.listdir(tmp_path / "tmp") == [] and sources[3].pulled == 300  # m pulled to its end
    for name in "ac":
        check_published(runtime, tmp_path / name, data[name])
    stages = {s["source_name"]: {st["name"]: st["calls"] for st in s["stages"]}
              for s in json.loads(profile.read_text())["sources"]}
    assert stages["a"]["python_next"] == 301 and stages["a"]["compression"] == 300
    assert stages["b"]["python_extract"] == 150 and "publish" not in stages["b"]


def test_name_raising_keyboard_interrupt_ends_the_call(tmp_path):
    class Stop:
        @property
        def name(self):
            raise KeyboardInterrupt("stop")

    runtime = z.Zandrel(2)
    with pytest.raises(KeyboardInterrupt, match="^KeyboardInterrupt: stop$"):
        z.write_cache(runtime, [Source("x", items(6)), Stop(), Source("y", items(6))],
                      str(tmp_path), config(), False)
    check_published(runtime, tmp_path / "x", items(6))  # caches before it stay
    assert not (tmp_path / "y").exists() and os.listdir(tmp_path / "tmp") == []


def test_duplicates_reuse_and_empty_lists(tmp_path):
    runtime = z.Zandrel(3)
    twins = [Source("a", items(2)), object(), Source("A", []), Source("a/", items(2))]
    with pytest.raises(ValueError, match="^duplicate generated cache path: out/a/$"):
        z.validate_source_paths(twins, "out")
    with pytest.raises(ValueError, match="duplicate generated cache path"):
        z.write_cache(runtime, twins, str(tmp_path / "out"), config(), False)
    assert not (tmp_path / "out").exists()
    assert z.validate_source_paths(twins[:3], "out") is None
    with pytest.raises(TypeError, match="sources"):
        z.validate_source_paths(tuple(twins), "out")
    with pytest.raises(TypeError, match="^argument 'base_cache_dir': "):
        z.validate_source_paths(twins, "\ud800")

    # Reused caches (validated or not) beside one that is written.
    z.write_cache(runtime, [Source("old", items(7))], str(tmp_path), config(), False)
    (tmp_path / "junk").write_text("not a cache")
    for validate in (False, True):
        shutil.rmtree(tmp_path / "new", ignore_errors=True)
        sources = [Source("old", []), Source("new", items(11)), Source("junk", [])]
        got = z.write_cache(runtime, sources, str(tmp_path), config(validate_cache=validate), True)
        assert got[:2] == [("success", "old", str(tmp_path / "old")),
                              ("success", "new", str(tmp_path / "new"))]
        assert got[2][0] == ("error" if validate else "success")
        check_published(runtime, tmp_path / "new", items(11))
    check_published(runtime, tmp_path / "old", items(7))
    assert (tmp_path / "junk").read_text() == "not a cache"

    assert z.write_cache(runtime, [], str(tmp_path / "empty"), config(), False) == []
    assert not (tmp_path / "empty").exists()
