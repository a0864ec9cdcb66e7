// JSON forms of the metadata types and of the compression setting.
//
// Writers append to a buffer (compact) or to a PrettyWriter (the manifest) and
// cannot fail. Readers consume one value from a json::TokenReader, or a whole
// text; every reading failure is returned as CacheError::json with the
// reader's message and, where it has one, " at line L column C".
//
// All functions are pure and may be called from any thread.
#pragma once

#include <string>
#include <string_view>

#include "zandrel/json.hpp"
#include "zandrel/json_reader.hpp"
#include "zandrel/types.hpp"

namespace zandrel {

// The compact record object: {"key":value,...} in map (byte) order, no
// whitespace. Appends to `out`; cannot fail.
void write_metadata_map(std::string& out, const MetadataMap& map);

// One JSON object, optionally surrounded by whitespace, read as a metadata
// map: the last of repeated keys wins; values by the untagged rule (bool, int,
// float, string); nesting limited to 127 levels. A flat object is read
// directly; anything else goes through read_metadata_object, which gives the
// same result for every input, only slower.
Result<MetadataMap> parse_metadata_object(std::string_view bytes);

// Untagged: true/false, the decimal integer, the float text rule (non-finite
// as null, which no reader takes: the cache builder refuses such a float
// before it reaches a record), or the escaped string.
void write_metadata_value(std::string& out, const MetadataValue& value);

// Pretty writers for the manifest: the kind's string, {"name", "kind"} and
// {"algo", "ratio"} in that member order.
void write_metadata_field(json::PrettyWriter& writer, const MetadataField& field);
void write_shard_compression(json::PrettyWriter& writer, const ShardCompression& compression);

// Readers of one value. A unit variant is a string ("lz4") or a one-member
// object with a null value ({"lz4": null}); a record is an object (any member
// order, unknown keys skipped) or an array of its fields in declared order.
Result<CompressionAlgo> read_compression_algo(json::TokenReader& reader);
Result<ShardCompression> read_shard_compression(json::TokenReader& reader);
Result<MetadataKind> read_metadata_kind(json::TokenReader& reader);
Result<MetadataField> read_metadata_field(json::TokenReader& reader);
// Bool, then Int (integers within i64, except -0), then Float (every other
// number), then String; null, arrays and objects match no variant.
Result<MetadataValue> read_metadata_value(json::TokenReader& reader);
// A JSON object of such values, the last of repeated keys winning.
Result<MetadataMap> read_metadata_object(json::TokenReader& reader);

// Whole-text forms of the readers above (whitespace around the value allowed,
// anything else after it refused).
Result<ShardCompression> parse_shard_compression(std::string_view text);
Result<MetadataField> parse_metadata_field(std::string_view text);

}  // namespace zandrel
