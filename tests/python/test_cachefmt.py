"""The pure-Python cache writer and checker agree with each other and with
the documented byte layout."""

import struct

import pytest

import cachefmt


def samples(n):
    return [
        (bytes([i % 251]) * (i * 37 % 300), {"b": i % 2 == 0, "i": -i, "f": i / 3, "s": f"é\t{i}"})
        for i in range(n)
    ]


@pytest.mark.parametrize("algo,ratio", [("none", 1.0), ("lz4", 0.5)])
def test_round_trip_over_several_shards(make_cache, algo, ratio):
    data = samples(20)
    root = make_cache("c", data, algo=algo, ratio=ratio, max_shard_bytes=700)
    manifest, got = cachefmt.read_cache(root)
    assert len(manifest["shards"]) > 2
    assert [s["compression"] for s in manifest["shards"]] == [{"algo": algo, "ratio": ratio}] * len(manifest["shards"])
    assert [m["name"] for m in manifest["metadata_schema"]] == ["b", "f", "i", "s"]
    assert [(d, m) for d, m in got] == [(d, dict(sorted(m.items()))) for d, m in data]
    text = (root / "manifest.json").read_text()
    assert text.startswith('{\n  "format_version": 2,\n') and text.endswith("\n}")
    assert '"ratio": %s' % ("1.0" if ratio == 1.0 else "0.5") in text

    # A flipped payload byte is caught by the shard checksum, and still by the
    # record check once the checksums were rewritten.
    shard = root / "shards" / "000000.bin"
    raw = bytearray(shard.read_bytes())
    raw[8] ^= 0x20  # first byte of the first record's JSON: '{' -> '['
    shard.write_bytes(bytes(raw))
    with pytest.raises(cachefmt.CacheFormatError, match="checksum mismatch"):
        cachefmt.read_cache(root)
    cachefmt.rewrite_checksums(root)
    with pytest.raises(cachefmt.CacheFormatError, match="record 0 metadata is not JSON"):
        cachefmt.read_cache(root)


def test_documented_bytes():
    rec = cachefmt.encode_record(b"abc", {"label": 3})
    assert rec == struct.pack("<Q", 11) + b'{"label":3}abc'
    assert cachefmt.encode_metadata({"b": 1, "a": True, "c": "x", "B": 0.0}) == b'{"B":0.0,"a":true,"b":1,"c":"x"}'
    cases = {1.0: "1.0", 100.0: "100.0", 1e15: "1000000000000000.0", 0.5: "0.5", 1e-5: "0.00001",
             -1.5e-5: "-0.000015", 12.25: "12.25", 1e16: "1e+16", 1.5e-7: "1.5e-7", 5e-324: "5e-324", -0.0: "-0.0",
             0.1 + 0.2: "0.30000000000000004", float("inf"): "null"}
    assert {k: cachefmt.float_text(k) for k in cases} == cases
    assert cachefmt.value_text("\t\x01\x7fé") == '"\\t\\u0001\x7fé"'
