"""A signal during a long write: the call raises, nothing is published, the
build directory is removed and the profile is still written.

The source is a C-level iterator (itertools.repeat), so no Python code runs
between items: only the writer's own signal checks can see the signal."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

SCRIPT = textwrap.dedent("""
    import itertools, signal, sys
    from types import SimpleNamespace as NS
    from zandrel import _zandrel as z

    base, profile, workers = sys.argv[1], sys.argv[2], int(sys.argv[3])

    def leave(signum, frame):
        raise SystemExit("leaving")
    signal.signal(signal.SIGUSR1, leave)

    class Endless:
        name = "long"
        def __iter__(self):
            return itertools.repeat((bytes(range(256)) * 256, {"i": 1, "s": "x"}))

    cfg = NS(max_shard_bytes=1 << 20, prefetch_size=8, show_progress=False, validate_cache=False,
             shard_compression=NS(algo="lz4", ratio=1.0),
             profiler=NS(enabled=True, path=profile))
    try:
        z.write_cache(z.Zandrel(workers), Endless(), base, cfg, False)
        print("returned")
    except KeyboardInterrupt as e:
        print("KeyboardInterrupt|" + str(e))
    except SystemExit as e:
        print("SystemExit|" + str(e))
""")


@pytest.mark.parametrize("workers,signum,expected", [
    (1, signal.SIGINT, "KeyboardInterrupt|KeyboardInterrupt: "),
    (4, signal.SIGINT, "KeyboardInterrupt|KeyboardInterrupt: "),
    (4, signal.SIGUSR1, "SystemExit|SystemExit: leaving"),
])
def test_signal_during_write_stops_it_cleanly(tmp_path, workers, signum, expected):
    base, profile = tmp_path / "caches", tmp_path / "profile.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", SCRIPT, str(base), str(profile), str(workers)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        # Wait until samples are being written into the build directory.
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

    assert not (base / "long").exists()
    assert os.listdir(base / "tmp") == []
    stages = {s["name"]: s["calls"] for s in json.loads(profile.read_text())["sources"][0]["stages"]}
    assert stages["python_next"] > 16 and stages["disk_write"] > 16
    assert "publish" not in stages
