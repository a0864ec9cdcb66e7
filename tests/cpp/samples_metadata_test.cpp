#include "zandrel/samples_metadata.hpp"

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <arrow/json/from_string.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "zandrel/storage/loader.hpp"
#include "zandrel/storage/manifest.hpp"

namespace zandrel {
namespace {

namespace fs = std::filesystem;
using Columns = std::vector<std::pair<std::string, std::shared_ptr<arrow::Array>>>;

const MetadataSchema kFields = {{"label", MetadataKind::kString}, {"score", MetadataKind::kInt}};

std::shared_ptr<arrow::Array> json_array(const std::shared_ptr<arrow::DataType>& type,
                                         const std::string& json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

std::shared_ptr<arrow::RecordBatch> make_batch(const Columns& columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (const auto& [name, array] : columns) {
    fields.push_back(arrow::field(name, array->type()));
    arrays.push_back(array);
  }
  int64_t rows = arrays.empty() ? 0 : arrays[0]->length();
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

// An IPC file (or stream) of the batches, which share the first one's schema.
std::vector<uint8_t> ipc_bytes(const std::shared_ptr<arrow::Schema>& schema,
                               const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches,
                               bool stream = false) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = stream ? arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie()
                       : arrow::ipc::MakeFileWriter(sink, schema).ValueOrDie();
  for (const auto& batch : batches) EXPECT_TRUE(writer->WriteRecordBatch(*batch).ok());
  EXPECT_TRUE(writer->Close().ok());
  auto buffer = sink->Finish().ValueOrDie();
  return {buffer->data(), buffer->data() + buffer->size()};
}

std::vector<uint8_t> table_bytes(const Columns& columns) {
  auto batch = make_batch(columns);
  return ipc_bytes(batch->schema(), {batch});
}

// A minimal cache directory the loader opens without validation: a manifest
// of `sample_count` samples over `fields`, zero index rows naming an empty
// shard, and the given metadata.arrow batches.
class Caches : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("zandrel_samples_metadata_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void add_cache(uint64_t sample_count,
                 const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches,
                 const MetadataSchema& fields = kFields) {
    fs::path dir = root_ / std::to_string(caches_.size());
    fs::create_directories(dir / "shards");
    std::ofstream(dir / "shards" / "000000.bin");
    storage::Manifest manifest{2, "src", sample_count, fields, "", "", {}};
    manifest.shards.push_back({"000000.bin", 0, 0, ShardCompression{}, ""});
    std::ofstream(dir / "manifest.json") << storage::write_manifest_json(manifest);
    std::ofstream(dir / "index.bin") << std::string(24 * sample_count, '\0');
    auto bytes = ipc_bytes(batches.at(0)->schema(), batches);
    std::ofstream(dir / "metadata.arrow", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    auto cache = storage::load_cache(dir, /*validate=*/false);
    ASSERT_TRUE(cache) << cache.error().to_string();
    caches_.push_back(std::make_shared<const storage::LoadedCache>(std::move(*cache)));
    offsets_.push_back(total_);
    total_ += sample_count;
  }

  std::string build_error() {
    auto built = samples_metadata::build_samples_metadata_ipc(caches_, offsets_, kFields);
    return built ? "" : built.error().to_string();
  }
  Result<ActiveMetadataTable> extract(const std::vector<uint8_t>& bytes) {
    return samples_metadata::extract_metadata_ipc(bytes, caches_, offsets_, kFields);
  }
  std::string extract_error(const std::vector<uint8_t>& bytes) {
    auto table = extract(bytes);
    return table ? "" : table.error().to_string();
  }

  fs::path root_;
  LoadedCaches caches_;
  std::vector<size_t> offsets_;
  size_t total_ = 0;
};

std::shared_ptr<arrow::RecordBatch> meta_batch(const std::string& labels,
                                               const std::string& scores) {
  return make_batch({{"label", json_array(arrow::utf8(), labels)},
                     {"score", json_array(arrow::int64(), scores)}});
}

// Two caches of 3 and 2 samples, the first split over two batches.
class TwoCaches : public Caches {
 protected:
  void SetUp() override {
    Caches::SetUp();
    add_cache(3, {meta_batch(R"(["a","b"])", "[1,2]"), meta_batch(R"(["c"])", "[3]")});
    add_cache(2, {meta_batch(R"(["d","e"])", "[4,5]")});
  }
};

TEST_F(TwoCaches, BuiltTableListsEverySampleInCacheOrder) {
  auto built = samples_metadata::build_samples_metadata_ipc(caches_, offsets_, kFields);
  ASSERT_TRUE(built) << built.error().to_string();
  auto reader = arrow::ipc::RecordBatchFileReader::Open(
                    std::make_shared<arrow::io::BufferReader>(*built)).ValueOrDie();
  auto expected_schema = arrow::schema({arrow::field("cache_id", arrow::uint64(), false),
                                        arrow::field("sample_id", arrow::uint64(), false),
                                        arrow::field("label", arrow::utf8(), false),
                                        arrow::field("score", arrow::int64(), false),
                                        arrow::field("weight", arrow::float64(), false)});
  EXPECT_TRUE(reader->schema()->Equals(*expected_schema, /*check_metadata=*/true));
  ASSERT_EQ(reader->num_record_batches(), 3);  // one per metadata.arrow batch
  auto table = reader->ToTable().ValueOrDie()->CombineChunksToBatch().ValueOrDie();
  auto expected = make_batch({{"cache_id", json_array(arrow::uint64(), "[0,0,0,1,1]")},
                              {"sample_id", json_array(arrow::uint64(), "[0,1,2,0,1]")},
                              {"label", json_array(arrow::utf8(), R"(["a","b","c","d","e"])")},
                              {"score", json_array(arrow::int64(), "[1,2,3,4,5]")},
                              {"weight", json_array(arrow::float64(), "[1,1,1,1,1]")}});
  for (int i = 0; i < expected->num_columns(); ++i) {
    EXPECT_TRUE(table->column(i)->Equals(*expected->column(i))) << table->ToString();
  }

  // Handed back unchanged, it names every physical sample in order.
  std::vector<uint8_t> bytes((*built)->data(), (*built)->data() + (*built)->size());
  auto active = extract(bytes);
  ASSERT_TRUE(active) << active.error().to_string();
  EXPECT_EQ(*active->active, (std::vector<size_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(active->weights, std::vector<double>(5, 1.0));
  EXPECT_EQ(active->ipc, bytes);
}

TEST_F(Caches, BuildRefusesMetadataThatDisagreesWithTheManifest) {
  add_cache(2, {meta_batch(R"(["a"])", "[1]")});
  EXPECT_EQ(build_error(), "metadata row count for cache 0 expected 2, got 1");
  caches_.clear(), offsets_.clear();

  add_cache(1, {make_batch({{"label", json_array(arrow::utf8_view(), R"(["a"])")},
                            {"score", json_array(arrow::int64(), "[1]")}})});
  EXPECT_EQ(build_error(), "metadata column 'label' does not match manifest schema");
  caches_.clear(), offsets_.clear();

  add_cache(1, {make_batch({{"label", json_array(arrow::utf8(), R"(["a"])")}})});
  EXPECT_EQ(build_error(), "metadata batch column count does not match manifest");

  offsets_.clear();
  EXPECT_EQ(build_error(), "cache offset is out of range");
}

TEST_F(TwoCaches, HostTableMaySelectRepeatReorderAndReweight) {
  auto table = extract(table_bytes({
      {"weight", json_array(arrow::int64(), "[3, 1, 2]")},
      {"extra", json_array(arrow::boolean(), "[true, null, false]")},
      {"sample_id", json_array(arrow::uint32(), "[1, 1, 2]")},
      {"label", json_array(arrow::large_utf8(), R"(["x", null, "z"])")},
      {"cache_id", json_array(arrow::int32(), "[1, 1, 0]")},
      {"score", json_array(arrow::int64(), "[0, 0, 0]")},
  }));
  ASSERT_TRUE(table) << table.error().to_string();
  EXPECT_EQ(*table->active, (std::vector<size_t>{4, 4, 2}));
  EXPECT_EQ(table->weights, (std::vector<double>{3.0, 1.0, 2.0}));
}

TEST_F(TwoCaches, HostTableErrorsInCheckOrder) {
  // A valid one-row table, with the named column replaced.
  auto with = [](const std::string& name, std::shared_ptr<arrow::Array> replacement) {
    Columns columns = {{"cache_id", json_array(arrow::uint64(), "[0]")},
                       {"sample_id", json_array(arrow::uint64(), "[0]")},
                       {"label", json_array(arrow::utf8_view(), R"(["a"])")},
                       {"score", json_array(arrow::int64(), "[1]")},
                       {"weight", json_array(arrow::float32(), "[0.5]")}};
    for (auto it = columns.begin(); it != columns.end(); ++it) {
      if (it->first != name) continue;
      if (replacement) {
        it->second = replacement;
      } else {
        columns.erase(it);
      }
      break;
    }
    return table_bytes(columns);
  };
  EXPECT_EQ(extract_error(with("", nullptr)), "");
  EXPECT_EQ(extract_error(with("weight", nullptr)), "samples metadata missing 'weight' column");
  EXPECT_EQ(extract_error(with("cache_id", json_array(arrow::float64(), "[0]"))),
            "samples metadata column 'cache_id' must be an integer");
  EXPECT_EQ(extract_error(with("weight", json_array(arrow::boolean(), "[true]"))),
            "samples metadata column 'weight' must be numeric");
  // The null test comes before the type test.
  EXPECT_EQ(extract_error(with("sample_id", json_array(arrow::int16(), "[null]"))),
            "samples metadata column 'sample_id' contains null");
  EXPECT_EQ(extract_error(with("cache_id", json_array(arrow::uint64(), "[2]"))),
            "unknown samples metadata row identity cache_id=2 sample_id=0");

  // The weight's type is checked before the identity is looked up; the bad
  // weight is named by its row over the whole table.
  Columns bad = {{"cache_id", json_array(arrow::uint64(), "[9]")},
                 {"sample_id", json_array(arrow::uint64(), "[0]")},
                 {"label", json_array(arrow::utf8(), R"(["a"])")},
                 {"score", json_array(arrow::int64(), "[1]")},
                 {"weight", json_array(arrow::float16(), "[1]")}};
  EXPECT_EQ(extract_error(table_bytes(bad)), "samples metadata column 'weight' must be numeric");
  auto good = make_batch({{"cache_id", json_array(arrow::uint64(), "[0, 1]")},
                          {"sample_id", json_array(arrow::uint64(), "[0, 1]")},
                          {"label", json_array(arrow::utf8(), R"(["a", "b"])")},
                          {"score", json_array(arrow::int64(), "[1, 2]")},
                          {"weight", json_array(arrow::float64(), "[1, 1]")}});
  auto nan = make_batch({{"cache_id", json_array(arrow::uint64(), "[0]")},
                         {"sample_id", json_array(arrow::uint64(), "[0]")},
                         {"label", json_array(arrow::utf8(), R"(["a"])")},
                         {"score", json_array(arrow::int64(), "[1]")},
                         {"weight", json_array(arrow::float64(), "[NaN]")}});
  EXPECT_EQ(extract_error(ipc_bytes(good->schema(), {good, nan})),
            "weight 2 must be positive and finite");

  // Tables without rows: no batch at all, or only empty ones.
  EXPECT_EQ(extract_error(ipc_bytes(good->schema(), {})),
            "metadata table must include at least one sample");
  EXPECT_EQ(extract_error(ipc_bytes(good->schema(), {good->Slice(0, 0)})),
            "metadata table must include at least one sample");
  auto partial = make_batch({{"cache_id", json_array(arrow::uint64(), "[]")}});
  EXPECT_EQ(extract_error(ipc_bytes(partial->schema(), {partial})),
            "samples metadata missing 'label' column");

  offsets_.pop_back();
  EXPECT_EQ(extract_error(with("cache_id", json_array(arrow::uint64(), "[1]"))),
            "cache offset is out of range");
}

TEST_F(TwoCaches, UnreadableOrCorruptedBytesAreArrowErrors) {
  auto valid = table_bytes({{"cache_id", json_array(arrow::uint64(), "[0, 1, 0]")},
                            {"sample_id", json_array(arrow::uint64(), "[2, 1, 0]")},
                            {"label", json_array(arrow::utf8(), R"(["a", "bb", "ccc"])")},
                            {"score", json_array(arrow::int64(), "[1, 2, 3]")},
                            {"weight", json_array(arrow::float64(), "[1, 2, 3]")}});
  ASSERT_EQ(extract_error(valid), "");
  auto batch = make_batch({{"cache_id", json_array(arrow::uint64(), "[0]")}});
  for (const auto& bytes : {std::vector<uint8_t>{},
                            std::vector<uint8_t>{'A', 'R', 'R', 'O', 'W', '1'},
                            ipc_bytes(batch->schema(), {batch}, /*stream=*/true)}) {
    EXPECT_TRUE(extract_error(bytes).starts_with("Arrow error: ")) << extract_error(bytes);
  }
  // Every single-byte corruption gives a result or an error, never a crash
  // or an out-of-bounds read (run under AddressSanitizer).
  for (size_t i = 0; i < valid.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      auto corrupted = valid;
      corrupted[i] ^= flip;
      auto table = extract(corrupted);
      if (table) {
        EXPECT_EQ(table->active->size(), table->weights.size());
      }
    }
  }
}

}  // namespace
}  // namespace zandrel
