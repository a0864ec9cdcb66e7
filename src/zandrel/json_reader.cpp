#include "zandrel/json_reader.hpp"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>

#include "zandrel/json.hpp"

namespace zandrel::json {
namespace {

// Iterative parsing keeps the native stack flat whatever the nesting; numbers
// come as raw text; strings must be valid UTF-8; we check what follows the
// root value ourselves.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseStopWhenDoneFlag;

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A decoded string holds a UTF-16 surrogate (UTF-8 ED A0..BF) only when an
// escape such as \udc00 stood alone; such text is not valid UTF-8.
bool has_encoded_surrogate(std::string_view text) {
  for (size_t i = text.find('\xED'); i != std::string_view::npos; i = text.find('\xED', i + 1)) {
    if (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0xA0) return true;
  }
  return false;
}

// Saturating decimal exponent of a number's text, for telling overflow from
// underflow: the power of ten of its first non-zero digit.
int64_t leading_exponent(std::string_view text) {
  size_t i = (!text.empty() && text[0] == '-') ? 1 : 0;
  int64_t int_digits = 0;
  int64_t first_nonzero = -1;  // index among all mantissa digits
  int64_t digit_index = 0;
  bool in_fraction = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] == '.') {
      in_fraction = true;
      continue;
    }
    if (!in_fraction) ++int_digits;
    if (first_nonzero < 0 && text[i] != '0') first_nonzero = digit_index;
    ++digit_index;
  }
  int64_t exponent = 0;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size(); ++i) {
      exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), int64_t{1} << 40);
    }
    if (negative) exponent = -exponent;
  }
  if (first_nonzero < 0) return INT64_MIN;  // zero: never out of range upward
  return exponent + int_digits - 1 - first_nonzero;
}

Result<double> parse_double(std::string_view text) {
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports overflow and underflow alike and leaves value alone.
    if (leading_exponent(text) > 0) return Err(CacheError::json("number out of range"));
    return text[0] == '-' ? -0.0 : 0.0;
  }
  if (ec != std::errc() || ptr != text.data() + text.size()) {
    return Err(CacheError::json("invalid number"));
  }
  if (std::isinf(value)) return Err(CacheError::json("number out of range"));
  return value;
}

// The text a serde-style "invalid type" message gives to an unexpected value.
std::string describe_number(const Number& number) {
  std::string out;
  switch (number.kind) {
    case Number::Kind::kInt:
      out = "integer `";
      write_int(out, number.i);
      break;
    case Number::Kind::kUint:
      out = "integer `";
      write_uint(out, number.u);
      break;
    case Number::Kind::kFloat:
      out = "floating point `";
      write_float(out, number.f);
      break;
  }
  out += '`';
  return out;
}

// The message of a syntax error at `offset`, which lies inside the input.
std::string syntax_message(rapidjson::ParseErrorCode code, std::string_view input, size_t offset) {
  using namespace rapidjson;
  const bool in_string = code >= kParseErrorStringUnicodeEscapeInvalidHex &&
                         code <= kParseErrorStringInvalidEncoding;
  if (in_string && static_cast<unsigned char>(input[offset]) < 0x20) {
    return "control character (\\u0000-\\u001F) found while parsing a string";
  }
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
      return "expected value";
    case kParseErrorObjectMissName:
      return "key must be a string";
    case kParseErrorObjectMissColon:
      return "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringEscapeInvalid:
      return "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "lone leading surrogate in hex escape";
    case kParseErrorStringMissQuotationMark:
    case kParseErrorStringInvalidEncoding:
      return "invalid unicode code point";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return "invalid number";
    default:
      return "syntax error";
  }
}

// The end-of-input message for an error at the end of the text: what was
// being parsed when the input ran out.
std::string eof_message(rapidjson::ParseErrorCode code, std::string_view input) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorStringMissQuotationMark:
    case kParseErrorStringInvalidEncoding:
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "EOF while parsing a string";
    case kParseErrorObjectMissName:
    case kParseErrorObjectMissColon:
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return "EOF while parsing an object";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return "EOF while parsing a list";
    default:
      break;
  }
  // A value was expected: right after "[" the list is what ran out.
  size_t end = input.size();
  while (end > 0 && is_whitespace(input[end - 1])) --end;
  if (end > 0 && input[end - 1] == '[') return "EOF while parsing a list";
  return "EOF while parsing a value";
}

// A number of the text that the second parse sees as "0" and spaces.
struct NumberMask {
  size_t offset;
  size_t length;
};

// RapidJSON refuses as too big some numbers that a double holds: a zero with a
// large exponent ("0e400") and integer parts of 309 digits or more even when an
// exponent brings the value back into range ("1" and 400 zeros "e-300"). Finds
// every such number outside strings, in text order.
std::vector<NumberMask> find_numbers_refused_as_too_big(std::string_view text) {
  std::vector<NumberMask> masks;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {  // skip the string, escapes included
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
      continue;
    }
    const size_t length = (c == '-' || (c >= '0' && c <= '9')) ? number_length(text.substr(i)) : 0;
    if (length == 0) {
      ++i;
      continue;
    }
    const std::string_view number = text.substr(i, length);
    if (classify_number(number)) {
      rapidjson::MemoryStream stream(number.data(), number.size());
      rapidjson::BaseReaderHandler<> ignore;
      rapidjson::Reader reader;
      if (reader.Parse<kParseFlags>(stream, ignore).Code() == rapidjson::kParseErrorNumberTooBig) {
        masks.push_back({i, length});
      }
    }
    i += length;
  }
  return masks;
}

}  // namespace

// Receives RapidJSON's events and appends them to the reader's tape.
struct TapeRecorder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TapeRecorder> {
  TokenReader& reader;
  const rapidjson::MemoryStream& stream;
  std::span<const NumberMask> masks;  // numbers replaced in the parsed text
  size_t next_mask = 0;
  std::string surrogate_error;  // set when a string is refused; stops the parse
  size_t surrogate_offset = 0;

  TapeRecorder(TokenReader& r, const rapidjson::MemoryStream& s, std::span<const NumberMask> m)
      : reader(r), stream(s), masks(m) {}

  // Scalars arrive once consumed; brackets arrive before RapidJSON takes them.
  bool push(Token token) {
    reader.tape_.push_back({token, 0, 0, stream.Tell()});
    return true;
  }
  bool push_bracket(Token token) {
    reader.tape_.push_back({token, 0, 0, stream.Tell() + 1});
    return true;
  }
  bool push_text(Token token, std::string_view text, size_t end) {
    reader.tape_.push_back({token, reader.arena_.size(), text.size(), end});
    reader.arena_.append(text);
    return true;
  }
  bool push_string(Token token, const char* str, rapidjson::SizeType length) {
    const std::string_view text(str, length);
    if (has_encoded_surrogate(text)) {
      surrogate_error = "lone trailing surrogate in hex escape";
      surrogate_offset = stream.Tell() - 1;
      return false;
    }
    return push_text(token, text, stream.Tell());
  }

  bool Null() { return push(Token::kNull); }
  bool Bool(bool b) { return push(b ? Token::kTrue : Token::kFalse); }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    // A masked number arrives as "0"; record the text that stood there.
    const size_t start = stream.Tell() - length;
    while (next_mask < masks.size() && masks[next_mask].offset < start) ++next_mask;
    if (next_mask < masks.size() && masks[next_mask].offset == start) {
      const NumberMask mask = masks[next_mask++];
      return push_text(Token::kNumber, reader.input_.substr(mask.offset, mask.length),
                       mask.offset + mask.length);
    }
    return push_text(Token::kNumber, std::string_view(str, length), stream.Tell());
  }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    return push_string(Token::kString, str, length);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    return push_string(Token::kKey, str, length);
  }
  bool StartObject() { return push_bracket(Token::kBeginObject); }
  bool EndObject(rapidjson::SizeType) { return push_bracket(Token::kEndObject); }
  bool StartArray() { return push_bracket(Token::kBeginArray); }
  bool EndArray(rapidjson::SizeType) { return push_bracket(Token::kEndArray); }
  bool Default() { return false; }  // typed numbers never arrive with raw-number parsing
};

TokenReader::TokenReader(std::string_view text) : input_(text) {
  std::vector<NumberMask> masks;
  std::string masked;
  std::string_view parsed = text;
  for (;;) {
    rapidjson::MemoryStream stream(parsed.data(), parsed.size());
    TapeRecorder recorder(*this, stream, masks);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, recorder);
    if (!result.IsError()) return;

    // Numbers refused only by RapidJSON's size check: parse once more with
    // each of them replaced by "0" and spaces, which keeps every offset.
    if (result.Code() == rapidjson::kParseErrorNumberTooBig && masks.empty()) {
      masks = find_numbers_refused_as_too_big(text);
      if (!masks.empty()) {
        masked.assign(text);
        for (const NumberMask& mask : masks) {
          masked.replace(mask.offset, mask.length, mask.length, ' ');
          masked[mask.offset] = '0';
        }
        parsed = masked;
        tape_.clear();
        arena_.clear();
        continue;
      }
    }

    has_error_ = true;
    if (!recorder.surrogate_error.empty()) {
      error_message_ = recorder.surrogate_error;
      error_offset_ = recorder.surrogate_offset;
      return;
    }
    error_offset_ = result.Offset();
    error_message_ = error_offset_ >= text.size() ? eof_message(result.Code(), text)
                                                  : syntax_message(result.Code(), text, error_offset_);
    return;
  }
}

Result<Token> TokenReader::peek() const {
  if (pos_ < tape_.size()) return tape_[pos_].token;
  if (has_error_) return Err(error_at(error_offset_, error_message_));
  // Only a reader bug asks past the root value; report it as the end of input.
  return Err(error_at(input_.size(), "EOF while parsing a value"));
}

Result<Token> TokenReader::next() {
  ZR_ASSIGN_OR_RETURN(const Token token, peek());
  ++pos_;
  if (token == Token::kBeginObject || token == Token::kBeginArray) {
    if (++depth_ >= kMaxDepth) return Err(error_here("recursion limit exceeded"));
  } else if (token == Token::kEndObject || token == Token::kEndArray) {
    --depth_;
  }
  return token;
}

std::string_view TokenReader::text() const {
  assert(pos_ > 0);
  const Entry& entry = tape_[pos_ - 1];
  return std::string_view(arena_).substr(entry.text_begin, entry.text_size);
}

Status TokenReader::skip_rest(Token first, bool depth_checked) {
  if (first != Token::kBeginObject && first != Token::kBeginArray) return {};
  const size_t target = depth_ - 1;
  while (depth_ > target) {
    if (depth_checked) {
      ZR_RETURN_IF_ERROR(next());
      continue;
    }
    ZR_ASSIGN_OR_RETURN(const Token token, peek());
    ++pos_;
    if (token == Token::kBeginObject || token == Token::kBeginArray) ++depth_;
    if (token == Token::kEndObject || token == Token::kEndArray) --depth_;
  }
  return {};
}

Status TokenReader::skip_value() {
  ZR_ASSIGN_OR_RETURN(const Token first, peek());
  ++pos_;
  if (first == Token::kBeginObject || first == Token::kBeginArray) ++depth_;
  return skip_rest(first, /*depth_checked=*/false);
}

Status TokenReader::end_fixed_array() {
  ZR_ASSIGN_OR_RETURN(const Token token, peek());
  if (token == Token::kEndArray) {
    ZR_RETURN_IF_ERROR(next());
    return {};
  }
  // Another element follows the comma: point at it.
  size_t offset = skip_whitespace(tape_[pos_ - 1].end);
  if (offset < input_.size() && input_[offset] == ',') offset = skip_whitespace(offset + 1);
  return Err(error_at(offset, "trailing characters"));
}

Status TokenReader::finish() const {
  assert(pos_ == tape_.size() && !has_error_);
  const size_t end = tape_.empty() ? 0 : tape_.back().end;
  const size_t offset = skip_whitespace(end);
  if (offset < input_.size()) return Err(error_at(offset, "trailing characters"));
  return {};
}

size_t TokenReader::skip_whitespace(size_t offset) const {
  while (offset < input_.size() && is_whitespace(input_[offset])) ++offset;
  return offset;
}

CacheError TokenReader::error_at(size_t offset, std::string_view message) const {
  // Line and column of the failing byte; at the end of the input, of the
  // last byte (column 0 on an empty line).
  const size_t at = std::min(offset, input_.size());
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < at; ++i) {
    if (input_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const size_t column = at - line_start + (at < input_.size() ? 1 : 0);
  return CacheError::json(std::string(message) + " at line " + std::to_string(line) + " column " +
                          std::to_string(column));
}

CacheError TokenReader::error_here(std::string_view message) const {
  assert(pos_ > 0);
  return error_at(tape_[pos_ - 1].end - 1, message);
}

CacheError TokenReader::error_after(std::string_view message) const {
  assert(pos_ > 0);
  return error_at(skip_whitespace(tape_[pos_ - 1].end), message);
}

Result<Number> TokenReader::number() const {
  auto number = classify_number(text());
  if (!number) return Err(error_here(number.error()));
  return *number;
}

CacheError TokenReader::invalid_type(std::string_view expected) const {
  assert(pos_ > 0);
  std::string unexpected;
  switch (tape_[pos_ - 1].token) {
    case Token::kNull:
      unexpected = "null";
      break;
    case Token::kFalse:
      unexpected = "boolean `false`";
      break;
    case Token::kTrue:
      unexpected = "boolean `true`";
      break;
    case Token::kNumber: {
      auto parsed = number();
      if (!parsed) return parsed.error();
      unexpected = describe_number(*parsed);
      break;
    }
    case Token::kString:
    case Token::kKey:
      unexpected = "string ";
      write_string(unexpected, text());
      break;
    case Token::kBeginObject:
    case Token::kEndObject:
      unexpected = "map";
      break;
    case Token::kBeginArray:
    case Token::kEndArray:
      unexpected = "sequence";
      break;
  }
  return error_here("invalid type: " + unexpected + ", expected " + std::string(expected));
}

size_t number_length(std::string_view text) {
  auto is_digit = [&](size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
  auto digits_from = [&](size_t i) {
    while (is_digit(i)) ++i;
    return i;
  };
  size_t i = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (!is_digit(i)) return 0;
  i = text[i] == '0' ? i + 1 : digits_from(i);
  if (i < text.size() && text[i] == '.') {
    if (!is_digit(i + 1)) return i;
    i = digits_from(i + 1);
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (is_digit(j)) i = digits_from(j);
  }
  return i;
}

std::expected<Number, std::string> classify_number(std::string_view text) {
  assert(!text.empty());
  const bool negative = text[0] == '-';
  size_t digits = negative ? 1 : 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == text.size() && digits > (negative ? 1 : 0)) {
    if (text == "-0") return Number{Number::Kind::kFloat, 0, 0, -0.0};
    // Up to 18 digits always fit i64: the common case, without from_chars.
    if (digits - (negative ? 1 : 0) <= 18) {
      int64_t magnitude = 0;
      for (size_t i = negative ? 1 : 0; i < digits; ++i) magnitude = magnitude * 10 + (text[i] - '0');
      return Number{Number::Kind::kInt, negative ? -magnitude : magnitude, 0, 0.0};
    }
    const char* first = text.data();
    const char* last = text.data() + text.size();
    int64_t i = 0;
    if (auto [p, ec] = std::from_chars(first, last, i); ec == std::errc() && p == last) {
      return Number{Number::Kind::kInt, i, 0, 0.0};
    }
    uint64_t u = 0;
    if (!negative) {
      if (auto [p, ec] = std::from_chars(first, last, u); ec == std::errc() && p == last) {
        return Number{Number::Kind::kUint, 0, u, 0.0};
      }
    }
    // Beyond the 64-bit integers: read as a double, like any other float.
  }
  auto value = parse_double(text);
  if (!value) return std::unexpected(value.error().message());
  return Number{Number::Kind::kFloat, 0, 0, *value};
}

// ---------------------------------------------------------------------------
// Typed readers

namespace {

CacheError invalid_value(const TokenReader& reader, const Number& number, std::string_view expected) {
  return reader.error_here("invalid value: " + describe_number(number) + ", expected " +
                           std::string(expected));
}

// An unsigned integer no larger than `max`, named `expected` in errors.
Result<uint64_t> read_unsigned(TokenReader& reader, uint64_t max, std::string_view expected) {
  ZR_ASSIGN_OR_RETURN(const Token token, reader.next());
  if (token != Token::kNumber) return Err(reader.invalid_type(expected));
  ZR_ASSIGN_OR_RETURN(const Number number, reader.number());
  uint64_t value = 0;
  switch (number.kind) {
    case Number::Kind::kInt:
      if (number.i < 0) return Err(invalid_value(reader, number, expected));
      value = static_cast<uint64_t>(number.i);
      break;
    case Number::Kind::kUint:
      value = number.u;
      break;
    case Number::Kind::kFloat:
      return Err(reader.invalid_type(expected));
  }
  if (value > max) return Err(invalid_value(reader, number, expected));
  return value;
}

}  // namespace

Result<std::string> read_string(TokenReader& reader) {
  ZR_ASSIGN_OR_RETURN(const Token token, reader.next());
  if (token != Token::kString) return Err(reader.invalid_type("a string"));
  return std::string(reader.text());
}

Result<uint32_t> read_u32(TokenReader& reader) {
  ZR_ASSIGN_OR_RETURN(const uint64_t value, read_unsigned(reader, UINT32_MAX, "u32"));
  return static_cast<uint32_t>(value);
}

Result<uint64_t> read_u64(TokenReader& reader) { return read_unsigned(reader, UINT64_MAX, "u64"); }

Result<double> read_f64(TokenReader& reader) {
  ZR_ASSIGN_OR_RETURN(const Token token, reader.next());
  if (token != Token::kNumber) return Err(reader.invalid_type("f64"));
  ZR_ASSIGN_OR_RETURN(const Number number, reader.number());
  switch (number.kind) {
    case Number::Kind::kInt:
      return static_cast<double>(number.i);
    case Number::Kind::kUint:
      return static_cast<double>(number.u);
    case Number::Kind::kFloat:
      break;
  }
  return number.f;
}

Status read_sequence(TokenReader& reader, const std::function<Status()>& read_element) {
  ZR_ASSIGN_OR_RETURN(const Token token, reader.next());
  if (token != Token::kBeginArray) return Err(reader.invalid_type("a sequence"));
  for (;;) {
    ZR_ASSIGN_OR_RETURN(const Token ahead, reader.peek());
    if (ahead == Token::kEndArray) break;
    ZR_RETURN_IF_ERROR(read_element());
  }
  ZR_RETURN_IF_ERROR(reader.next());
  return {};
}

Status read_struct(TokenReader& reader, std::string_view struct_name,
                   std::span<const std::string_view> fields,
                   const std::function<Status(size_t)>& read_field) {
  assert(fields.size() <= 64);
  ZR_ASSIGN_OR_RETURN(const Token first, reader.next());

  if (first == Token::kBeginArray) {
    // Array form: exactly the field values in declared order.
    for (size_t i = 0; i < fields.size(); ++i) {
      ZR_ASSIGN_OR_RETURN(const Token ahead, reader.peek());
      if (ahead == Token::kEndArray) {
        ZR_RETURN_IF_ERROR(reader.next());
        return Err(reader.error_here("invalid length " + std::to_string(i) + ", expected struct " +
                                     std::string(struct_name) + " with " +
                                     std::to_string(fields.size()) + " elements"));
      }
      ZR_RETURN_IF_ERROR(read_field(i));
    }
    return reader.end_fixed_array();
  }
  if (first != Token::kBeginObject) return Err(reader.invalid_type("struct " + std::string(struct_name)));

  // Object form.
  uint64_t seen = 0;  // bit i: field i was read
  for (;;) {
    ZR_ASSIGN_OR_RETURN(const Token token, reader.next());
    if (token == Token::kEndObject) break;
    assert(token == Token::kKey);
    size_t index = 0;
    while (index < fields.size() && fields[index] != reader.text()) ++index;
    if (index == fields.size()) {
      ZR_RETURN_IF_ERROR(reader.skip_value());  // unknown key: any value, any depth
      continue;
    }
    if (seen & (uint64_t{1} << index)) {
      return Err(reader.error_here("duplicate field `" + std::string(fields[index]) + "`"));
    }
    seen |= uint64_t{1} << index;
    ZR_RETURN_IF_ERROR(read_field(index));
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!(seen & (uint64_t{1} << i))) {
      return Err(reader.error_here("missing field `" + std::string(fields[i]) + "`"));
    }
  }
  return {};
}

Result<size_t> read_unit_variant(TokenReader& reader, std::initializer_list<std::string_view> names) {
  auto lookup = [&](std::string_view text) -> Result<size_t> {
    size_t index = 0;
    for (std::string_view name : names) {
      if (name == text) return index;
      ++index;
    }
    return Err(reader.error_here("unknown variant `" + std::string(text) + "`, expected " +
                                 expected_variants(names)));
  };

  ZR_ASSIGN_OR_RETURN(Token token, reader.next());
  if (token == Token::kString) return lookup(reader.text());
  if (token != Token::kBeginObject) return Err(reader.error_here("expected value"));

  // {"name": null}
  ZR_ASSIGN_OR_RETURN(token, reader.next());
  if (token != Token::kKey) return Err(reader.error_here("expected value"));
  ZR_ASSIGN_OR_RETURN(const size_t index, lookup(reader.text()));
  ZR_ASSIGN_OR_RETURN(token, reader.next());
  if (token != Token::kNull) return Err(reader.invalid_type("unit"));
  ZR_ASSIGN_OR_RETURN(token, reader.peek());
  if (token != Token::kEndObject) return Err(reader.error_after("expected value"));
  ZR_RETURN_IF_ERROR(reader.next());
  return index;
}

std::string expected_variants(std::initializer_list<std::string_view> names) {
  std::string out;
  if (names.size() > 2) out = "one of ";
  size_t index = 0;
  for (std::string_view name : names) {
    if (index > 0) out += names.size() == 2 ? " or " : ", ";
    out += '`';
    out += name;
    out += '`';
    ++index;
  }
  return out;
}

}  // namespace zandrel::json
