"""The module's shape: what importing registers and what Zandrel accepts."""
import contextlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import zandrel
from zandrel import _zandrel


def test_import_registers_four_names_and_starts_nothing():
    # A fresh interpreter that imports this same package and nothing else. The
    # only thread besides the main one may be the linked Arrow library's
    # allocator thread; pyarrow (and numpy with it) stays unimported.
    # That thread names itself once it runs, so its name is read again for a
    # moment while it still carries the interpreter's.
    code = ("import json, os, sys, time, zandrel\n"
            "def names():\n"
            "    return [open(f'/proc/self/task/{t}/comm').read().strip()\n"
            "            for t in os.listdir('/proc/self/task') if t != str(os.getpid())]\n"
            "for _ in range(100):\n"
            "    if set(names()) <= {'jemalloc_bg_thd'}: break\n"
            "    time.sleep(0.01)\n"
            "print(json.dumps({'threads': names(), 'modules': [m for m in ('numpy', 'pyarrow') if m in sys.modules],\n"
            "                  'names': sorted(k for k in vars(zandrel._zandrel) if k[0] != '_')}))")
    path = os.pathsep.join(filter(None, [str(Path(zandrel.__file__).parents[1]), os.environ.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=path))
    seen = json.loads(out.stdout)
    assert len(seen["threads"]) <= 1 and set(seen["threads"]) <= {"jemalloc_bg_thd"}, seen["threads"]
    assert seen["modules"] == []
    assert seen["names"] == ["CachedDataset", "Zandrel", "validate_source_paths", "write_cache"]
    for name in ("write_cache", "validate_source_paths", "Zandrel", "CachedDataset"):
        assert getattr(zandrel, name) is getattr(_zandrel, name)


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((0,), {}, ValueError, "^num_workers must be greater than zero$"),
    ((-1,), {}, OverflowError, None),
    (("2",), {}, TypeError, "num_workers"),
    ((), {}, TypeError, None),
    ((1,), {"num_workers": 1}, TypeError, None),
])
def test_zandrel_refuses_bad_arguments(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        _zandrel.Zandrel(*args, **kwargs)


def test_zandrel_shape_and_worker_threads():
    assert _zandrel.Zandrel.__text_signature__ == "(num_workers)"
    assert _zandrel.Zandrel.__mro__ == (_zandrel.Zandrel, object)
    with pytest.raises(TypeError):
        type("Sub", (_zandrel.Zandrel,), {})
    runtime = _zandrel.Zandrel(num_workers=3)
    # No attribute dictionary or weak-reference slot: nothing beyond object's.
    assert set(dir(runtime)) - {"__module__"} == set(dir(object()))
    # Linux keeps 15 bytes of a thread name: "zandrel-worker-{i}" shows as "zandrel-worker-".
    names = []
    for tid in os.listdir("/proc/self/task"):
        with contextlib.suppress(FileNotFoundError), open(f"/proc/self/task/{tid}/comm") as comm:
            names.append(comm.read().strip())
    assert names.count("zandrel-worker-") >= 3
