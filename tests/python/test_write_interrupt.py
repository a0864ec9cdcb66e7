# A signal during a long write, by either road: the call raises, the source
# being written is not published and its build directory is removed, caches
# finished before stay, and the profile is still written. The long source is
# a C-level iterator (itertools.repeat), so no Python code runs between its
# items: only the writer's own signal checks see the signal.

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import cachefmt

SCRIPT = textwrap.dedent("""
    import itertools, signal, sys
    from types import SimpleNamespace as NS
    from zandrel import _zandrel as z

    base, profile, workers, road = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]

    def leave(signum, frame):
        raise SystemExit("leaving")
    signal.signal(signal.SIGUSR1, leave)

    def source(name, iterator):
        return type("Source", (), {"name": name, "__iter__": lambda self: iterator})()

    endless = source("long", itertools.repeat((bytes(range(256)) * 256, {"i": 1})))
    sources = [source("short", iter([(b"x" * 100, {"i": i}) for i in range(50)])), endless]
    cfg = NS(max_shard_bytes=1 << 20, prefetch_size=8, show_progress=False, validate_cache=False,
             shard_compression=NS(algo="lz4", ratio=1.0), profiler=NS(enabled=True, path=profile))
    try:
        z.write_cache(z.Zandrel(workers), sources if road == "list" else endless, base, cfg, False)
        print("returned")
    except (KeyboardInterrupt, SystemExit) as e:
        print(type(e).__name__ + "|" + str(e))
""")


@pytest.mark.parametrize("road,workers,signum,expected", [
    ("single", 1, signal.SIGINT, "KeyboardInterrupt|KeyboardInterrupt: "),
    ("single", 4, signal.SIGUSR1, "SystemExit|SystemExit: leaving"),
    ("list", 4, signal.SIGINT, "KeyboardInterrupt|KeyboardInterrupt: "),
])
def test_signal_during_write_stops_it_cleanly(tmp_path, road, workers, signum, expected):
    base, profile = tmp_path / "caches", tmp_path / "profile.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen(
        [sys.executable, "-c", SCRIPT, str(base), str(profile), str(workers), road],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        # Wait until samples of the long source reach its build directory.
        shard = base / "tmp" / "long" / "shards" / "000001.bin"
        deadline = time.monotonic() + 30
        while not shard.exists():
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline, "the write never got going"
            time.sleep(0.02)
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert out.decode().rstrip("\n") == expected, err.decode()

    assert sorted(os.listdir(base)) == (["short", "tmp"] if road == "list" else ["tmp"])
    assert os.listdir(base / "tmp") == []
    if road == "list":
        assert len(cachefmt.read_cache(base / "short")[1]) == 50
    stages = {s["source_name"]: {st["name"]: st["calls"] for st in s["stages"]}
              for s in json.loads(profile.read_text())["sources"]}
    assert stages["long"]["python_next"] > 16 and stages["long"]["disk_write"] > 16
    assert "publish" not in stages["long"]
