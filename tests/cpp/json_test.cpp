// JSON text rules: the float writer, number classification, the sample-record
// metadata object and the JSON shapes of kinds, fields and compression.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

std::string written(const MetadataMap& map) {
  std::string out;
  write_metadata_map(out, map);
  return out;
}

// The error text of a failed parse, or "" when it succeeded.
template <typename T>
std::string error_of(const Result<T>& result) {
  return result ? "" : result.error().to_string();
}

const std::string kMismatch = "data did not match any variant of untagged enum MetadataValue";

TEST(FloatText, WritesFixedAndExponentLayouts) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {100.0, "100.0"}, {1e15, "1000000000000000.0"},
      {1e16, "1e+16"}, {0.5, "0.5"}, {1e-5, "0.00001"}, {1e-6, "1e-6"}, {12.25, "12.25"},
      {1.5e-7, "1.5e-7"}, {5e-324, "5e-324"}, {-2.5, "-2.5"}, {0.1 + 0.2, "0.30000000000000004"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {NAN, "null"}, {-INFINITY, "null"},
      // Either side of both notation switches.
      {9.999999e-6, "9.999999e-6"}, {1.000001e-5, "0.00001000001"},
      {9.999999999999998e15, "9999999999999998.0"}, {1.0000000000000002e16, "1.0000000000000002e+16"},
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
    // Fixed notation, always with a fraction, exactly for decimal exponents
    // -5..15 of the shortest digits.
    char sci[64] = {};
    std::to_chars(sci, sci + sizeof sci - 1, value, std::chars_format::scientific);
    const int e = std::atoi(std::strchr(sci, 'e') + 1);
    const bool fixed = e >= -5 && e <= 15;
    ASSERT_EQ(text.find('e') == std::string::npos, fixed) << text;
    ASSERT_TRUE(!fixed || text.find('.') != std::string::npos) << text;
    // Our own reader gives back the same bits.
    auto number = json::classify_number(text);
    ASSERT_TRUE(number && number->kind == json::Number::Kind::kFloat) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(number->f), std::bit_cast<uint64_t>(value)) << text;
  }
}

TEST(NumberClassification, FollowsTheIntegerAndFloatRanges) {
  using Kind = json::Number::Kind;
  const std::string zeros(400, '0');
  // The record reader's variant: Int for kInt, Float (the double) otherwise.
  const std::tuple<std::string, Kind, MetadataValue> cases[] = {
      {"9223372036854775807", Kind::kInt, int64_t{INT64_MAX}},
      {"-9223372036854775808", Kind::kInt, int64_t{INT64_MIN}},
      {"0", Kind::kInt, int64_t{0}},
      {"-123456789012345678", Kind::kInt, int64_t{-123456789012345678}},
      {"9223372036854775808", Kind::kUint, 9223372036854775808.0},
      {"18446744073709551615", Kind::kUint, 18446744073709551615.0},
      {"18446744073709551616", Kind::kFloat, 18446744073709551616.0},
      {"-9223372036854775809", Kind::kFloat, -9223372036854775808.0},
      {"-0", Kind::kFloat, -0.0},
      {"2.0", Kind::kFloat, 2.0},
      {"2e0", Kind::kFloat, 2.0},
      {"1E2", Kind::kFloat, 100.0},
      {"1e-400", Kind::kFloat, 0.0},
      {"-1e-400", Kind::kFloat, -0.0},
      {"0e400", Kind::kFloat, 0.0},  // zero however large the exponent
      {"-0.0E999", Kind::kFloat, -0.0},
      {"1" + zeros + "e-300", Kind::kFloat, 1e100},
      {"0.1", Kind::kFloat, 0.1},
  };
  for (const auto& [text, kind, value] : cases) {
    auto number = json::classify_number(text);
    ASSERT_TRUE(number) << text;
    EXPECT_EQ(number->kind, kind) << text;
    auto map = parse_metadata_object("{\"v\": " + text + "}");
    ASSERT_TRUE(map) << text << ": " << map.error().to_string();
    EXPECT_EQ(written(*map), written({{"v", value}})) << text;  // the bytes tell -0.0 from 0.0
    auto nested = parse_metadata_object("{\"v\": [" + text + "]}");  // through the general reader
    EXPECT_NE(error_of(nested).find(kMismatch), std::string::npos) << text;
  }
  const std::string too_large[] = {"1e400", "-1e400", "0.001e312", "1" + zeros};
  for (const std::string& text : too_large) {
    auto number = json::classify_number(text);
    EXPECT_TRUE(!number && number.error() == "number out of range") << text;
    EXPECT_TRUE(error_of(parse_metadata_object("{\"a\":" + text + "}"))
                    .starts_with("JSON error: number out of range at line 1 column "));
  }
}

TEST(MetadataObject, WritesKeysInByteOrderWithEscapes) {
  EXPECT_EQ(written({{"b", int64_t{1}}, {"a", true}, {"c", std::string("x")}}), R"({"a":true,"b":1,"c":"x"})");
  EXPECT_EQ(written({{"ab", 3.0}, {"a", int64_t{INT64_MIN}}, {"B", NAN}}),
            R"({"B":null,"a":-9223372036854775808,"ab":3.0})");
  EXPECT_EQ(written({{"s", std::string("t\tu\x01q\"b\\\x7f\xc3\xa9")}}),
            "{\"s\":\"t\\tu\\u0001q\\\"b\\\\\x7f\xc3\xa9\"}");
  EXPECT_EQ(written({}), "{}");

  // Everything written reads back equal, escapes and non-ASCII text included.
  const MetadataMap full{{"flag", false}, {"n", int64_t{-7}}, {"x", 0.1 + 0.2},
                         {"s\xc3\xa9", std::string("\x1f\b\f\n\r\"\\\xe2\x82\xac\xf0\x9f\x98\x80")}};
  auto back = parse_metadata_object(written(full));
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, full);
}

TEST(MetadataObject, ReadsOneObjectAndRefusesEverythingElse) {
  const std::pair<std::string, MetadataMap> accepted[] = {
      {" {}\n", {}},
      {"{\"a\": 1, \"a\": 2.5}", {{"a", 2.5}}},  // the last repeat wins
      {"{\"b\":1,\"a\":2}\n", {{"a", int64_t{2}}, {"b", int64_t{1}}}},
      {R"({"p":"C:\\d\"\/\u00e9\ud83d\ude00"})", {{"p", std::string("C:\\d\"/\xc3\xa9\xf0\x9f\x98\x80")}}},
  };
  for (const auto& [text, map] : accepted) EXPECT_EQ(parse_metadata_object(text), map) << text;

  const std::pair<std::string, std::string> failures[] = {
      {"{\"a\":1}x", "trailing characters at line 1 column 8"},
      {"[1]", "invalid type: sequence, expected a map at line 1 column 1"},
      {"\"s\"", "invalid type: string \"s\", expected a map at line 1 column 3"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":\"x", "EOF while parsing a string at line 1 column 7"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\": null}", kMismatch},
      {"{\"a\": [1]}", kMismatch},
      {"{\"a\": {}}", kMismatch},
      {"{\"a\":\n x}", "expected value at line 2 column 2"},
      {"{\"a\":\"\\udc00\"}", "lone trailing surrogate"},
      {"{\"a\":\"\xff\"}", "invalid unicode code point"},
      {"{\"a\":\"\xed\xa0\x80\"}", "invalid unicode code point"},
      {"{\"a\":\"\x01\"}", "control character"},
      {"{\"a\":1,}", "at line 1 column 8"},
  };
  for (const auto& [text, message] : failures) {
    const std::string error = error_of(parse_metadata_object(text));
    EXPECT_NE(error.find(message), std::string::npos) << text << " gave: " << error;
    EXPECT_TRUE(error.starts_with("JSON error: ")) << text;
  }

  // Nesting: the outer object is level 1; opening level 128 fails.
  auto nested = [](int levels) {
    return "{\"a\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  EXPECT_NE(error_of(parse_metadata_object(nested(127))).find(kMismatch), std::string::npos);
  EXPECT_NE(error_of(parse_metadata_object(nested(128))).find("recursion limit exceeded"), std::string::npos);
  EXPECT_NE(error_of(parse_metadata_object(nested(100000))).find("recursion limit exceeded"), std::string::npos);
}

TEST(MetadataShapes, KindsAlgosFieldsAndCompression) {
  auto kind = [](std::string_view text) { return json::parse_document(text, read_metadata_kind); };
  EXPECT_EQ(kind("\"string\""), MetadataKind::kString);
  EXPECT_EQ(kind(" {\"float\" : null } "), MetadataKind::kFloat);
  EXPECT_EQ(parse_metadata_field(R"(["label", "string"])"), (MetadataField{"label", MetadataKind::kString}));
  EXPECT_EQ(parse_metadata_field(R"({"kind": {"int": null}, "x": [{}], "name": "n"})"),
            (MetadataField{"n", MetadataKind::kInt}));
  const std::pair<const char*, ShardCompression> compressions[] = {
      {R"({"ratio": 1, "algo": "none", "extra": [1, {"x": null}]})", {CompressionAlgo::kNone, 1.0}},
      {R"(["lz4", 0.5])", {CompressionAlgo::kLz4, 0.5}},
      {R"({"algo": {"lz4": null}, "ratio": 2})", {CompressionAlgo::kLz4, 2.0}},
      {R"({"algo": "none", "ratio": -3.0})", {CompressionAlgo::kNone, -3.0}},  // not validated
  };
  for (const auto& [text, compression] : compressions) EXPECT_EQ(parse_shard_compression(text), compression) << text;

  const std::pair<std::string, std::string> failures[] = {
      {error_of(kind("\"Float\"")),
       "unknown variant `Float`, expected one of `bool`, `int`, `float`, `string` at line 1 column 7"},
      {error_of(kind("{\"int\": 0}")), "invalid type: integer `0`, expected unit"},
      {error_of(kind("{\"int\": null, \"bool\": null}")), "expected value"},
      {error_of(kind("{\"int\": null")), "EOF while parsing an object"},
      {error_of(kind("3")), "expected value"},
      {error_of(kind("")), "EOF while parsing a value"},
      {error_of(parse_metadata_field("{}")), "missing field `name`"},
      {error_of(parse_metadata_field(R"({"name": "a"})")), "missing field `kind`"},
      {error_of(parse_metadata_field(R"(["a"])")), "invalid length 1, expected struct MetadataField with 2 elements"},
      {error_of(parse_metadata_field("true")), "expected struct MetadataField"},
      {error_of(parse_shard_compression(R"({"ratio": 1.0})")), "missing field `algo`"},
      {error_of(parse_shard_compression("{}")), "missing field `algo`"},
      {error_of(parse_shard_compression(R"({"algo": "lz4"})")), "missing field `ratio`"},
      {error_of(parse_shard_compression(R"({"algo": "LZ4", "ratio": 1})")),
       "unknown variant `LZ4`, expected `none` or `lz4`"},
      {error_of(parse_shard_compression(R"({"algo": "none", "algo": "lz4"})")),
       "duplicate field `algo` at line 1 column 23"},
      {error_of(parse_shard_compression("[]")), "invalid length 0, expected struct ShardCompression with 2 elements"},
      {error_of(parse_shard_compression(R"(["lz4", 1, 2])")), "trailing characters at line 1 column 12"},
      {error_of(parse_shard_compression("\"x\"")), "invalid type: string \"x\", expected struct ShardCompression"},
      {error_of(parse_shard_compression(R"({"algo": "none", "ratio": "1"})")),
       "invalid type: string \"1\", expected f64"},
      {error_of(parse_shard_compression(R"({"algo": {}, "ratio": 1})")), "expected value"},
      {error_of(parse_shard_compression(R"({"algo": ["lz4"], "ratio": 1})")), "expected value"},
  };
  for (const auto& [error, message] : failures) EXPECT_NE(error.find(message), std::string::npos) << error;
}

// Random byte edits of valid texts: the direct reader of flat objects agrees
// with the general reader on every input, and a value read back writes and
// reads again to the same bytes.
TEST(MetadataFuzz, MutatedRecordObjectsAgreeAcrossReaders) {
  const std::string seeds[] = {
      R"({"a":true,"b":-12,"c":0.30000000000000004,"d":"x\ty","e":1e-7})",
      R"({"p":"C:\\d\"\/\u00e9\ud83d\ude00é","n":-0,"q":0e400,"z":false})",
      R"({"k":{"int":null},"l":[["a",1]],"m":"\u00e9"})",
  };
  const char alphabet[] = "{}[]\",:\\/ 0123456789-+.eEtrufalsnbu\x00\x01\xff\xc3\xa9\xed\xa0\x80";
  auto outcome = [](const Result<MetadataMap>& map) { return map ? written(*map) : map.error().to_string(); };
  std::mt19937 rng(7);
  for (int round = 0; round < 60000; ++round) {
    std::string text = seeds[round % 3];
    for (int i = 0, edits = 1 + static_cast<int>(rng() % 4); i < edits; ++i) {
      const size_t at = rng() % (text.size() + 1);
      const char c = alphabet[rng() % (sizeof alphabet - 1)];
      switch (rng() % 3) {
        case 0: if (at < text.size()) text[at] = c; break;
        case 1: text.insert(text.begin() + static_cast<ptrdiff_t>(at), c); break;
        default: if (at < text.size()) text.erase(at, 1); break;
      }
    }
    auto map = parse_metadata_object(text);
    ASSERT_EQ(outcome(map), outcome(json::parse_document(text, read_metadata_object))) << text;
    if (!map) {
      ASSERT_EQ(map.error().kind(), CacheError::Kind::kJson);
      ASSERT_NE(map.error().message().find(" at line "), std::string::npos) << map.error().message();
      continue;
    }
    auto again = parse_metadata_object(written(*map));
    ASSERT_TRUE(again) << text;
    ASSERT_EQ(written(*again), written(*map));
    (void)parse_shard_compression(text);
    (void)parse_metadata_field(text);
  }
}

}  // namespace
}  // namespace zandrel
