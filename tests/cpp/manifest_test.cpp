// manifest.json: the exact pretty bytes, and the reader's accepted and
// refused shapes.
#include <gtest/gtest.h>

#include "zandrel/storage/manifest.hpp"

namespace zandrel::storage {
namespace {

const std::string kHashA(64, 'a');
const std::string kHashB(64, 'b');

Manifest sample_manifest() {
  return Manifest{
      2,
      "src \"one\"",
      3,
      {{"label", MetadataKind::kInt}, {"score", MetadataKind::kFloat}},
      kHashA,
      kHashB,
      {ShardManifest{"000000.bin", 9, 77, {CompressionAlgo::kNone, 1.0}, kHashA},
       ShardManifest{"000001.bin", 18446744073709551615u, 5, {CompressionAlgo::kLz4, 2.5}, kHashB}},
  };
}

const char kSampleText[] = R"({
  "format_version": 2,
  "source_name": "src \"one\"",
  "sample_count": 3,
  "metadata_schema": [
    {
      "name": "label",
      "kind": "int"
    },
    {
      "name": "score",
      "kind": "float"
    }
  ],
  "metadata_sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
  "index_sha256": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
  "shards": [
    {
      "name": "000000.bin",
      "uncompressed_byte_len": 9,
      "byte_len": 77,
      "compression": {
        "algo": "none",
        "ratio": 1.0
      },
      "sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
    },
    {
      "name": "000001.bin",
      "uncompressed_byte_len": 18446744073709551615,
      "byte_len": 5,
      "compression": {
        "algo": "lz4",
        "ratio": 2.5
      },
      "sha256": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"
    }
  ]
})";

// A text with `from` replaced by `to` once.
std::string edited(std::string text, std::string_view from, std::string_view to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

TEST(ManifestJson, WritesThePrettyFormByteForByte) {
  EXPECT_EQ(write_manifest_json(sample_manifest()), kSampleText);

  const Manifest empty{2, "", 0, {}, "", "", {}};
  EXPECT_EQ(write_manifest_json(empty),
            "{\n  \"format_version\": 2,\n  \"source_name\": \"\",\n  \"sample_count\": 0,\n"
            "  \"metadata_schema\": [],\n  \"metadata_sha256\": \"\",\n  \"index_sha256\": \"\",\n"
            "  \"shards\": []\n}");
  EXPECT_EQ(parse_manifest_json(write_manifest_json(empty)), empty);
}

TEST(ManifestJson, ReadsEquivalentForms) {
  const std::string text = kSampleText;
  const std::string array_form =
      R"([2, "src \"one\"", 3, [["label", "int"], {"kind": {"float": null}, "name": "score"}], )"
      R"(")" + kHashA + R"(", ")" + kHashB + R"(", [)"
      R"(["000000.bin", 9, 77, ["none", 1], ")" + kHashA + R"("], )"
      R"({"sha256": ")" + kHashB + R"(", "compression": {"ratio": 2.5, "algo": "lz4"}, )"
      R"("byte_len": 5, "uncompressed_byte_len": 18446744073709551615, "name": "000001.bin"}]])";
  const std::string accepted[] = {
      text,
      text + "\n \t\r\n",
      edited(text, "\"format_version\": 2,", "\"extra\": [1, {\"x\": null}], \"format_version\": 2,"),
      edited(text, "\"sample_count\": 3,", "\"Shards\": " + std::string(1000, '[') + std::string(1000, ']') +
                                               ", \"sample_count\": 3,"),
      // Keys in another order.
      edited(edited(text, "\"format_version\": 2,\n", ""), "\"shards\": [", "\"format_version\": 2, \"shards\": ["),
      // A ratio of 1.0 whose digits alone would overflow a double.
      edited(text, "\"ratio\": 1.0", "\"ratio\": 1" + std::string(400, '0') + "e-400"),
      array_form,
  };
  for (const std::string& input : accepted) {
    auto manifest = parse_manifest_json(input);
    ASSERT_TRUE(manifest) << input << "\n" << manifest.error().to_string();
    EXPECT_EQ(*manifest, sample_manifest()) << input;
  }
  auto version3 = parse_manifest_json(edited(text, "\"format_version\": 2", "\"format_version\": 3"));
  ASSERT_TRUE(version3);  // the loader, not the reader, refuses other versions
  EXPECT_EQ(version3->format_version, 3u);
}

TEST(ManifestJson, RefusesMalformedManifests) {
  const std::string text = kSampleText;
  const std::string seven = R"([2, "s", 0, [], "m", "i", [])";
  const std::pair<std::string, std::string> refused[] = {
      {edited(text, "\"format_version\": 2,", "\"format_version\": 2, \"format_version\": 2,"),
       "duplicate field `format_version` at line 2 column 39"},
      {edited(text, "\"shards\"", "\"Shards\""), "missing field `shards` at line 39 column 1"},
      {edited(text, "\"source_name\"", "\"name\""), "missing field `source_name`"},
      {seven + "]", ""},
      {seven + ", 8]", "trailing characters at line 1 column 31"},
      {R"([2, "s", 0, [], "m", "i"])", "invalid length 6, expected struct Manifest with 7 elements"},
      {"\"x\"", "invalid type: string \"x\", expected struct Manifest at line 1 column 3"},
      {"null", "invalid type: null, expected struct Manifest"},
      {edited(text, "\"format_version\": 2", "\"format_version\": 2.0"),
       "invalid type: floating point `2.0`, expected u32"},
      {edited(text, "\"format_version\": 2", "\"format_version\": -1"), "invalid value: integer `-1`, expected u32"},
      {edited(text, "\"format_version\": 2", "\"format_version\": 4294967296"),
       "invalid value: integer `4294967296`, expected u32"},
      {edited(text, "\"sample_count\": 3", "\"sample_count\": 18446744073709551616"),
       "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {edited(text, "\"sample_count\": 3", "\"sample_count\": \"3\""), "invalid type: string \"3\", expected u64"},
      {edited(text, "\"byte_len\": 77", "\"byte_len\": 1e400"), "number out of range"},
      {edited(text, "\"shards\": [", "\"shards\": 5, \"x\": ["), "invalid type: integer `5`, expected a sequence"},
      {edited(text, "\"metadata_schema\": [", "\"metadata_schema\": {\"a\": ["),
       "invalid type: map, expected a sequence"},
      {edited(text, "\"kind\": \"int\"", "\"kind\": \"INT\""), "unknown variant `INT`"},
      {edited(text, "\"algo\": \"none\"", "\"algo\": \"LZ4\""), "unknown variant `LZ4`, expected `none` or `lz4`"},
      {edited(text, "\"name\": \"000000.bin\",", ""), "missing field `name`"},
      {edited(text, "\"ratio\": 1.0\n", "\"ratio\": 1.0,\n"), "key must be a string"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {text.substr(0, 30), "EOF while parsing a string"},
      {text.substr(0, text.size() - 1), "EOF while parsing an object"},
      {text.substr(0, text.rfind(']')), "EOF while parsing a list"},
      {text + "x", "trailing characters at line 39 column 2"},
      {text + text, "trailing characters"},
  };
  for (const auto& [input, message] : refused) {
    auto manifest = parse_manifest_json(input);
    if (message.empty()) {
      EXPECT_TRUE(manifest) << input;
      continue;
    }
    ASSERT_FALSE(manifest) << input;
    EXPECT_EQ(manifest.error().kind(), CacheError::Kind::kJson);
    EXPECT_NE(manifest.error().message().find(message), std::string::npos)
        << input << "\ngave: " << manifest.error().message() << "\nwanted: " << message;
  }
}

}  // namespace
}  // namespace zandrel::storage
