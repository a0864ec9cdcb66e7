// Opening caches at both depths: each kind of damage is caught at the depth
// that can see it, with its message, and crafted metadata.arrow files give
// errors, never crashes.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <gtest/gtest.h>

#include "zandrel/storage/builder.hpp"
#include "zandrel/storage/loader.hpp"

namespace zandrel::storage {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
void spit(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Rewrites manifest.json with the checksums and sizes of the files as they are
// now, so that a deliberate change passes the checks it is not aimed at.
void reseal(const fs::path& root) {
  Manifest m = *parse_manifest_json(slurp(root / "manifest.json"));
  if (fs::exists(root / "metadata.arrow")) m.metadata_sha256 = *hash_file(root / "metadata.arrow");
  m.index_sha256 = *hash_file(root / "index.bin");
  for (ShardManifest& s : m.shards) {
    s.byte_len = fs::file_size(root / "shards" / s.name);
    s.sha256 = *hash_file(root / "shards" / s.name);
  }
  spit(root / "manifest.json", write_manifest_json(m));
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::path(::testing::TempDir()) / ("loader_test_" + std::to_string(::getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_);
    // Three samples; a limit of one record's worth gives three shards.
    auto builder = CacheBuilder::create(base_ / "good", "src", 40, ShardCompression{});
    for (int64_t i = 0; i < 3; ++i) {
      ASSERT_TRUE(builder->push_sample({uint8_t(i), 2, 3}, {{"label", i}, {"name", "n"}}));
    }
    ASSERT_TRUE(std::move(*builder).finish());
  }
  void TearDown() override { fs::remove_all(base_); }

  // A fresh copy of the good cache.
  fs::path copy(const std::string& name) {
    fs::copy(base_ / "good", base_ / name, fs::copy_options::recursive);
    return base_ / name;
  }

  // Writes metadata.arrow with the given columns and reseals.
  void write_arrow(const fs::path& root, std::shared_ptr<arrow::Schema> schema,
                   std::vector<std::shared_ptr<arrow::Array>> columns, int64_t rows) {
    auto out = *arrow::io::FileOutputStream::Open((root / "metadata.arrow").string());
    auto writer = *arrow::ipc::MakeFileWriter(out, schema);
    ASSERT_TRUE(writer->WriteRecordBatch(*arrow::RecordBatch::Make(schema, rows, columns)).ok());
    ASSERT_TRUE(writer->Close().ok());
    ASSERT_TRUE(out->Close().ok());
    reseal(root);
  }

  fs::path base_;
};

// "" means the load succeeds; "Io" means any I/O error.
void expect_load(const fs::path& root, bool validate, const std::string& expected) {
  auto cache = load_cache(root, validate);
  SCOPED_TRACE(root.string() + (validate ? " validated" : " plain"));
  if (expected.empty()) {
    EXPECT_TRUE(cache) << cache.error().to_string();
  } else if (expected == "Io") {
    ASSERT_FALSE(cache);
    EXPECT_EQ(cache.error().kind(), CacheError::Kind::kIo) << cache.error().to_string();
  } else {
    ASSERT_FALSE(cache);
    EXPECT_EQ(cache.error().to_string(), expected);
  }
}

TEST_F(LoaderTest, ManifestChecksComeFirst) {
  expect_load(base_ / "absent", false,
              "missing manifest: " + (base_ / "absent/manifest.json").string());

  // A version other than 2 is refused before any other file is looked at.
  fs::path old = copy("old");
  std::string text = slurp(old / "manifest.json");
  text.replace(text.find("\"format_version\": 2"), 19, "\"format_version\": 1");
  spit(old / "manifest.json", text);
  for (const char* name : {"index.bin", "metadata.arrow", "shards"}) fs::remove_all(old / name);
  expect_load(old, true, "unsupported format version 1");

  fs::path broken = copy("broken");
  spit(broken / "manifest.json", "{\"format_version\": 2");
  auto cache = load_cache(broken, false);
  ASSERT_FALSE(cache);
  EXPECT_EQ(cache.error().kind(), CacheError::Kind::kJson);
}

TEST_F(LoaderTest, DamageIsCaughtAtTheDepthThatSeesIt) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> damage;
    std::string plain, validated;  // expected outcome at each depth
  };
  const auto flip = [](const fs::path& p, size_t i) {
    std::string bytes = slurp(p);
    bytes[i] ^= 0x01;
    spit(p, bytes);
  };
  const auto cut = [](const fs::path& p, size_t len) {
    fs::resize_file(p, len);
    reseal(p.parent_path());
  };
  const auto at = [&](const std::string& path) { return (base_ / path).string(); };
  std::vector<Case> cases = {
      {"shard_flip", [&](auto& r) { flip(r / "shards/000000.bin", 3); }, "",
       "checksum mismatch for " + at("shard_flip/shards/000000.bin")},
      {"meta_flip", [&](auto& r) { flip(r / "metadata.arrow", 100); }, "",
       "checksum mismatch for " + at("meta_flip/metadata.arrow")},
      // The high byte of the first row's shard id.
      {"index_flip", [&](auto& r) { flip(r / "index.bin", 7); },
       "index references missing shard 72057594037927936",
       "checksum mismatch for " + at("index_flip/index.bin")},
      {"shard_short", [&](auto& r) { fs::resize_file(r / "shards/000000.bin", 32); },
       "shard length mismatch for " + at("shard_short/shards/000000.bin"),
       "shard length mismatch for " + at("shard_short/shards/000000.bin")},
      {"index_25", [&](auto& r) { cut(r / "index.bin", 25); },
       "index length is not divisible by row size", "index length is not divisible by row size"},
      {"index_short", [&](auto& r) { cut(r / "index.bin", 48); },
       "index row count does not match manifest", "index row count does not match manifest"},
      // The last row names shard 3 of three.
      {"missing_shard", [&](auto& r) { flip(r / "index.bin", 48); reseal(r); },
       "index references missing shard 3", "index references missing shard 3"},
      // Without validation the shards are checked before metadata.arrow;
      // with it, metadata.arrow's checksum comes first.
      {"no_metadata",
       [&](auto& r) {
         fs::remove(r / "metadata.arrow");
         fs::resize_file(r / "shards/000001.bin", 1);
       },
       "shard length mismatch for " + at("no_metadata/shards/000001.bin"), "Io"},
      {"no_metadata_only", [&](auto& r) { fs::remove(r / "metadata.arrow"); }, "Io", "Io"},
  };
  for (const Case& c : cases) {
    fs::path root = copy(c.name);
    c.damage(root);
    expect_load(root, false, c.plain);
    expect_load(root, true, c.validated);
  }
  expect_load(base_ / "good", true, "");
}

TEST_F(LoaderTest, MetadataColumnsAreCheckedByPositionAndType) {
  auto label32 = arrow::field("label", arrow::int32(), false);
  auto name = arrow::field("name", arrow::utf8(), false);
  arrow::Int32Builder b32;
  arrow::Int64Builder b64;
  arrow::StringBuilder bstr;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(b32.Append(i).ok() && b64.Append(i).ok() && bstr.Append("n").ok());
  }
  auto ints32 = *b32.Finish(), ints64 = *b64.Finish(), strings = *bstr.Finish();

  fs::path narrow = copy("narrow");
  write_arrow(narrow, arrow::schema({label32, name}), {ints32, strings}, 3);
  expect_load(narrow, false, "");
  expect_load(narrow, true, "metadata 'label' is not int");

  fs::path empty = copy("empty");
  write_arrow(empty, arrow::schema({label32, name}), {ints32->Slice(0, 0), strings->Slice(0, 0)},
              0);
  expect_load(empty, true, "metadata row count does not match manifest");

  fs::path fewer = copy("fewer");
  write_arrow(fewer, arrow::schema({arrow::field("label", arrow::int64())}), {ints64}, 3);
  expect_load(fewer, true, "metadata.arrow has fewer columns than the schema");

  // Names are not compared, extra columns are ignored.
  fs::path renamed = copy("renamed");
  write_arrow(renamed, arrow::schema({arrow::field("x", arrow::int64()), name, name}),
              {ints64, strings, strings}, 3);
  auto cache = load_cache(renamed, true);
  ASSERT_TRUE(cache) << cache.error().to_string();
  cache->with_metadata_rows([](const auto& rows) {
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[2], (MetadataRow{int64_t{2}, std::string("n")}));
  });
  auto reader = cache->metadata_batches();
  ASSERT_TRUE(reader);
  EXPECT_EQ((*reader)->num_record_batches(), 1);
  EXPECT_TRUE(read_metadata_batch(**reader, 0));
}

// Every single-byte change and every truncation of a valid metadata.arrow,
// under a matching checksum, either loads or fails with an error.
TEST_F(LoaderTest, CraftedMetadataArrowNeverCrashes) {
  fs::path root = copy("crafted");
  const std::string original = slurp(root / "metadata.arrow");
  for (size_t at = 0; at < original.size(); ++at) {
    for (uint8_t mask : {0x01, 0xFF}) {
      std::string bytes = original;
      bytes[at] = static_cast<char>(bytes[at] ^ mask);
      spit(root / "metadata.arrow", bytes);
      reseal(root);
      auto cache = load_cache(root, true);
      if (!cache) {
        EXPECT_NE(cache.error().kind(), CacheError::Kind::kIo);
      }
    }
  }
  for (size_t len = 0; len < original.size(); len += 7) {
    spit(root / "metadata.arrow", original.substr(0, len));
    reseal(root);
    EXPECT_FALSE(load_cache(root, true)) << len;
  }
}

}  // namespace
}  // namespace zandrel::storage
