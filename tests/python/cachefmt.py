"""A pure-Python writer and checker of zandrel cache directories.

Written from the format description alone, with struct, json, hashlib,
pyarrow and lz4.block, so that it shares no code with the C++ library: tests
build caches with `write_cache` for the reader and run every cache the C++
writer produces through `read_cache`.

Layout of a cache root:
    shards/000000.bin ...  records back to back: u64 M, M bytes of compact
                           JSON metadata, then the payload (raw, or u32 length
                           + one raw LZ4 block)
    index.bin              24-byte rows (u64 shard_id, offset, length)
    metadata.arrow         Arrow IPC file, one non-nullable column per field
    manifest.json          pretty JSON (2-space indent, no final newline)
All integers are little-endian.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import struct
from decimal import Decimal
from pathlib import Path

import lz4.block
import pyarrow as pa
import pyarrow.ipc

FORMAT_VERSION = 2
INDEX_ROW = struct.Struct("<QQQ")
LEN_U64 = struct.Struct("<Q")
LEN_U32 = struct.Struct("<I")

ARROW_TYPES = {
    "bool": pa.bool_(),
    "int": pa.int64(),
    "float": pa.float64(),
    "string": pa.string(),
}


class CacheFormatError(AssertionError):
    """A cache directory breaks the format."""


def shard_name(shard_id: int) -> str:
    return f"{shard_id:06d}.bin"


# ---------------------------------------------------------------- JSON texts


def float_text(x: float) -> str:
    """Shortest round-trip text; fixed notation for exponents -5..15."""
    if math.isnan(x) or math.isinf(x):
        return "null"
    if x == 0.0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    _, digit_tuple, exp = Decimal(repr(abs(x))).as_tuple()
    full = "".join(map(str, digit_tuple))
    e = len(full) - 1 + exp  # decimal exponent of the first digit
    digits = full.rstrip("0")
    n = len(digits)
    sign = "-" if x < 0 else ""
    if -5 <= e <= 15:
        if n - 1 <= e:
            body = digits + "0" * (e + 1 - n) + ".0"
        elif e < 0:
            body = "0." + "0" * (-e - 1) + digits
        else:
            body = digits[: e + 1] + "." + digits[e + 1 :]
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "")
        body += "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return sign + body


def string_text(s: str) -> str:
    # Python escapes exactly ", \, \b \f \n \r \t and other controls as
    # lowercase \u00XX, and leaves 0x7F and non-ASCII raw.
    return json.dumps(s, ensure_ascii=False)


def value_text(v) -> str:
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, str):
        return string_text(v)
    raise TypeError(f"unsupported metadata value {v!r}")


def kind_of(v) -> str:
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, int):
        return "int"
    if isinstance(v, float):
        return "float"
    if isinstance(v, str):
        return "string"
    raise TypeError(f"unsupported metadata value {v!r}")


def byte_sorted(keys):
    return sorted(keys, key=lambda k: k.encode("utf-8"))


def encode_metadata(meta: dict) -> bytes:
    """Compact JSON object, keys in byte order, no whitespace."""
    parts = [string_text(k) + ":" + value_text(meta[k]) for k in byte_sorted(meta)]
    return ("{" + ",".join(parts) + "}").encode("utf-8")


def pretty_json(obj, indent: int = 0) -> str:
    """Two-space pretty form; integers plain, floats by `float_text`."""
    pad = "  " * (indent + 1)
    end = "  " * indent
    if isinstance(obj, dict):
        if not obj:
            return "{}"
        items = [f"{pad}{string_text(k)}: {pretty_json(v, indent + 1)}" for k, v in obj.items()]
        return "{\n" + ",\n".join(items) + "\n" + end + "}"
    if isinstance(obj, list):
        if not obj:
            return "[]"
        items = [pad + pretty_json(v, indent + 1) for v in obj]
        return "[\n" + ",\n".join(items) + "\n" + end + "]"
    return value_text(obj)


# ---------------------------------------------------------------- records


def encode_payload(data: bytes, algo: str) -> bytes:
    if algo == "none":
        return bytes(data)
    if algo == "lz4":
        return LEN_U32.pack(len(data)) + lz4.block.compress(bytes(data), store_size=False)
    raise ValueError(f"unknown algo {algo!r}")


def decode_payload(payload: bytes, algo: str) -> bytes:
    if algo == "none":
        return bytes(payload)
    if algo == "lz4":
        if len(payload) < 5:
            raise CacheFormatError("lz4 payload shorter than its prefix and one byte")
        (length,) = LEN_U32.unpack_from(payload)
        data = lz4.block.decompress(payload[4:], uncompressed_size=length)
        if len(data) != length:
            raise CacheFormatError(f"lz4 block gave {len(data)} bytes, prefix says {length}")
        return data
    raise CacheFormatError(f"unknown algo {algo!r}")


def encode_record(data: bytes, meta: dict, algo: str = "none") -> bytes:
    js = encode_metadata(meta)
    return LEN_U64.pack(len(js)) + js + encode_payload(data, algo)


def sha256_file(path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 16), b""):
            h.update(chunk)
    return h.hexdigest()


# ---------------------------------------------------------------- writing


def write_metadata_arrow(path, schema: list[dict], rows: list[list]) -> None:
    fields = [pa.field(f["name"], ARROW_TYPES[f["kind"]], nullable=False) for f in schema]
    arrow_schema = pa.schema(fields)
    columns = [
        pa.array([row[i] for row in rows], type=ARROW_TYPES[f["kind"]])
        for i, f in enumerate(schema)
    ]
    batch = pa.record_batch(columns, schema=arrow_schema)
    with pa.OSFile(str(path), "wb") as sink:
        with pa.ipc.new_file(sink, arrow_schema) as writer:
            writer.write_batch(batch)


def write_manifest(root, manifest: dict) -> None:
    """Writes `manifest` (a dict in key order) as manifest.json."""
    Path(root, "manifest.json").write_bytes(pretty_json(manifest).encode("utf-8"))


def read_manifest(root) -> dict:
    return json.loads(Path(root, "manifest.json").read_bytes())


def rewrite_checksums(root) -> dict:
    """Recomputes every checksum of manifest.json after files were edited.

    Shard "byte_len" values are left alone, so an edited shard length is
    still caught by a reader's size checks.
    """
    root = Path(root)
    manifest = read_manifest(root)
    manifest["metadata_sha256"] = sha256_file(root / "metadata.arrow")
    manifest["index_sha256"] = sha256_file(root / "index.bin")
    for shard in manifest["shards"]:
        shard["sha256"] = sha256_file(root / "shards" / shard["name"])
    write_manifest(root, manifest)
    return manifest


def write_cache(
    root,
    samples,
    algo: str = "none",
    ratio: float = 1.0,
    max_shard_bytes: int = 1 << 26,
    source_name: str = "source",
) -> dict:
    """Writes `samples` [(data bytes, metadata dict)] as a cache at `root`.

    The first sample fixes the schema (keys in byte order with their kinds);
    every later sample must match it. Returns the manifest dict.
    """
    root = Path(root)
    if root.exists():
        raise ValueError(f"cache path already exists: {root}")
    if not samples:
        raise ValueError("cache source yielded no samples")
    first = samples[0][1]
    schema = [{"name": k, "kind": kind_of(first[k])} for k in byte_sorted(first)]
    if not schema:
        raise ValueError("a cache needs at least one metadata field")
    (root / "shards").mkdir(parents=True)

    compression = {"algo": algo, "ratio": float(ratio)}
    shards: list[dict] = []
    index: list[tuple[int, int, int]] = []
    rows: list[list] = []
    cur = {"id": 0, "buf": bytearray(), "raw": 0}

    def close_shard():
        name = shard_name(cur["id"])
        (root / "shards" / name).write_bytes(cur["buf"])
        shards.append({
            "name": name,
            "uncompressed_byte_len": cur["raw"],
            "byte_len": len(cur["buf"]),
            "compression": dict(compression),
            "sha256": hashlib.sha256(cur["buf"]).hexdigest(),
        })

    for data, meta in samples:
        if len(meta) != len(schema):
            raise ValueError("metadata keys must be identical for every sample")
        for f in schema:
            if f["name"] not in meta:
                raise ValueError(f"metadata field '{f['name']}' is missing")
            if kind_of(meta[f["name"]]) != f["kind"]:
                raise ValueError(f"metadata field '{f['name']}' kind differs")
        record = encode_record(data, meta, algo)
        if cur["buf"] and len(cur["buf"]) + len(record) > max_shard_bytes:
            close_shard()
            cur = {"id": cur["id"] + 1, "buf": bytearray(), "raw": 0}
        index.append((cur["id"], len(cur["buf"]), len(record)))
        cur["buf"] += record
        cur["raw"] += len(data)
        rows.append([meta[f["name"]] for f in schema])
    close_shard()

    write_metadata_arrow(root / "metadata.arrow", schema, rows)
    (root / "index.bin").write_bytes(b"".join(INDEX_ROW.pack(*row) for row in index))
    manifest = {
        "format_version": FORMAT_VERSION,
        "source_name": source_name,
        "sample_count": len(index),
        "metadata_schema": schema,
        "metadata_sha256": sha256_file(root / "metadata.arrow"),
        "index_sha256": sha256_file(root / "index.bin"),
        "shards": shards,
    }
    write_manifest(root, manifest)
    return manifest


# ---------------------------------------------------------------- checking


def _fail(msg: str):
    raise CacheFormatError(msg)


def _same_value(a, b) -> bool:
    if kind_of(a) != kind_of(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def _check_manifest_shape(m: dict) -> None:
    keys = ["format_version", "source_name", "sample_count", "metadata_schema",
            "metadata_sha256", "index_sha256", "shards"]
    if list(m) != keys:
        _fail(f"manifest keys {list(m)} are not {keys}")
    if m["format_version"] != FORMAT_VERSION:
        _fail(f"format_version {m['format_version']}")
    for f in m["metadata_schema"]:
        if list(f) != ["name", "kind"] or f["kind"] not in ARROW_TYPES:
            _fail(f"bad schema entry {f}")
    names = [f["name"] for f in m["metadata_schema"]]
    if names != byte_sorted(names) or len(set(names)) != len(names):
        _fail(f"schema names not unique and in byte order: {names}")
    for i, s in enumerate(m["shards"]):
        if list(s) != ["name", "uncompressed_byte_len", "byte_len", "compression", "sha256"]:
            _fail(f"bad shard entry keys {list(s)}")
        if s["name"] != shard_name(i):
            _fail(f"shard {i} is named {s['name']}")
        c = s["compression"]
        if list(c) != ["algo", "ratio"] or c["algo"] not in ("none", "lz4"):
            _fail(f"bad compression {c}")
        if not isinstance(c["ratio"], float):
            _fail(f"ratio {c['ratio']!r} is not written as a float")
    for digest in [m["metadata_sha256"], m["index_sha256"]] + [s["sha256"] for s in m["shards"]]:
        if len(digest) != 64 or digest != digest.lower():
            _fail(f"checksum {digest!r} is not 64 lowercase hex digits")


def read_cache(root, strict: bool = True):
    """Checks the cache at `root` and returns (manifest, [(data, metadata)]).

    Raises CacheFormatError on any departure from the format. With `strict`
    the bytes must also be exactly what a conforming writer produces: the
    manifest's pretty layout, canonical record JSON, exactly one Arrow batch,
    and no stray files.
    """
    root = Path(root)
    text = Path(root, "manifest.json").read_bytes()
    m = json.loads(text)
    _check_manifest_shape(m)
    if strict and pretty_json(m).encode("utf-8") != text:
        _fail("manifest.json is not in the canonical pretty form")
    if strict:
        top = sorted(os.listdir(root))
        if top != ["index.bin", "manifest.json", "metadata.arrow", "shards"]:
            _fail(f"unexpected root entries {top}")
        on_disk = sorted(os.listdir(root / "shards"))
        if on_disk != [s["name"] for s in m["shards"]]:
            _fail(f"shard files {on_disk} differ from the manifest")

    # Checksums of every file.
    if sha256_file(root / "metadata.arrow") != m["metadata_sha256"]:
        _fail("checksum mismatch for metadata.arrow")
    if sha256_file(root / "index.bin") != m["index_sha256"]:
        _fail("checksum mismatch for index.bin")
    shard_bytes = []
    for s in m["shards"]:
        raw = (root / "shards" / s["name"]).read_bytes()
        if hashlib.sha256(raw).hexdigest() != s["sha256"]:
            _fail(f"checksum mismatch for {s['name']}")
        if len(raw) != s["byte_len"]:
            _fail(f"{s['name']} has {len(raw)} bytes, manifest says {s['byte_len']}")
        shard_bytes.append(raw)

    # Index rows: contiguous within each shard, shards in order, none empty.
    index_raw = (root / "index.bin").read_bytes()
    if len(index_raw) % INDEX_ROW.size:
        _fail("index length is not divisible by row size")
    rows = [INDEX_ROW.unpack_from(index_raw, i) for i in range(0, len(index_raw), INDEX_ROW.size)]
    if len(rows) != m["sample_count"]:
        _fail(f"{len(rows)} index rows for sample_count {m['sample_count']}")
    expect_shard, expect_offset = 0, 0
    for i, (sid, off, length) in enumerate(rows):
        if sid != expect_shard:
            if sid != expect_shard + 1 or expect_offset != m["shards"][expect_shard]["byte_len"]:
                _fail(f"index row {i} jumps to shard {sid} at shard {expect_shard} offset {expect_offset}")
            expect_shard, expect_offset = sid, 0
        if off != expect_offset:
            _fail(f"index row {i} at offset {off}, expected {expect_offset}")
        expect_offset += length
    if rows and (expect_shard != len(m["shards"]) - 1
                 or expect_offset != m["shards"][-1]["byte_len"]):
        _fail("index does not end at the end of the last shard")

    # metadata.arrow: the manifest's schema, non-nullable, no metadata.
    reader = pa.ipc.open_file(str(root / "metadata.arrow"))
    schema = reader.schema
    if schema.metadata:
        _fail("metadata.arrow carries schema metadata")
    expected = [(f["name"], ARROW_TYPES[f["kind"]]) for f in m["metadata_schema"]]
    if [(f.name, f.type) for f in schema] != expected:
        _fail(f"metadata.arrow schema {schema} differs from the manifest's")
    if any(f.nullable or f.metadata for f in schema):
        _fail("metadata.arrow fields must be non-nullable and carry no metadata")
    if strict and reader.num_record_batches != 1:
        _fail(f"metadata.arrow has {reader.num_record_batches} batches")
    table = reader.read_all()
    if table.num_rows != len(rows):
        _fail(f"metadata.arrow has {table.num_rows} rows for {len(rows)} samples")
    if any(col.null_count for col in table.columns):
        _fail("metadata.arrow holds nulls")
    arrow_rows = table.to_pylist()

    # Records, split by hand.
    samples = []
    raw_sums = [0] * len(m["shards"])
    for i, (sid, off, length) in enumerate(rows):
        rec = shard_bytes[sid][off : off + length]
        if len(rec) != length or length < 8:
            _fail(f"record {i} is cut short")
        (mlen,) = LEN_U64.unpack_from(rec)
        if mlen > length - 8:
            _fail(f"record {i} JSON length {mlen} passes its end")
        js = rec[8 : 8 + mlen]
        try:
            meta = json.loads(js)
        except ValueError as e:
            _fail(f"record {i} metadata is not JSON: {e}")
        if not isinstance(meta, dict):
            _fail(f"record {i} metadata is not an object")
        if strict and encode_metadata(meta) != js:
            _fail(f"record {i} metadata {js!r} is not canonical")
        if byte_sorted(meta) != [f["name"] for f in m["metadata_schema"]]:
            _fail(f"record {i} keys {list(meta)} differ from the schema")
        for f in m["metadata_schema"]:
            a, b = meta[f["name"]], arrow_rows[i][f["name"]]
            if a is None:
                _fail(f"record {i} field {f['name']} is null")
            if kind_of(a) != f["kind"] or not _same_value(a, b):
                _fail(f"record {i} field {f['name']}: {a!r} vs arrow {b!r}")
        try:
            data = decode_payload(rec[8 + mlen :], m["shards"][sid]["compression"]["algo"])
        except lz4.block.LZ4BlockError as e:
            _fail(f"record {i} payload: {e}")
        raw_sums[sid] += len(data)
        samples.append((data, meta))
    for s, total in zip(m["shards"], raw_sums):
        if s["uncompressed_byte_len"] != total:
            _fail(f"{s['name']} uncompressed_byte_len {s['uncompressed_byte_len']} != {total}")
    return m, samples
