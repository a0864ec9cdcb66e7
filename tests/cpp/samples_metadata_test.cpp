#include "zandrel/samples_metadata.hpp"

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/api.h>
#include <arrow/json/from_string.h>
#include <arrow/util/compression.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "zandrel/storage/builder.hpp"
#include "zandrel/storage/loader.hpp"

namespace zandrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// One column of a test batch; a null type leaves the column out.
struct Column { std::string name; std::shared_ptr<arrow::DataType> type; std::string json; };

const MetadataSchema kFields = {{"label", MetadataKind::kString}, {"score", MetadataKind::kInt}};

std::shared_ptr<arrow::RecordBatch> make_batch(const std::vector<Column>& columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (const Column& c : columns) {
    if (!c.type) continue;
    fields.push_back(arrow::field(c.name, c.type));
    arrays.push_back(arrow::json::ArrayFromJSONString(c.type, c.json).ValueOrDie());
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), arrays.at(0)->length(), arrays);
}

// IPC file bytes of the batches; the schema is the first batch's unless given.
Bytes ipc(const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches,
          std::shared_ptr<arrow::Schema> schema = nullptr, arrow::ipc::IpcWriteOptions options = {}) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeFileWriter(sink, schema ? schema : batches[0]->schema(), options).ValueOrDie();
  for (const auto& batch : batches) EXPECT_TRUE(writer->WriteRecordBatch(*batch).ok());
  EXPECT_TRUE(writer->Close().ok());
  auto buffer = sink->Finish().ValueOrDie();
  return {buffer->data(), buffer->data() + buffer->size()};
}

// Two caches of 3 and 2 samples written by the cache builder.
class SamplesMetadata : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("zandrel_samples_metadata_" + std::to_string(getpid()));
    fs::remove_all(root_);
    for (auto [name, count] : {std::pair{"a", 3}, std::pair{"b", 2}}) {
      auto builder = storage::CacheBuilder::create(root_ / name, name, 1 << 20, {}).value();
      for (int64_t i = 0; i < count; ++i)
        ASSERT_TRUE(builder.push_sample({1}, {{"label", std::string(name)}, {"score", i}}));
      ASSERT_TRUE(std::move(builder).finish());
      caches_.push_back(std::make_shared<const storage::LoadedCache>(
          storage::load_cache(root_ / name, /*validate=*/false).value()));
    }
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string error_of(const Bytes& bytes) {
    auto table = samples_metadata::extract_metadata_ipc(bytes, caches_, offsets_, kFields);
    return table ? "" : table.error().to_string();
  }

  fs::path root_;
  LoadedCaches caches_;
  std::vector<size_t> offsets_ = {0, 3};
};

// A valid one-row table naming sample 1 of cache 1.
const std::vector<Column> kRow = {
    {"cache_id", arrow::uint64(), "[1]"}, {"sample_id", arrow::uint64(), "[1]"},
    {"label", arrow::utf8(), R"(["a"])"}, {"score", arrow::int64(), "[1]"},
    {"weight", arrow::float64(), "[0.5]"}};

TEST_F(SamplesMetadata, HostTableIsCheckedInOrder) {
  // kRow with columns replaced (a null type drops one), in the order of the
  // checks: per batch the fields, then the identity and weight columns; per
  // row the identities, the weight, the identity lookup; last the weights.
  const std::vector<std::pair<std::vector<Column>, std::string>> cases = {
      {{{"label", arrow::utf8_view(), R"(["x"])"}, {"weight", arrow::float32(), "[2]"}}, ""},
      {{{"label", arrow::large_utf8(), R"(["x"])"}, {"sample_id", arrow::int32(), "[1]"}}, ""},
      {{{"label", nullptr, ""}, {"weight", nullptr, ""}}, "samples metadata missing 'label' column"},
      {{{"score", arrow::int32(), "[0]"}}, "samples metadata column 'score' must have Arrow type Int64"},
      {{{"cache_id", nullptr, ""}}, "samples metadata missing 'cache_id' column"},
      {{{"sample_id", nullptr, ""}, {"weight", nullptr, ""}}, "samples metadata missing 'sample_id' column"},
      {{{"weight", nullptr, ""}, {"cache_id", arrow::int16(), "[0]"}}, "samples metadata missing 'weight' column"},
      {{{"cache_id", arrow::int16(), "[null]"}}, "samples metadata column 'cache_id' contains null"},
      {{{"cache_id", arrow::float64(), "[0]"}}, "samples metadata column 'cache_id' must be an integer"},
      {{{"cache_id", arrow::int64(), "[-1]"}, {"sample_id", arrow::int8(), "[0]"}},
       "samples metadata column 'cache_id' must be non-negative"},
      {{{"weight", arrow::float64(), "[null]"}, {"cache_id", arrow::uint64(), "[9]"}},
       "samples metadata column 'weight' contains null"},
      {{{"weight", arrow::float16(), "[1]"}, {"cache_id", arrow::uint64(), "[9]"}},
       "samples metadata column 'weight' must be numeric"},
      {{{"cache_id", arrow::uint32(), "[2]"}}, "unknown samples metadata row identity cache_id=2 sample_id=1"},
      {{{"sample_id", arrow::uint64(), "[2]"}}, "unknown samples metadata row identity cache_id=1 sample_id=2"},
      {{{"weight", arrow::int64(), "[0]"}}, "weight 0 must be positive and finite"},
  };
  for (const auto& [changes, message] : cases) {
    std::vector<Column> columns = kRow;
    for (const Column& change : changes) {
      for (Column& column : columns) column = column.name == change.name ? change : column;
    }
    EXPECT_EQ(error_of(ipc({make_batch(columns)})), message) << message;
  }
  // The bad weight is named by its position over the whole table.
  auto row = make_batch(kRow);
  auto nan = make_batch({kRow[0], kRow[1], kRow[2], kRow[3], {"weight", arrow::float64(), "[NaN]"}});
  EXPECT_EQ(error_of(ipc({row, row, nan})), "weight 2 must be positive and finite");
  // Without rows: no batch at all (even with columns missing), or empty batches.
  auto partial = make_batch({kRow[0]});
  EXPECT_EQ(error_of(ipc({}, partial->schema())), "metadata table must include at least one sample");
  EXPECT_EQ(error_of(ipc({row->Slice(0, 0)})), "metadata table must include at least one sample");
  EXPECT_EQ(error_of(ipc({partial->Slice(0, 0)})), "samples metadata missing 'label' column");
  offsets_ = {0, SIZE_MAX};
  EXPECT_EQ(error_of(ipc({row})), "physical weight index overflowed usize");
  offsets_ = {0};
  EXPECT_EQ(error_of(ipc({row})), "cache offset is out of range");
}

TEST_F(SamplesMetadata, UnreadableOrCorruptedBytesAreArrowErrors) {
  auto row = make_batch(kRow);
  Bytes valid = ipc({row, row});
  ASSERT_EQ(error_of(valid), "");
  arrow::ipc::IpcWriteOptions lz4;
  lz4.codec = arrow::util::Codec::Create(arrow::Compression::LZ4_FRAME).ValueOrDie();
  auto weight = row->column(4)->data()->Copy();
  weight->length = 2;  // two rows over one value: only Arrow's validation sees it
  auto stretched = arrow::ConcatenateRecordBatches({row, row}).ValueOrDie();
  stretched = stretched->SetColumn(4, row->schema()->field(4), arrow::MakeArray(weight)).ValueOrDie();
  // Empty, a bare magic, a file without its footer, compressed buffers, a
  // weight buffer shorter than its column.
  for (const Bytes& bytes : {Bytes{}, Bytes{'A', 'R', 'R', 'O', 'W', '1'}, Bytes(valid.begin(), valid.end() - 9),
                             ipc({row}, nullptr, lz4), ipc({stretched})}) {
    EXPECT_TRUE(error_of(bytes).starts_with("Arrow error: ")) << error_of(bytes);
  }
  // Every single-byte corruption gives a table or an error, never a crash or
  // a read outside the bytes (run under AddressSanitizer).
  auto flipped = [&](size_t i, uint8_t bits) { Bytes b = valid; b[i] ^= bits; return b; };
  for (size_t i = 0; i < valid.size(); ++i)
    for (uint8_t bits : {0x01, 0x80, 0xFF}) error_of(flipped(i, bits));
}

// Bytes the default Arrow pool hands out while `run` runs: the identity and
// weight arrays of a built table come from it.
template <typename Run>
int64_t arrow_bytes_during(Run run) {
  const int64_t before = arrow::default_memory_pool()->total_bytes_allocated();
  run();
  return arrow::default_memory_pool()->total_bytes_allocated() - before;
}

TEST_F(SamplesMetadata, BuildRefusesClaimedRowsBeforeAllocatingForThem) {
  // A metadata.arrow claiming 2^24 rows for cache "b" of 2 samples, in a
  // small file: Null columns carry no buffer, a Boolean column one bit a row.
  // The build must refuse it with the usual message without first making
  // identities for every claimed row (128 MiB an array).
  constexpr int64_t kRows = int64_t{1} << 24;
  auto replace_metadata = [&](const arrow::FieldVector& fields, const arrow::ArrayVector& arrays) {
    auto batch = arrow::RecordBatch::Make(arrow::schema(fields), kRows, arrays);
    ASSERT_TRUE(batch->ValidateFull().ok());
    Bytes bytes = ipc({batch});
    std::ofstream(root_ / "b" / "metadata.arrow", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  auto build_error = [&](const LoadedCaches& caches, const MetadataSchema& fields) {
    std::string error;
    const int64_t allocated = arrow_bytes_during([&] {
      auto built = samples_metadata::build_samples_metadata_ipc(caches, offsets_, fields);
      error = built ? "" : built.error().to_string();
    });
    EXPECT_LT(allocated, kRows) << error;
    return error;
  };

  auto nulls = std::make_shared<arrow::NullArray>(kRows);
  replace_metadata({arrow::field("label", arrow::null()), arrow::field("score", arrow::null())},
                   {nulls, nulls});
  EXPECT_EQ(build_error(caches_, kFields), "metadata column 'label' does not match manifest schema");

  auto flags = arrow::MakeArrayFromScalar(arrow::BooleanScalar(false), kRows).ValueOrDie();
  replace_metadata({arrow::field("flag", arrow::boolean())}, {flags});
  offsets_ = {0};
  EXPECT_EQ(build_error({caches_[1]}, {{"flag", MetadataKind::kBool}}),
            "metadata row count for cache 0 expected 2, got 16777216");
}

}  // namespace
}  // namespace zandrel
