"""A pure-Python writer and checker of zandrel cache directories.

Written from the format description alone (struct, json, hashlib, pyarrow,
lz4.block), sharing no code with the C++ library: tests build caches with
`write_cache` for the reader and run every cache the C++ writer produces
through `read_cache`.

A cache root holds shards/000000.bin ... (records back to back: u64 M, M bytes
of compact JSON metadata, the payload raw or as u32 length + one LZ4 block),
index.bin (24-byte rows u64 shard_id, offset, length), metadata.arrow (Arrow
IPC file) and manifest.json (pretty JSON). Integers are little-endian.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import re
import struct
from decimal import Decimal
from pathlib import Path

import lz4.block
import pyarrow as pa
import pyarrow.ipc

FORMAT_VERSION = 2
INDEX_ROW = struct.Struct("<QQQ")
U64 = struct.Struct("<Q")
U32 = struct.Struct("<I")
KINDS = {bool: "bool", int: "int", float: "float", str: "string"}  # by exact Python type
ARROW_TYPES = {"bool": pa.bool_(), "int": pa.int64(), "float": pa.float64(), "string": pa.string()}
MANIFEST_KEYS = ["format_version", "source_name", "sample_count", "metadata_schema",
                 "metadata_sha256", "index_sha256", "shards"]
SHARD_KEYS = ["name", "uncompressed_byte_len", "byte_len", "compression", "sha256"]


class CacheFormatError(AssertionError):
    """A cache directory breaks the format."""


def _fail(msg: str):
    raise CacheFormatError(msg)


def shard_name(shard_id: int) -> str:
    return f"{shard_id:06d}.bin"


def kind_of(v) -> str | None:
    return KINDS.get(type(v))


def byte_sorted(keys) -> list:
    return sorted(keys, key=lambda k: k.encode("utf-8"))


# ---------------------------------------------------------------- JSON texts


def float_text(x: float) -> str:
    """Shortest round-trip digits; fixed notation for exponents -5..15."""
    if not math.isfinite(x):
        return "null"
    text = repr(x)  # shortest digits, exponential below 1e-4 and from 1e16 on
    if "e-05" in text:
        return format(Decimal(text), "f")
    return re.sub(r"e([+-])0*", r"e\1", text)


def value_text(v) -> str:
    # json.dumps escapes exactly ", \, \b \f \n \r \t and other controls as
    # lowercase \u00XX, and leaves 0x7F and non-ASCII as they are.
    return float_text(v) if isinstance(v, float) else json.dumps(v, ensure_ascii=False)


def encode_metadata(meta: dict) -> bytes:
    """Compact JSON object, keys in byte order, no whitespace."""
    members = [value_text(k) + ":" + value_text(meta[k]) for k in byte_sorted(meta)]
    return ("{" + ",".join(members) + "}").encode("utf-8")


def pretty_json(obj, depth: int = 0) -> str:
    """Two-space pretty form; integers plain, floats by `float_text`."""
    pad, end = "  " * (depth + 1), "  " * depth
    if isinstance(obj, dict):
        items = [f"{value_text(k)}: {pretty_json(v, depth + 1)}" for k, v in obj.items()]
        brackets = "{}"
    elif isinstance(obj, list):
        items = [pretty_json(v, depth + 1) for v in obj]
        brackets = "[]"
    else:
        return value_text(obj)
    if not items:
        return brackets
    return brackets[0] + "\n" + ",\n".join(pad + i for i in items) + "\n" + end + brackets[1]


# ---------------------------------------------------------------- records and files


def encode_record(data: bytes, meta: dict, algo: str = "none") -> bytes:
    if algo not in ("none", "lz4"):
        raise ValueError(f"unknown algo {algo!r}")
    js = encode_metadata(meta)
    if algo == "lz4":
        data = U32.pack(len(data)) + lz4.block.compress(bytes(data), store_size=False)
    return U64.pack(len(js)) + js + bytes(data)


def decode_payload(payload: bytes, algo: str) -> bytes:
    if algo == "none":
        return bytes(payload)
    if len(payload) < 5:
        _fail("lz4 payload shorter than its prefix and one byte")
    (length,) = U32.unpack_from(payload)
    try:
        data = lz4.block.decompress(payload[4:], uncompressed_size=length)
    except lz4.block.LZ4BlockError as e:
        _fail(f"lz4 block does not decode: {e}")
    if len(data) != length:
        _fail(f"lz4 block gave {len(data)} bytes, prefix says {length}")
    return data


def sha256_file(path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def read_manifest(root) -> dict:
    return json.loads(Path(root, "manifest.json").read_bytes())


def write_manifest(root, manifest: dict) -> None:
    """Writes `manifest` (a dict in key order) as manifest.json."""
    Path(root, "manifest.json").write_bytes(pretty_json(manifest).encode("utf-8"))


def rewrite_checksums(root) -> dict:
    """Recomputes the checksums in manifest.json after files were edited
    (not "byte_len", so an edited shard length is still caught)."""
    root = Path(root)
    manifest = read_manifest(root)
    manifest["metadata_sha256"] = sha256_file(root / "metadata.arrow")
    manifest["index_sha256"] = sha256_file(root / "index.bin")
    for shard in manifest["shards"]:
        shard["sha256"] = sha256_file(root / "shards" / shard["name"])
    write_manifest(root, manifest)
    return manifest


def write_cache(root, samples, algo: str = "none", ratio: float = 1.0,
                max_shard_bytes: int = 1 << 26, source_name: str = "source") -> dict:
    """Writes `samples` [(data bytes, metadata dict)] as a cache at `root` and
    returns its manifest; the first sample fixes the schema."""
    root = Path(root)
    if root.exists():
        raise ValueError(f"cache path already exists: {root}")
    if not samples or not samples[0][1]:
        raise ValueError("a cache needs at least one sample and one metadata field")
    names = byte_sorted(samples[0][1])
    kinds = [kind_of(samples[0][1][n]) for n in names]
    shards, raw_lens, index, rows = [bytearray()], [0], [], []
    for data, meta in samples:
        if byte_sorted(meta) != names or [kind_of(meta[n]) for n in names] != kinds:
            raise ValueError(f"metadata {meta!r} does not match the schema of the first sample")
        record = encode_record(data, meta, algo)
        if shards[-1] and len(shards[-1]) + len(record) > max_shard_bytes:
            shards.append(bytearray())
            raw_lens.append(0)
        index.append((len(shards) - 1, len(shards[-1]), len(record)))
        shards[-1] += record
        raw_lens[-1] += len(data)
        rows.append([meta[n] for n in names])

    (root / "shards").mkdir(parents=True)
    for i, shard in enumerate(shards):
        (root / "shards" / shard_name(i)).write_bytes(shard)
    arrow_schema = pa.schema([pa.field(n, ARROW_TYPES[k], nullable=False) for n, k in zip(names, kinds)])
    columns = [pa.array([row[i] for row in rows], type=ARROW_TYPES[k]) for i, k in enumerate(kinds)]
    with pa.OSFile(str(root / "metadata.arrow"), "wb") as sink:
        with pa.ipc.new_file(sink, arrow_schema) as writer:
            writer.write_batch(pa.record_batch(columns, schema=arrow_schema))
    (root / "index.bin").write_bytes(b"".join(INDEX_ROW.pack(*row) for row in index))
    manifest = {
        "format_version": FORMAT_VERSION,
        "source_name": source_name,
        "sample_count": len(index),
        "metadata_schema": [{"name": n, "kind": k} for n, k in zip(names, kinds)],
        "metadata_sha256": sha256_file(root / "metadata.arrow"),
        "index_sha256": sha256_file(root / "index.bin"),
        "shards": [{
            "name": shard_name(i),
            "uncompressed_byte_len": raw_len,
            "byte_len": len(shard),
            "compression": {"algo": algo, "ratio": float(ratio)},
            "sha256": hashlib.sha256(shard).hexdigest(),
        } for i, (shard, raw_len) in enumerate(zip(shards, raw_lens))],
    }
    write_manifest(root, manifest)
    return manifest


# ---------------------------------------------------------------- checking


def read_cache(root, strict: bool = True):
    """Returns (manifest, [(data, metadata)]) of the cache at `root`, raising
    CacheFormatError on any departure from the format. With `strict` the bytes
    must also be exactly what the writer produces: the manifest's pretty form,
    canonical record JSON, one Arrow batch and no stray files."""
    root = Path(root)
    m = _check_manifest(root, strict)
    shard_bytes = _check_checksums(root, m)
    rows = _check_index(root, m)
    arrow_rows = _check_metadata_arrow(root, m, strict)
    return m, _check_records(m, shard_bytes, rows, arrow_rows, strict)


def _check_manifest(root: Path, strict: bool) -> dict:
    text = (root / "manifest.json").read_bytes()
    m = json.loads(text)
    if list(m) != MANIFEST_KEYS:
        _fail(f"manifest keys {list(m)} are not {MANIFEST_KEYS}")
    if m["format_version"] != FORMAT_VERSION:
        _fail(f"format_version {m['format_version']}")
    for f in m["metadata_schema"]:
        if list(f) != ["name", "kind"] or f["kind"] not in ARROW_TYPES:
            _fail(f"bad schema entry {f}")
    names = [f["name"] for f in m["metadata_schema"]]
    if not names or names != byte_sorted(set(names)):
        _fail(f"schema names are not unique and in byte order: {names}")
    for i, s in enumerate(m["shards"]):
        if list(s) != SHARD_KEYS or s["name"] != shard_name(i):
            _fail(f"bad shard entry {i}: {s}")
        c = s["compression"]
        if list(c) != ["algo", "ratio"] or c["algo"] not in ("none", "lz4") or not isinstance(c["ratio"], float):
            _fail(f"bad compression {c}")
    for digest in [m["metadata_sha256"], m["index_sha256"]] + [s["sha256"] for s in m["shards"]]:
        if len(digest) != 64 or not set(digest) <= set("0123456789abcdef"):
            _fail(f"checksum {digest!r} is not 64 lowercase hex digits")
    if strict:
        if pretty_json(m).encode("utf-8") != text:
            _fail("manifest.json is not in the canonical pretty form")
        if sorted(os.listdir(root)) != ["index.bin", "manifest.json", "metadata.arrow", "shards"]:
            _fail(f"unexpected root entries {sorted(os.listdir(root))}")
        if sorted(os.listdir(root / "shards")) != [s["name"] for s in m["shards"]]:
            _fail("shard files differ from the manifest")
    return m


def _check_checksums(root: Path, m: dict) -> list[bytes]:
    """Checks every SHA-256 and shard size; returns the shard files' bytes."""
    for file, key in (("metadata.arrow", "metadata_sha256"), ("index.bin", "index_sha256")):
        if sha256_file(root / file) != m[key]:
            _fail(f"checksum mismatch for {file}")
    shard_bytes = []
    for s in m["shards"]:
        raw = (root / "shards" / s["name"]).read_bytes()
        if hashlib.sha256(raw).hexdigest() != s["sha256"]:
            _fail(f"checksum mismatch for {s['name']}")
        if len(raw) != s["byte_len"]:
            _fail(f"{s['name']} has {len(raw)} bytes, manifest says {s['byte_len']}")
        shard_bytes.append(raw)
    return shard_bytes


def _check_index(root: Path, m: dict) -> list[tuple[int, int, int]]:
    """One row per sample, contiguous within each shard, each shard covered."""
    raw = (root / "index.bin").read_bytes()
    if len(raw) % INDEX_ROW.size:
        _fail("index length is not divisible by the row size")
    rows = list(INDEX_ROW.iter_unpack(raw))
    if len(rows) != m["sample_count"]:
        _fail(f"{len(rows)} index rows for sample_count {m['sample_count']}")
    shard, offset = 0, 0
    for i, (sid, off, length) in enumerate(rows):
        if sid != shard:
            if sid != shard + 1 or offset != m["shards"][shard]["byte_len"]:
                _fail(f"index row {i} jumps to shard {sid} at shard {shard} offset {offset}")
            shard, offset = sid, 0
        if off != offset:
            _fail(f"index row {i} at offset {off}, expected {offset}")
        offset += length
    if rows and (shard != len(m["shards"]) - 1 or offset != m["shards"][-1]["byte_len"]):
        _fail("index does not end at the end of the last shard")
    return rows


def _check_metadata_arrow(root: Path, m: dict, strict: bool) -> list[dict]:
    """The manifest's schema, non-nullable, no nulls, one row per sample."""
    reader = pa.ipc.open_file(str(root / "metadata.arrow"))
    schema = reader.schema
    expected = [(f["name"], ARROW_TYPES[f["kind"]]) for f in m["metadata_schema"]]
    if [(f.name, f.type) for f in schema] != expected:
        _fail(f"metadata.arrow schema {schema} differs from the manifest's")
    if schema.metadata or any(f.nullable or f.metadata for f in schema):
        _fail("metadata.arrow fields must be non-nullable and carry no metadata")
    if strict and reader.num_record_batches != 1:
        _fail(f"metadata.arrow has {reader.num_record_batches} batches")
    table = reader.read_all()
    if table.num_rows != m["sample_count"]:
        _fail(f"metadata.arrow has {table.num_rows} rows for {m['sample_count']} samples")
    if any(col.null_count for col in table.columns):
        _fail("metadata.arrow holds nulls")
    return table.to_pylist()


def _check_records(m, shard_bytes, rows, arrow_rows, strict) -> list[tuple[bytes, dict]]:
    """Splits and decodes every record; its values must equal metadata.arrow's."""
    fields = m["metadata_schema"]
    samples = []
    raw_sums = [0] * len(m["shards"])
    for i, (sid, off, length) in enumerate(rows):
        rec = shard_bytes[sid][off : off + length]
        if len(rec) != length or length < U64.size:
            _fail(f"record {i} is cut short")
        (mlen,) = U64.unpack_from(rec)
        if mlen > length - U64.size:
            _fail(f"record {i} JSON length {mlen} passes its end")
        js = rec[8 : 8 + mlen]
        try:
            meta = json.loads(js)
        except ValueError as e:
            _fail(f"record {i} metadata is not JSON: {e}")
        if not isinstance(meta, dict) or byte_sorted(meta) != [f["name"] for f in fields]:
            _fail(f"record {i} metadata {js!r} does not have the schema's keys")
        if strict and encode_metadata(meta) != js:
            _fail(f"record {i} metadata {js!r} is not canonical")
        for f in fields:
            a, b = meta[f["name"]], arrow_rows[i][f["name"]]
            if kind_of(a) != f["kind"] or repr(a) != repr(b):  # repr tells -0.0 from 0.0
                _fail(f"record {i} field {f['name']}: {a!r} vs arrow {b!r}")
        data = decode_payload(rec[8 + mlen :], m["shards"][sid]["compression"]["algo"])
        raw_sums[sid] += len(data)
        samples.append((data, meta))
    for s, total in zip(m["shards"], raw_sums):
        if s["uncompressed_byte_len"] != total:
            _fail(f"{s['name']} uncompressed_byte_len {s['uncompressed_byte_len']} != {total}")
    return samples
