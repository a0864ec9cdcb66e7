"""The module's shape: what importing registers and what Zandrel accepts."""
import os
import subprocess
import sys
import textwrap

import pytest

import zandrel
from zandrel import _zandrel


def thread_names():
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                names.append(comm.read().strip())
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return names


def test_import_registers_four_names_and_starts_nothing():
    # A fresh interpreter: pyarrow first (it may start threads of its own), then ours.
    code = textwrap.dedent(
        """
        import os, pyarrow
        before = len(os.listdir("/proc/self/task"))
        from zandrel import _zandrel
        after = len(os.listdir("/proc/self/task"))
        print(before == after, sorted(n for n in vars(_zandrel) if not n.startswith("__")))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    assert out.stdout.split(" ", 1)[0] == "True"
    assert "['CachedDataset', 'Zandrel', 'validate_source_paths', 'write_cache']" in out.stdout
    assert not hasattr(_zandrel, "PyDatasetIterator")
    for name in ("write_cache", "validate_source_paths", "Zandrel", "CachedDataset"):
        assert getattr(zandrel, name) is getattr(_zandrel, name)


def test_zandrel_arguments():
    with pytest.raises(ValueError, match="^num_workers must be greater than zero$"):
        _zandrel.Zandrel(0)
    with pytest.raises(OverflowError):
        _zandrel.Zandrel(-1)
    with pytest.raises(OverflowError):
        _zandrel.Zandrel(2**64)
    with pytest.raises(TypeError, match="num_workers"):
        _zandrel.Zandrel("2")
    with pytest.raises(TypeError):
        _zandrel.Zandrel()
    with pytest.raises(TypeError):
        _zandrel.Zandrel(1, 2)
    with pytest.raises(TypeError):
        _zandrel.Zandrel(1, num_workers=1)
    _zandrel.Zandrel(num_workers=3)


def test_zandrel_shape():
    assert _zandrel.Zandrel.__text_signature__ == "(num_workers)"
    assert _zandrel.Zandrel.__mro__ == (_zandrel.Zandrel, object)
    with pytest.raises(TypeError):
        type("Sub", (_zandrel.Zandrel,), {})
    runtime = _zandrel.Zandrel(1)
    assert not hasattr(runtime, "__dict__")
    with pytest.raises(AttributeError):
        runtime.anything = 1
    assert set(dir(runtime)) - {"__module__"} == set(dir(object()))


def test_workers_start_at_once_and_carry_their_name():
    # Linux keeps 15 bytes of a thread name, so "zandrel-worker-{i}" shows as
    # "zandrel-worker-".
    runtime = _zandrel.Zandrel(3)
    assert thread_names().count("zandrel-worker-") >= 3
    del runtime
