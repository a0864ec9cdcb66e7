#include "zandrel/metadata_json.hpp"

#include <array>
#include <optional>

namespace zandrel {
namespace {

constexpr std::string_view kUntaggedMismatch =
    "data did not match any variant of untagged enum MetadataValue";

// Integers within i64 stay Int; every other number is a Float.
MetadataValue value_of(const json::Number& number) {
  switch (number.kind) {
    case json::Number::Kind::kInt:
      return number.i;
    case json::Number::Kind::kUint:
      return static_cast<double>(number.u);
    case json::Number::Kind::kFloat:
      break;
  }
  return number.f;
}

// ASCII bytes that stand for themselves inside a JSON string.
constexpr std::array<bool, 256> kPlainAscii = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

// Length of the well-formed UTF-8 sequence at text[i] (a byte from 0x80), or
// 0: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_sequence_length(std::string_view text, size_t i) {
  auto byte = [&](size_t k) -> unsigned {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
  };
  auto tail = [&](size_t k, unsigned low = 0x80, unsigned high = 0xBF) {
    return byte(k) >= low && byte(k) <= high;
  };
  const unsigned lead = byte(0);
  if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const bool second = lead == 0xE0 ? tail(1, 0xA0) : lead == 0xED ? tail(1, 0x80, 0x9F) : tail(1);
    return second && tail(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const bool second = lead == 0xF0 ? tail(1, 0x90) : lead == 0xF4 ? tail(1, 0x80, 0x8F) : tail(1);
    return second && tail(2) && tail(3) ? 4 : 0;
  }
  return 0;
}

// A direct reader for the common record object: flat, each value true, false,
// a number or a string. It returns nothing on any other input, valid or not,
// and the general reader then decides; for every input it accepts, the
// general reader gives the same map. It saves the token tape and the
// per-token copies of the general reader on the sample-read hot path.
class FlatObjectReader {
 public:
  explicit FlatObjectReader(std::string_view text) : text_(text) {}

  std::optional<MetadataMap> read() {
    MetadataMap map;
    if (!take('{')) return std::nullopt;
    if (take('}')) return finish(std::move(map));
    do {
      std::optional<std::string_view> key = string_text(key_scratch_);
      if (!key || !take(':')) return std::nullopt;
      std::optional<MetadataValue> value = scalar();
      if (!value) return std::nullopt;
      // Written records list their keys in ascending order: append at the
      // end without a search. Otherwise the last of repeated keys wins.
      if (map.empty() || map.rbegin()->first < *key) {
        map.emplace_hint(map.end(), *key, std::move(*value));
      } else {
        map.insert_or_assign(std::string(*key), std::move(*value));
      }
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return finish(std::move(map));
  }

 private:
  static bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

  // Skips whitespace, then consumes `c` if it comes next.
  bool take(char c) {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  std::optional<MetadataMap> finish(MetadataMap map) {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
    if (pos_ != text_.size()) return std::nullopt;
    return map;
  }

  // A string of valid UTF-8 without control characters. Its text is a view
  // of the input, or of `scratch` once an escape had to be decoded. Lone or
  // unpaired surrogate escapes are left to the general reader.
  std::optional<std::string_view> string_text(std::string& scratch) {
    if (!take('"')) return std::nullopt;
    const size_t start = pos_;
    bool escaped = false;
    for (;;) {
      size_t run = pos_;
      while (run < text_.size() && kPlainAscii[static_cast<unsigned char>(text_[run])]) ++run;
      if (escaped) scratch.append(text_, pos_, run - pos_);
      pos_ = run;
      if (pos_ >= text_.size()) return std::nullopt;
      const auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte == '"') {
        ++pos_;
        return escaped ? std::string_view(scratch) : text_.substr(start, pos_ - 1 - start);
      }
      if (byte == '\\') {
        if (!escaped) scratch.assign(text_, start, pos_ - start);
        escaped = true;
        if (!decode_escape(scratch)) return std::nullopt;
        continue;
      }
      const size_t length = byte < 0x80 ? 0 : utf8_sequence_length(text_, pos_);  // 0: control
      if (length == 0) return std::nullopt;
      if (escaped) scratch.append(text_, pos_, length);
      pos_ += length;
    }
  }

  // Decodes the escape at pos_ (a backslash) onto `out`.
  bool decode_escape(std::string& out) {
    if (pos_ + 1 >= text_.size()) return false;
    const char c = text_[pos_ + 1];
    pos_ += 2;
    switch (c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    std::optional<uint32_t> code = hex4();
    if (!code || (*code >= 0xDC00 && *code <= 0xDFFF)) return false;
    if (*code >= 0xD800 && *code <= 0xDBFF) {  // must pair with a low surrogate
      if (!text_.substr(pos_).starts_with("\\u")) return false;
      pos_ += 2;
      std::optional<uint32_t> low = hex4();
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
    }
    append_utf8(out, *code);
    return true;
  }

  std::optional<uint32_t> hex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
      const char c = text_[pos_ + i];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    pos_ += 4;
    return value;
  }

  static void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::optional<MetadataValue> scalar() {
    while (pos_ < text_.size() && is_whitespace(text_[pos_])) ++pos_;
    const std::string_view rest = text_.substr(pos_);
    if (rest.starts_with("true")) {
      pos_ += 4;
      return MetadataValue(true);
    }
    if (rest.starts_with("false")) {
      pos_ += 5;
      return MetadataValue(false);
    }
    if (rest.starts_with('"')) {
      std::optional<std::string_view> text = string_text(value_scratch_);
      if (!text) return std::nullopt;
      return MetadataValue(std::string(*text));
    }
    const size_t length = json::number_length(rest);
    if (length == 0) return std::nullopt;
    auto number = json::classify_number(rest.substr(0, length));
    if (!number) return std::nullopt;
    pos_ += length;
    return value_of(*number);
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string key_scratch_;    // a key's text when it held escapes
  std::string value_scratch_;  // a string value's text when it held escapes
};

std::optional<MetadataMap> parse_flat_object(std::string_view bytes) {
  return FlatObjectReader(bytes).read();
}

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
      return value_of(number);
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

Result<MetadataMap> read_metadata_object(json::TokenReader& reader) {
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
}

Result<MetadataMap> parse_metadata_object(std::string_view bytes) {
  if (std::optional<MetadataMap> map = parse_flat_object(bytes)) return std::move(*map);
  return json::parse_document(bytes, read_metadata_object);
}

Result<ShardCompression> parse_shard_compression(std::string_view text) {
  return json::parse_document(text, read_shard_compression);
}

Result<MetadataField> parse_metadata_field(std::string_view text) {
  return json::parse_document(text, read_metadata_field);
}

}  // namespace zandrel
