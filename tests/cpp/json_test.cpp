// JSON text rules: the float writer, number classification, the sample-record
// metadata object and the JSON shapes of kinds, fields and compression.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <random>

#include "zandrel/json.hpp"
#include "zandrel/json_reader.hpp"
#include "zandrel/metadata_json.hpp"

namespace zandrel {
namespace {

std::string float_text(double value) {
  std::string out;
  json::write_float(out, value);
  return out;
}

// The error text of a failed parse, or "" when it succeeded.
template <typename T>
std::string error_of(const Result<T>& result) {
  return result ? "" : result.error().to_string();
}

// Decimal exponent of the leading shortest digit.
int decimal_exponent(double value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<size_t>(end - buf));
  int e = 0;
  const char* p = text.data() + text.find('e') + 1;
  if (*p == '+') ++p;
  std::from_chars(p, end, e);
  return e;
}

TEST(FloatText, WritesFixedAndExponentLayouts) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},          {-0.0, "-0.0"},        {1.0, "1.0"},
      {100.0, "100.0"},      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},       {0.5, "0.5"},          {1e-5, "0.00001"},
      {1e-6, "1e-6"},        {12.25, "12.25"},      {1.5e-7, "1.5e-7"},
      {5e-324, "5e-324"},    {-2.5, "-2.5"},        {0.1 + 0.2, "0.30000000000000004"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {NAN, "null"},         {INFINITY, "null"},    {-INFINITY, "null"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(float_text(value), text) << value;
}

TEST(FloatText, RandomBitPatternsRoundTripBitForBit) {
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 1'000'000; ++i) {
    const double value = std::bit_cast<double>(rng());
    const std::string text = float_text(value);
    if (!std::isfinite(value)) {
      ASSERT_EQ(text, "null");
      continue;
    }
    ASSERT_EQ(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<uint64_t>(value))
        << text;
    // Fixed notation exactly for decimal exponents -5..15, always with a fraction.
    const int e = decimal_exponent(value);
    const bool fixed = e >= -5 && e <= 15;
    ASSERT_EQ(text.find('e') == std::string::npos, fixed) << text;
    if (fixed) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    }
    // Our own reader gives back the same bits.
    auto number = json::classify_number(text);
    ASSERT_TRUE(number && number->kind == json::Number::Kind::kFloat) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(number->f), std::bit_cast<uint64_t>(value)) << text;
  }
  // Either side of both notation switches.
  EXPECT_EQ(float_text(9.999999e-6), "9.999999e-6");
  EXPECT_EQ(float_text(1.000001e-5), "0.00001000001");
  EXPECT_EQ(float_text(9.999999999999998e15), "9999999999999998.0");
  EXPECT_EQ(float_text(1.0000000000000002e16), "1.0000000000000002e+16");
}

TEST(NumberClassification, FollowsTheIntegerAndFloatRanges) {
  using Kind = json::Number::Kind;
  struct Case {
    const char* text;
    Kind kind;
    double value;  // for floats
  };
  const Case cases[] = {
      {"9223372036854775807", Kind::kInt, 0},
      {"-9223372036854775808", Kind::kInt, 0},
      {"0", Kind::kInt, 0},
      {"9223372036854775808", Kind::kUint, 0},
      {"18446744073709551615", Kind::kUint, 0},
      {"18446744073709551616", Kind::kFloat, 18446744073709551616.0},
      {"-9223372036854775809", Kind::kFloat, -9223372036854775808.0},
      {"-0", Kind::kFloat, -0.0},
      {"2.0", Kind::kFloat, 2.0},
      {"2e0", Kind::kFloat, 2.0},
      {"1E2", Kind::kFloat, 100.0},
      {"1e-400", Kind::kFloat, 0.0},
      {"-1e-400", Kind::kFloat, -0.0},
      {"123e-400", Kind::kFloat, 0.0},
      {"0.1", Kind::kFloat, 0.1},
  };
  for (const Case& c : cases) {
    auto number = json::classify_number(c.text);
    ASSERT_TRUE(number) << c.text;
    EXPECT_EQ(number->kind, c.kind) << c.text;
    if (c.kind == Kind::kFloat) {
      EXPECT_EQ(std::bit_cast<uint64_t>(number->f), std::bit_cast<uint64_t>(c.value)) << c.text;
    }
  }
  for (const char* text : {"1e400", "-1e400", "0.001e312"}) {
    auto number = json::classify_number(text);
    ASSERT_FALSE(number) << text;
    EXPECT_EQ(number.error(), "number out of range") << text;
  }

  // Through the record reader: which variant each number form becomes.
  auto map = parse_metadata_object(
      R"({"max":9223372036854775807,"over":9223372036854775808,"min":-9223372036854775808,)"
      R"("under":-9223372036854775809,"negzero":-0,"zero":0,"two":2.0,"tiny":1e-400})");
  ASSERT_TRUE(map) << map.error().to_string();
  EXPECT_EQ(map->at("max"), MetadataValue(int64_t{INT64_MAX}));
  EXPECT_EQ(map->at("over"), MetadataValue(9223372036854775808.0));
  EXPECT_EQ(map->at("min"), MetadataValue(int64_t{INT64_MIN}));
  EXPECT_EQ(map->at("under"), MetadataValue(-9223372036854775808.0));
  ASSERT_EQ(kind_of(map->at("negzero")), MetadataKind::kFloat);
  EXPECT_TRUE(std::signbit(std::get<double>(map->at("negzero"))));
  EXPECT_EQ(map->at("zero"), MetadataValue(int64_t{0}));
  EXPECT_EQ(map->at("two"), MetadataValue(2.0));
  EXPECT_EQ(map->at("tiny"), MetadataValue(0.0));
  EXPECT_EQ(error_of(parse_metadata_object(R"({"a":1e400})")),
            "JSON error: number out of range at line 1 column 6");
}

TEST(MetadataObject, WritesKeysInByteOrderWithEscapes) {
  MetadataMap map{{"b", int64_t{1}}, {"a", true}, {"c", std::string("x")}};
  std::string out;
  write_metadata_map(out, map);
  EXPECT_EQ(out, R"({"a":true,"b":1,"c":"x"})");

  out.clear();
  write_metadata_map(out, MetadataMap{{"ab", 3.0}, {"a", int64_t{INT64_MIN}}, {"B", NAN}});
  EXPECT_EQ(out, R"({"B":null,"a":-9223372036854775808,"ab":3.0})");

  out.clear();
  write_metadata_map(out, MetadataMap{{"s", std::string("t\tu\x01q\"b\\\x7f\xc3\xa9")}});
  EXPECT_EQ(out, "{\"s\":\"t\\tu\\u0001q\\\"b\\\\\x7f\xc3\xa9\"}");

  out.clear();
  write_metadata_map(out, {});
  EXPECT_EQ(out, "{}");
  auto empty = parse_metadata_object(" {}\n");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  // Everything written reads back equal, strings with escapes included.
  MetadataMap full{{"flag", false}, {"n", int64_t{-7}}, {"x", 0.1 + 0.2},
                   {"s", std::string("\x1f\b\f\n\r\xe2\x82\xac")}};
  out.clear();
  write_metadata_map(out, full);
  auto back = parse_metadata_object(out);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, full);
}

TEST(MetadataObject, ReadsOneObjectAndRefusesEverythingElse) {
  auto dup = parse_metadata_object(R"({"a": 1, "a": 2.5})");
  ASSERT_TRUE(dup);
  EXPECT_EQ(dup->size(), 1u);
  EXPECT_EQ(dup->at("a"), MetadataValue(2.5));
  EXPECT_TRUE(parse_metadata_object("{\"a\":1}\n"));

  const std::pair<std::string, std::string> failures[] = {
      {"{\"a\":1}x", "trailing characters at line 1 column 8"},
      {"[1]", "invalid type: sequence, expected a map at line 1 column 1"},
      {"\"s\"", "invalid type: string \"s\", expected a map at line 1 column 3"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":\"x", "EOF while parsing a string at line 1 column 7"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\": null}", "data did not match any variant of untagged enum MetadataValue"},
      {"{\"a\": [1]}", "data did not match any variant of untagged enum MetadataValue"},
      {"{\"a\": {}}", "data did not match any variant of untagged enum MetadataValue"},
      {"{\"a\":\n x}", "expected value at line 2 column 2"},
      {"{\"a\":\"\\udc00\"}", "lone trailing surrogate"},
      {"{\"a\":\"\xff\"}", "invalid unicode code point"},
      {"{\"a\":\"\x01\"}", "control character"},
      {"{\"a\":1,}", "at line 1 column 8"},
  };
  for (const auto& [text, message] : failures) {
    const std::string error = error_of(parse_metadata_object(text));
    EXPECT_NE(error.find(message), std::string::npos) << text << " gave: " << error;
    EXPECT_EQ(error.rfind("JSON error: ", 0), 0u) << text;
  }

  // Nesting: the outer object is level 1; opening level 128 fails.
  auto nested = [](int levels) {
    return "{\"a\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  EXPECT_NE(error_of(parse_metadata_object(nested(127))).find("data did not match"), std::string::npos);
  EXPECT_NE(error_of(parse_metadata_object(nested(128))).find("recursion limit exceeded"),
            std::string::npos);
  EXPECT_NE(error_of(parse_metadata_object(nested(100000))).find("recursion limit exceeded"),
            std::string::npos);
}

TEST(MetadataShapes, KindsAlgosFieldsAndCompression) {
  auto kind = [](std::string_view text) {
    return json::parse_document(text, read_metadata_kind);
  };
  EXPECT_EQ(kind("\"string\"").value_or(MetadataKind::kBool), MetadataKind::kString);
  EXPECT_EQ(kind(" {\"float\" : null } ").value_or(MetadataKind::kBool), MetadataKind::kFloat);
  EXPECT_EQ(error_of(kind("\"Float\"")),
            "JSON error: unknown variant `Float`, expected one of `bool`, `int`, `float`, "
            "`string` at line 1 column 7");
  EXPECT_NE(error_of(kind("{\"int\": 0}")).find("invalid type: integer `0`, expected unit"),
            std::string::npos);
  EXPECT_NE(error_of(kind("{\"int\": null, \"bool\": null}")).find("expected value"), std::string::npos);
  EXPECT_NE(error_of(kind("{\"int\": null")).find("EOF while parsing an object"), std::string::npos);
  EXPECT_NE(error_of(kind("3")).find("expected value"), std::string::npos);
  EXPECT_NE(error_of(kind("")).find("EOF while parsing a value"), std::string::npos);

  auto field = parse_metadata_field(R"(["label", "string"])");
  ASSERT_TRUE(field);
  EXPECT_EQ(*field, (MetadataField{"label", MetadataKind::kString}));
  field = parse_metadata_field(R"({"kind": {"int": null}, "x": [{}], "name": "n"})");
  ASSERT_TRUE(field);
  EXPECT_EQ(*field, (MetadataField{"n", MetadataKind::kInt}));
  EXPECT_NE(error_of(parse_metadata_field("{}")).find("missing field `name`"), std::string::npos);
  EXPECT_NE(error_of(parse_metadata_field(R"({"name": "a"})")).find("missing field `kind`"),
            std::string::npos);
  EXPECT_NE(error_of(parse_metadata_field(R"(["a"])"))
                .find("invalid length 1, expected struct MetadataField with 2 elements"),
            std::string::npos);
  EXPECT_NE(error_of(parse_metadata_field("true")).find("expected struct MetadataField"), std::string::npos);

  auto compression = parse_shard_compression(R"({"ratio": 1, "algo": "none", "extra": [1, {"x": null}]})");
  ASSERT_TRUE(compression);
  EXPECT_EQ(compression->algo, CompressionAlgo::kNone);
  EXPECT_EQ(compression->ratio, 1.0);
  compression = parse_shard_compression(R"(["lz4", 0.5])");
  ASSERT_TRUE(compression);
  EXPECT_EQ(compression->algo, CompressionAlgo::kLz4);
  EXPECT_EQ(compression->ratio, 0.5);
  compression = parse_shard_compression(R"({"algo": {"lz4": null}, "ratio": 2})");
  ASSERT_TRUE(compression && compression->algo == CompressionAlgo::kLz4 && compression->ratio == 2.0);
  compression = parse_shard_compression(R"({"algo": "none", "ratio": -3.0})");  // not validated
  ASSERT_TRUE(compression && compression->ratio == -3.0);

  const std::pair<const char*, const char*> failures[] = {
      {R"({"ratio": 1.0})", "missing field `algo`"},
      {"{}", "missing field `algo`"},
      {R"({"algo": "lz4"})", "missing field `ratio`"},
      {R"({"algo": "LZ4", "ratio": 1})", "unknown variant `LZ4`, expected `none` or `lz4`"},
      {R"({"algo": "none", "algo": "lz4"})", "duplicate field `algo` at line 1 column 23"},
      {R"(["lz4"])", "invalid length 1, expected struct ShardCompression with 2 elements"},
      {"[]", "invalid length 0, expected struct ShardCompression with 2 elements"},
      {R"(["lz4", 1, 2])", "trailing characters at line 1 column 12"},
      {"\"x\"", "invalid type: string \"x\", expected struct ShardCompression"},
      {R"({"algo": "none", "ratio": "1"})", "invalid type: string \"1\", expected f64"},
      {R"({"algo": {}, "ratio": 1})", "expected value"},
      {R"({"algo": ["lz4"], "ratio": 1})", "expected value"},
  };
  for (const auto& [text, message] : failures) {
    const std::string error = error_of(parse_shard_compression(text));
    EXPECT_NE(error.find(message), std::string::npos) << text << " gave: " << error;
  }
}

// Random byte edits of valid texts: every outcome is a value or an error, and
// a value that is read back writes and reads again to the same value.
TEST(MetadataFuzz, MutatedRecordObjectsNeverCrash) {
  const std::string seeds[] = {
      R"({"a":true,"b":-12,"c":0.30000000000000004,"d":"x\ty","e":1e-7})",
      R"({"k":{"int":null},"l":[["a",1]],"m":"\u00e9"})",
  };
  const char alphabet[] = "{}[]\",:\\ 0123456789-+.eEtrufalsn\x00\x01\xff\xc3\xa9u";
  std::mt19937 rng(7);
  for (int round = 0; round < 30000; ++round) {
    std::string text = seeds[round % 2];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits; ++i) {
      const size_t at = rng() % (text.size() + 1);
      const char c = alphabet[rng() % (sizeof alphabet - 1)];
      switch (rng() % 3) {
        case 0: if (at < text.size()) text[at] = c; break;
        case 1: text.insert(text.begin() + static_cast<ptrdiff_t>(at), c); break;
        default: if (at < text.size()) text.erase(at, 1); break;
      }
    }
    auto map = parse_metadata_object(text);
    if (!map) {
      ASSERT_EQ(map.error().kind(), CacheError::Kind::kJson);
      ASSERT_NE(map.error().message().find(" at line "), std::string::npos) << map.error().message();
      continue;
    }
    std::string written;
    write_metadata_map(written, *map);
    auto again = parse_metadata_object(written);
    ASSERT_TRUE(again) << text << " -> " << written;
    std::string rewritten;
    write_metadata_map(rewritten, *again);
    ASSERT_EQ(written, rewritten);
    (void)parse_shard_compression(text);
    (void)parse_metadata_field(text);
  }
}

}  // namespace
}  // namespace zandrel
