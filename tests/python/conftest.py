"""Shared fixtures of the Python tests."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import cachefmt  # noqa: E402


@pytest.fixture
def make_cache(tmp_path):
    """make_cache(name, samples, **kw) writes a cache under tmp_path with the
    pure-Python writer and returns its root path; keywords go to
    cachefmt.write_cache (algo, ratio, max_shard_bytes, source_name)."""

    def make(name, samples, **kw):
        root = tmp_path / name
        kw.setdefault("source_name", name)
        cachefmt.write_cache(root, samples, **kw)
        return root

    return make
