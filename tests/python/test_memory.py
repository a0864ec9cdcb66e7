"""What an epoch of large samples holds in memory: bounded however far the
payloads expand, and let go once the epoch is over even while its iterator is
still referenced. Each figure comes from a fresh child process."""

import json
import subprocess
import sys

import pytest

MIB = 1 << 20

# Reads one epoch in order and prints RSS before it, its peak during it (the
# high-water mark reset first, where the kernel allows) and RSS after it with
# the finished iterator still referenced, in MiB.
CHILD = r"""
import json, sys
from zandrel import _zandrel as z

def status():
    with open("/proc/self/status") as f:
        pairs = (line.split(":", 1) for line in f)
        return {k: int(v.split()[0]) / 1024 for k, v in pairs if v.strip().endswith("kB")}

root, workers, prefetch = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
ds = z.CachedDataset(z.Zandrel(workers), [root], 0, prefetch, False, False)
before = status()["VmRSS"]
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
it = iter(ds)
count = sum(1 for data, _, _, _ in it if len(data) == int(sys.argv[4]))
after = status()
print(json.dumps({"count": count, "peak": after["VmHWM"] - before,
                  "held": after["VmRSS"] - before}))
"""


def read_in_child(root, workers, prefetch, size):
    out = subprocess.run([sys.executable, "-c", CHILD, str(root), str(workers), str(prefetch),
                          str(size)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


@pytest.mark.parametrize("workers,prefetch", [(4, 4), (64, 64)])
def test_compressed_epoch_stays_within_its_bound(make_cache, workers, prefetch):
    # 512 payloads of 1 MiB that lz4 stores in about 4 KiB each: runs capped
    # only by their stored bytes would each decode hundreds of MiB.
    payload = bytes(MIB)
    root = make_cache("zeros", [(payload, {"i": i}) for i in range(512)], algo="lz4")
    got = read_in_child(root, workers, prefetch, MIB)
    assert got["count"] == 512
    assert got["peak"] < 256, got
    assert got["held"] < 48, got


def test_finished_iterator_holds_no_buffers(make_cache):
    # Record lengths differ (the metadata grows), as in a user's cache.
    payload = bytes(range(256)) * 4096
    root = make_cache("raw", [(payload, {"label": i}) for i in range(300)])
    got = read_in_child(root, 64, 64, MIB)
    assert got["count"] == 300
    assert got["peak"] < 256, got
    assert got["held"] < 48, got
