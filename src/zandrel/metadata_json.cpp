#include "zandrel/metadata_json.hpp"

#include <array>

namespace zandrel {
namespace {

constexpr std::string_view kUntaggedMismatch =
    "data did not match any variant of untagged enum MetadataValue";

}  // namespace

// ---------------------------------------------------------------------------
// Writing

void write_metadata_value(std::string& out, const MetadataValue& value) {
  switch (kind_of(value)) {
    case MetadataKind::kBool:
      out += std::get<bool>(value) ? "true" : "false";
      break;
    case MetadataKind::kInt:
      json::write_int(out, std::get<int64_t>(value));
      break;
    case MetadataKind::kFloat:
      json::write_float(out, std::get<double>(value));
      break;
    case MetadataKind::kString:
      json::write_string(out, std::get<std::string>(value));
      break;
  }
}

void write_metadata_map(std::string& out, const MetadataMap& map) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : map) {
    if (!first) out += ',';
    first = false;
    json::write_string(out, key);
    out += ':';
    write_metadata_value(out, value);
  }
  out += '}';
}

void write_metadata_field(json::PrettyWriter& writer, const MetadataField& field) {
  writer.begin_object();
  writer.key("name");
  writer.string_value(field.name);
  writer.key("kind");
  writer.string_value(to_string(field.kind));
  writer.end_object();
}

void write_shard_compression(json::PrettyWriter& writer, const ShardCompression& compression) {
  writer.begin_object();
  writer.key("algo");
  writer.string_value(to_string(compression.algo));
  writer.key("ratio");
  writer.float_value(compression.ratio);
  writer.end_object();
}

// ---------------------------------------------------------------------------
// Reading

Result<CompressionAlgo> read_compression_algo(json::TokenReader& reader) {
  ZR_ASSIGN_OR_RETURN(const size_t index, json::read_unit_variant(reader, {"none", "lz4"}));
  return index == 0 ? CompressionAlgo::kNone : CompressionAlgo::kLz4;
}

Result<MetadataKind> read_metadata_kind(json::TokenReader& reader) {
  ZR_ASSIGN_OR_RETURN(const size_t index,
                      json::read_unit_variant(reader, {"bool", "int", "float", "string"}));
  return static_cast<MetadataKind>(index);
}

Result<ShardCompression> read_shard_compression(json::TokenReader& reader) {
  static constexpr std::array<std::string_view, 2> kFields = {"algo", "ratio"};
  ShardCompression compression;
  // Taken as read: a manifest may carry any ratio.
  ZR_RETURN_IF_ERROR(json::read_struct(reader, "ShardCompression", kFields, [&](size_t field) -> Status {
    if (field == 0) {
      ZR_ASSIGN_OR_RETURN(compression.algo, read_compression_algo(reader));
    } else {
      ZR_ASSIGN_OR_RETURN(compression.ratio, json::read_f64(reader));
    }
    return {};
  }));
  return compression;
}

Result<MetadataField> read_metadata_field(json::TokenReader& reader) {
  static constexpr std::array<std::string_view, 2> kFields = {"name", "kind"};
  MetadataField field{{}, MetadataKind::kBool};
  ZR_RETURN_IF_ERROR(json::read_struct(reader, "MetadataField", kFields, [&](size_t index) -> Status {
    if (index == 0) {
      ZR_ASSIGN_OR_RETURN(field.name, json::read_string(reader));
    } else {
      ZR_ASSIGN_OR_RETURN(field.kind, read_metadata_kind(reader));
    }
    return {};
  }));
  return field;
}

Result<MetadataValue> read_metadata_value(json::TokenReader& reader) {
  ZR_ASSIGN_OR_RETURN(const json::Token token, reader.next());
  switch (token) {
    case json::Token::kTrue:
      return MetadataValue(true);
    case json::Token::kFalse:
      return MetadataValue(false);
    case json::Token::kString:
      return MetadataValue(std::string(reader.text()));
    case json::Token::kNumber: {
      ZR_ASSIGN_OR_RETURN(const json::Number number, reader.number());
      switch (number.kind) {
        case json::Number::Kind::kInt:
          return MetadataValue(number.i);
        case json::Number::Kind::kUint:
          return MetadataValue(static_cast<double>(number.u));
        case json::Number::Kind::kFloat:
          return MetadataValue(number.f);
      }
      break;
    }
    case json::Token::kBeginArray:
    case json::Token::kBeginObject:
      // The whole value is read first (syntax and nesting limit included),
      // and only then refused.
      ZR_RETURN_IF_ERROR(reader.skip_rest(token, /*depth_checked=*/true));
      break;
    default:
      break;
  }
  return Err(reader.error_here(kUntaggedMismatch));
}

Result<MetadataMap> parse_metadata_object(std::string_view bytes) {
  return json::parse_document(bytes, [](json::TokenReader& reader) -> Result<MetadataMap> {
    ZR_ASSIGN_OR_RETURN(json::Token token, reader.next());
    if (token != json::Token::kBeginObject) return Err(reader.invalid_type("a map"));
    MetadataMap map;
    for (;;) {
      ZR_ASSIGN_OR_RETURN(token, reader.next());
      if (token == json::Token::kEndObject) break;
      std::string key(reader.text());
      ZR_ASSIGN_OR_RETURN(MetadataValue value, read_metadata_value(reader));
      map.insert_or_assign(std::move(key), std::move(value));  // the last repeat wins
    }
    return map;
  });
}

Result<ShardCompression> parse_shard_compression(std::string_view text) {
  return json::parse_document(text, read_shard_compression);
}

Result<MetadataField> parse_metadata_field(std::string_view text) {
  return json::parse_document(text, read_metadata_field);
}

}  // namespace zandrel
