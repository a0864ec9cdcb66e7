// Damaged caches, opened and read back at both depths: each fault is caught by
// the depth and the step that can see it, with its message.
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/ipc/writer.h>
#include <arrow/json/from_string.h>
#include <arrow/util/compression.h>
#include <gtest/gtest.h>

#include "zandrel/storage/builder.hpp"
#include "zandrel/storage/loader.hpp"

namespace zandrel::storage {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string slurp(const fs::path& p) {
  return {std::istreambuf_iterator<char>(std::ifstream(p, std::ios::binary).rdbuf()), {}};
}
void spit(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
// Rewrites manifest.json with the sizes and checksums the files have now, so
// that a deliberate change passes the checks it is not aimed at.
void reseal(const fs::path& root) {
  Manifest m = *parse_manifest_json(slurp(root / "manifest.json"));
  m.metadata_sha256 = *hash_file(root / "metadata.arrow");
  m.index_sha256 = *hash_file(root / "index.bin");
  for (ShardManifest& s : m.shards) {
    s.byte_len = fs::file_size(root / "shards" / s.name);
    s.sha256 = *hash_file(root / "shards" / s.name);
  }
  spit(root / "manifest.json", write_manifest_json(m));
}

// Replaces the last `from` in root/file with `to`, then reseals unless told
// not to.
void edit(const fs::path& root, const std::string& file, const std::string& from,
          const std::string& to, bool seal = true) {
  std::string contents = slurp(root / file);
  spit(root / file, contents.replace(contents.rfind(from), from.size(), to));
  if (seal) reseal(root);
}

// Replaces metadata.arrow with one batch of one row: a "label" column of `type`.
void write_label(const fs::path& root, const std::shared_ptr<arrow::DataType>& type) {
  auto schema = arrow::schema({arrow::field("label", type)});
  auto column = *arrow::json::ArrayFromJSONString(type, "[0]");
  auto out = *arrow::io::FileOutputStream::Open((root / "metadata.arrow").string());
  auto writer = *arrow::ipc::MakeFileWriter(out, schema);
  ASSERT_TRUE(writer->WriteRecordBatch(*arrow::RecordBatch::Make(schema, 1, {column})).ok());
  ASSERT_TRUE(writer->Close().ok() && out->Close().ok());
  reseal(root);
}

// "ok" when the cache loads and every sample reads, else the first error's
// display text.
std::string outcome(const fs::path& root, bool validate) {
  auto cache = load_cache(root, validate);
  if (!cache) return cache.error().to_string();
  for (size_t i = 0; i < cache->index.size(); ++i) {
    auto got = cache->read_sample_with_cache(i, thread_shard_readers());
    if (!got) return got.error().to_string();
  }
  return "ok";
}

TEST(LoaderTest, PathHoldingNulNamesNoManifest) {
  // The system would see only the bytes before the NUL: a directory and a
  // manifest here. The whole path names no file.
  const fs::path root = fs::path(::testing::TempDir()) / ("loader_nul_" + std::to_string(getpid()));
  fs::create_directories(root);
  spit(root / "manifest.json", "{}");
  for (const std::string& tail : {"\0/x"s, "/manifest.json\0"s}) {
    const fs::path path = root.native() + tail;
    EXPECT_EQ(outcome(path, false), "missing manifest: " + (path / "manifest.json").string());
  }
  fs::remove_all(root);
}

TEST(LoaderTest, DamageIsCaughtAtTheDepthThatSeesIt) {
  // "good": three records of 33 bytes ({"label":i,"name":"n"} and the data
  // i 2 3) under a limit of 40, so one shard each.
  const fs::path base = fs::path(::testing::TempDir()) / ("loader_" + std::to_string(getpid()));
  fs::remove_all(base);
  auto builder = CacheBuilder::create(base / "good", "src", 40, ShardCompression{});
  for (int64_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(builder->push_sample({uint8_t(i), 2, 3}, {{"label", i}, {"name", "n"}}));
  }
  ASSERT_TRUE(std::move(*builder).finish());

  const std::string shard0 = "shards/000000.bin";
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> damage;
    std::string plain, validated = "";  // a prefix of the outcome; validated "" = as plain
  };
  const std::vector<Case> cases = {
      {"absent", [](auto& r) { fs::remove_all(r); },
       "missing manifest: " + (base / "absent/manifest.json").string()},
      // The version is refused before any other file is looked at.
      {"v1", [](auto& r) { edit(r, "manifest.json", ": 2,", ": 1,"), fs::remove(r / "index.bin"); },
       "unsupported format version 1"},
      // A changed byte in each file: only validation sees it in the data.
      {"shard_flip", [](auto& r) { edit(r, "shards/000001.bin", "\3", "\4", false); }, "ok",
       "checksum mismatch for " + (base / "shard_flip/shards/000001.bin").string()},
      {"meta_flip", [](auto& r) { edit(r, "metadata.arrow", "ARROW1", "ARROX1", false); }, "ok",
       "checksum mismatch"},
      // The high byte of the last row's length: far past its shard's end.
      {"index_flip", [](auto& r) { edit(r, "index.bin", "\0"s, "\1", false); },
       "invalid binary record", "checksum mismatch"},
      {"shard_short", [](auto& r) { fs::resize_file(r / "shards/000002.bin", 32); },
       "shard length mismatch for " + (base / "shard_short/shards/000002.bin").string()},
      {"index_25", [](auto& r) { fs::resize_file(r / "index.bin", 25), reseal(r); },
       "index length is not divisible by row size"},
      {"missing_shard", [](auto& r) { edit(r, "index.bin", "\2", "\3"); },
       "index references missing shard 3"},
      {"no_metadata", [](auto& r) { fs::remove(r / "metadata.arrow"); }, "I/O error: "},
      // Columns are matched by position and exact type; values pass Arrow's
      // validation before they are read.
      {"int32", [](auto& r) { write_label(r, arrow::int32()); }, "ok",
       "metadata 'label' is not int"},
      {"one_column", [](auto& r) { write_label(r, arrow::int64()); }, "ok",
       "metadata.arrow has fewer columns than the schema"},
      // The names' last offset, 3, made 127.
      {"bad_offsets", [](auto& r) { edit(r, "metadata.arrow", "\2\0\0\0\3"s, "\2\0\0\0\x7f"s); },
       "ok", "Arrow error: "},
      // Records are checked only when read: first the index row's range, then
      // the record's framing, then the embedded metadata, then the payload.
      {"past_end", [](auto& r) { edit(r, "index.bin", "!", "\""); }, "invalid binary record"},
      {"overflow", [&](auto& r) { edit(r, shard0, "\x16\0\0\0\0\0\0\0"s, std::string(8, '\xFF')); },
       "metadata record length overflowed"},
      {"json_past_end", [&](auto& r) { edit(r, shard0, "\x16", "\x1A"); }, "invalid binary record"},
      {"extra_key",
       [&](auto& r) { edit(r, shard0, R"("label":0,"name":"n")", R"("l":0,"a":1,"b":2222)"); },
       "embedded metadata keys do not match schema"},
      {"disagrees", [&](auto& r) { edit(r, shard0, ":0", ":7"); }, "ok",
       "embedded metadata does not match metadata.arrow for sample 0"},
      // Each shard is decoded by its own compression setting.
      {"lz4_last_shard", [](auto& r) { edit(r, "manifest.json", "\"none\"", "\"lz4\""); },
       "failed to decompress lz4 payload: expected another byte, found none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::copy(base / "good", base / c.name, fs::copy_options::recursive);
    c.damage(base / c.name);
    EXPECT_EQ(outcome(base / c.name, false).substr(0, c.plain.size()), c.plain);
    const std::string& want = c.validated.empty() ? c.plain : c.validated;
    EXPECT_EQ(outcome(base / c.name, true).substr(0, want.size()), want);
  }
  fs::remove_all(base);
}

TEST(LoaderTest, CompressedMetadataIsRefusedBeforeItsClaimedSizeIsAllocated) {
  // A metadata.arrow whose one buffer is LZ4-compressed, its header claiming
  // 1 GiB uncompressed: refused unread, without allocating that first.
  const fs::path root = fs::path(::testing::TempDir()) / ("loader_lz4_" + std::to_string(getpid()));
  fs::remove_all(root);
  auto builder = CacheBuilder::create(root, "src", 1 << 20, ShardCompression{});
  ASSERT_TRUE(builder->push_sample({1}, {{"label", int64_t{0}}}));
  ASSERT_TRUE(std::move(*builder).finish());
  auto schema = arrow::schema({arrow::field("label", arrow::int64())});
  auto zeros = *arrow::MakeArrayFromScalar(arrow::Int64Scalar(0), 1000);
  auto options = arrow::ipc::IpcWriteOptions::Defaults();
  options.codec = *arrow::util::Codec::Create(arrow::Compression::LZ4_FRAME);
  auto out = *arrow::io::FileOutputStream::Open((root / "metadata.arrow").string());
  auto writer = *arrow::ipc::MakeFileWriter(out, schema, options);
  ASSERT_TRUE(writer->WriteRecordBatch(*arrow::RecordBatch::Make(schema, 1000, {zeros})).ok());
  ASSERT_TRUE(writer->Close().ok() && out->Close().ok());
  // The buffer's uncompressed length, 8000, as the 8 bytes before its frame.
  edit(root, "metadata.arrow", "\x40\x1f\0\0\0\0\0\0"s, "\0\0\0\x40\0\0\0\0"s);

  const int64_t before = arrow::default_memory_pool()->total_bytes_allocated();
  EXPECT_EQ(outcome(root, true).substr(0, 13), "Arrow error: ");
  EXPECT_LT(arrow::default_memory_pool()->total_bytes_allocated() - before, 1 << 20);
  fs::remove_all(root);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the shadow memory alone passes any address-space limit
#else
constexpr bool kSanitized = false;
#endif

// Lets this process's address space grow by `bytes` at most.
void limit_address_space_growth(size_t bytes) {
  size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + bytes;
  setrlimit(RLIMIT_AS, &limit);
}

TEST(LoaderTest, MetadataRowsPastTheSampleCountAreCountedNotKept) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit cannot tell allocations apart under sanitizers";
  // One sample, no metadata fields, and a metadata.arrow of a few hundred
  // bytes whose Null column (no buffer) claims 2^27 rows: keeping a row each
  // would take 3 GiB before the count is compared with the manifest's.
  const fs::path root = fs::path(::testing::TempDir()) / ("loader_rows_" + std::to_string(getpid()));
  fs::remove_all(root);
  auto builder = CacheBuilder::create(root, "src", 1 << 20, ShardCompression{});
  ASSERT_TRUE(builder->push_sample({1}, {{"label", true}}));
  ASSERT_TRUE(std::move(*builder).finish());
  Manifest manifest = *parse_manifest_json(slurp(root / "manifest.json"));
  manifest.metadata_schema.clear();
  spit(root / "manifest.json", write_manifest_json(manifest));
  auto schema = arrow::schema({arrow::field("label", arrow::null())});
  auto out = *arrow::io::FileOutputStream::Open((root / "metadata.arrow").string());
  auto writer = *arrow::ipc::MakeFileWriter(out, schema);
  auto nulls = std::make_shared<arrow::NullArray>(int64_t{1} << 27);
  ASSERT_TRUE(writer->WriteRecordBatch(*arrow::RecordBatch::Make(schema, nulls->length(), {nulls})).ok());
  ASSERT_TRUE(writer->Close().ok() && out->Close().ok());
  reseal(root);

  EXPECT_EXIT(
      {
        limit_address_space_growth(size_t{512} << 20);
        std::cerr << outcome(root, true);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "metadata row count does not match manifest");
  fs::remove_all(root);
}

}  // namespace
}  // namespace zandrel::storage
