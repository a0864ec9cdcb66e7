// The JSON reading framework shared by the manifest and the sample-record
// metadata readers.
//
// TokenReader runs RapidJSON's SAX reader over the whole text and records its
// events (or its syntax error) on a tape; the typed readers then pull
// tokens from the tape with one token of lookahead. The readers enforce our own
// rules on top of the syntax: value types, number ranges, struct shapes and the
// nesting limit. Numbers arrive as their raw text and are classified by
// classify_number().
//
// Every failure is a CacheError::json whose text is the message followed by
// " at line L column C" (both counted from 1; the column is the byte of the
// failing character, or the last byte of the line at the end of the input).
//
// A TokenReader belongs to one thread; the free functions are pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zandrel/types.hpp"

namespace zandrel::json {

// Containers may nest this deep minus one; opening the 128th level fails.
inline constexpr size_t kMaxDepth = 128;

enum class Token : uint8_t {
  kNull,
  kFalse,
  kTrue,
  kNumber,       // text() is the raw number text
  kString,       // text() is the decoded string
  kKey,          // text() is the decoded key
  kBeginObject,
  kEndObject,
  kBeginArray,
  kEndArray,
};

// A JSON number classified by its text: integers that fit i64 are kInt, larger
// non-negative integers up to 2^64-1 kUint, everything else (fractions,
// exponents, larger integers and the integer text -0) kFloat.
struct Number {
  enum class Kind : uint8_t { kInt, kUint, kFloat };
  Kind kind;
  int64_t i = 0;
  uint64_t u = 0;
  double f = 0.0;
};

// Length of the JSON number that starts `text` (-? (0 | [1-9] digits)
// (. digits)? ([eE] [+-]? digits)?, the longest such prefix), or 0.
size_t number_length(std::string_view text);

// Classifies raw JSON number text (already checked by the tokenizer). A float
// too large for a double fails with "number out of range" (no position); one
// too small reads as zero of its sign. Doubles are rounded to nearest.
std::expected<Number, std::string> classify_number(std::string_view text);

class TokenReader {
 public:
  // Tokenizes `text`, which must outlive the reader. Errors surface when the
  // token at which they occurred is reached.
  explicit TokenReader(std::string_view text);

  TokenReader(const TokenReader&) = delete;
  TokenReader& operator=(const TokenReader&) = delete;

  // Consumes the next token. Fails with the syntax or end-of-input error found
  // there, or with "recursion limit exceeded" when the token opens the 128th
  // nested container.
  Result<Token> next();
  // The next token without consuming it (same failures except the depth one).
  Result<Token> peek() const;

  // The current (last consumed) token's text; see Token.
  std::string_view text() const;

  // Consumes the value whose first token `first` was just consumed: nothing
  // for a scalar, the rest of the container otherwise. With depth_checked
  // false, nesting inside the value is not limited (skipped unknown keys).
  Status skip_rest(Token first, bool depth_checked);
  // Consumes one whole value, depth not limited.
  Status skip_value();

  // After the last element a fixed-length array form expects: consumes "]",
  // or fails with "trailing characters" when another element follows.
  Status end_fixed_array();

  // After the root value: only whitespace may follow ("trailing characters").
  Status finish() const;

  // An error located at a byte offset of the text.
  CacheError error_at(size_t offset, std::string_view message) const;
  // An error located at the last byte of the current token.
  CacheError error_here(std::string_view message) const;
  // An error located at the first non-whitespace byte after the current token.
  CacheError error_after(std::string_view message) const;
  // "invalid type: <current token>, expected <expected>" at the current
  // token; a number that fails classification gives its own error instead.
  CacheError invalid_type(std::string_view expected) const;
  // The current number token classified, or "number out of range" here.
  Result<Number> number() const;

 private:
  struct Entry {
    Token token;
    size_t text_begin;  // into arena_
    size_t text_size;
    size_t end;         // offset just past the token in the input
  };
  friend struct TapeRecorder;

  size_t skip_whitespace(size_t offset) const;

  std::string_view input_;
  std::vector<Entry> tape_;
  std::string arena_;           // texts of string, key and number tokens
  bool has_error_ = false;      // the tape ends with a syntax error
  std::string error_message_;   // set when has_error_
  size_t error_offset_ = 0;
  size_t pos_ = 0;              // index of the next tape entry
  size_t depth_ = 0;            // containers open at the current token
};

// ---------------------------------------------------------------------------
// Typed readers of one value, in the shapes of derived records.

// A JSON string.
Result<std::string> read_string(TokenReader& reader);
// A JSON integer within range; a negative or (for u32) too large integer fails
// with "invalid value", any other value with "invalid type".
Result<uint32_t> read_u32(TokenReader& reader);
Result<uint64_t> read_u64(TokenReader& reader);
// Any JSON number, integers converted to the nearest double.
Result<double> read_f64(TokenReader& reader);
// A JSON array whose elements are each read by read_element.
Status read_sequence(TokenReader& reader, const std::function<Status()>& read_element);

// A record `struct_name` with the named fields in declared order: an object
// (members in any order, unknown keys skipped with their value, a repeated
// field refused at its key, the first missing field refused at the closing
// brace) or an array of exactly the field values. read_field(i) reads the
// value of field i.
Status read_struct(TokenReader& reader, std::string_view struct_name,
                   std::span<const std::string_view> fields,
                   const std::function<Status(size_t)>& read_field);

// A unit variant among `names`: a string, or a one-member object whose value
// is null. Returns the index of the name.
Result<size_t> read_unit_variant(TokenReader& reader, std::initializer_list<std::string_view> names);

// "`a` or `b`" for two names, "one of `a`, `b`, `c`" for more.
std::string expected_variants(std::initializer_list<std::string_view> names);

// Runs `read` on a reader over `text` and then checks that only whitespace
// follows the value it read.
template <typename F>
auto parse_document(std::string_view text, F&& read) -> decltype(read(std::declval<TokenReader&>())) {
  TokenReader reader(text);
  auto result = read(reader);
  if (!result) return result;
  ZR_RETURN_IF_ERROR(reader.finish());
  return result;
}

}  // namespace zandrel::json
