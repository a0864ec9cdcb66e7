// manifest.json: the description of a cache directory and the SHA-256 of
// every other file in it. Written last by the builder; read first by the
// loader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zandrel/types.hpp"

namespace zandrel::storage {

struct ShardManifest {
  std::string name;                // file name inside "shards", e.g. "000000.bin"
  uint64_t uncompressed_byte_len;  // sum of the data lengths before compression
  uint64_t byte_len;               // size of the shard file
  ShardCompression compression;    // how this shard's payloads are encoded
  std::string sha256;              // 64 lowercase hex characters

  // Member-wise; the ratio compared as an IEEE double.
  bool operator==(const ShardManifest&) const = default;
};

struct Manifest {
  uint32_t format_version;
  std::string source_name;
  uint64_t sample_count;
  MetadataSchema metadata_schema;
  std::string metadata_sha256;
  std::string index_sha256;
  std::vector<ShardManifest> shards;

  bool operator==(const Manifest&) const = default;
};

// The pretty form: two-space indent, members in declaration order, an empty
// array as [], no newline at the end.
std::string write_manifest_json(const Manifest& manifest);

// Reads a manifest by the derived-record rules (object or array form, unknown
// keys skipped, duplicate and missing fields refused, u32/u64 ranges). Every
// failure is CacheError::json.
Result<Manifest> parse_manifest_json(std::string_view text);

}  // namespace zandrel::storage
