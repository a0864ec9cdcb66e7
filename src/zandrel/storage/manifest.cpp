#include "zandrel/storage/manifest.hpp"

#include <array>

#include "zandrel/json.hpp"
#include "zandrel/json_reader.hpp"
#include "zandrel/metadata_json.hpp"

namespace zandrel::storage {
namespace {

// Member names in declared order: the written order, the array-form order and
// the order in which missing members are reported.
constexpr std::array<std::string_view, 7> kManifestFields = {
    "format_version", "source_name", "sample_count", "metadata_schema",
    "metadata_sha256", "index_sha256", "shards"};
constexpr std::array<std::string_view, 5> kShardFields = {
    "name", "uncompressed_byte_len", "byte_len", "compression", "sha256"};

void write_shard(json::PrettyWriter& writer, const ShardManifest& shard) {
  writer.begin_object();
  writer.key(kShardFields[0]);
  writer.string_value(shard.name);
  writer.key(kShardFields[1]);
  writer.uint_value(shard.uncompressed_byte_len);
  writer.key(kShardFields[2]);
  writer.uint_value(shard.byte_len);
  writer.key(kShardFields[3]);
  write_shard_compression(writer, shard.compression);
  writer.key(kShardFields[4]);
  writer.string_value(shard.sha256);
  writer.end_object();
}

// Reads one value with `read` into `target`.
template <typename T, typename Read>
Status read_into(T& target, json::TokenReader& reader, Read read) {
  ZR_ASSIGN_OR_RETURN(target, read(reader));
  return {};
}

// An array whose elements are each read with `read` onto the end of `target`.
template <typename T, typename Read>
Status read_list(std::vector<T>& target, json::TokenReader& reader, Read read) {
  return json::read_sequence(reader, [&]() -> Status {
    ZR_ASSIGN_OR_RETURN(T element, read(reader));
    target.push_back(std::move(element));
    return {};
  });
}

Result<ShardManifest> read_shard(json::TokenReader& reader) {
  ShardManifest shard{};
  ZR_RETURN_IF_ERROR(json::read_struct(reader, "ShardManifest", kShardFields, [&](size_t field) -> Status {
    switch (field) {
      case 0: return read_into(shard.name, reader, json::read_string);
      case 1: return read_into(shard.uncompressed_byte_len, reader, json::read_u64);
      case 2: return read_into(shard.byte_len, reader, json::read_u64);
      case 3: return read_into(shard.compression, reader, read_shard_compression);
      default: return read_into(shard.sha256, reader, json::read_string);
    }
  }));
  return shard;
}

Result<Manifest> read_manifest(json::TokenReader& reader) {
  Manifest manifest{};
  ZR_RETURN_IF_ERROR(json::read_struct(reader, "Manifest", kManifestFields, [&](size_t field) -> Status {
    switch (field) {
      case 0: return read_into(manifest.format_version, reader, json::read_u32);
      case 1: return read_into(manifest.source_name, reader, json::read_string);
      case 2: return read_into(manifest.sample_count, reader, json::read_u64);
      case 3: return read_list(manifest.metadata_schema, reader, read_metadata_field);
      case 4: return read_into(manifest.metadata_sha256, reader, json::read_string);
      case 5: return read_into(manifest.index_sha256, reader, json::read_string);
      default: return read_list(manifest.shards, reader, read_shard);
    }
  }));
  return manifest;
}

}  // namespace

std::string write_manifest_json(const Manifest& manifest) {
  std::string out;
  json::PrettyWriter writer(out);
  writer.begin_object();
  writer.key(kManifestFields[0]);
  writer.uint_value(manifest.format_version);
  writer.key(kManifestFields[1]);
  writer.string_value(manifest.source_name);
  writer.key(kManifestFields[2]);
  writer.uint_value(manifest.sample_count);
  writer.key(kManifestFields[3]);
  writer.begin_array();
  for (const MetadataField& field : manifest.metadata_schema) write_metadata_field(writer, field);
  writer.end_array();
  writer.key(kManifestFields[4]);
  writer.string_value(manifest.metadata_sha256);
  writer.key(kManifestFields[5]);
  writer.string_value(manifest.index_sha256);
  writer.key(kManifestFields[6]);
  writer.begin_array();
  for (const ShardManifest& shard : manifest.shards) write_shard(writer, shard);
  writer.end_array();
  writer.end_object();
  return out;
}

Result<Manifest> parse_manifest_json(std::string_view text) {
  return json::parse_document(text, read_manifest);
}

}  // namespace zandrel::storage
