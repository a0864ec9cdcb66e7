// The cache builder against a plain model: every file it writes is read back
// and compared with what the samples, the size limit and the compression
// setting say the cache must hold.
#include "zandrel/storage/builder.hpp"

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "zandrel/compression.hpp"
#include "zandrel/json.hpp"
#include "zandrel/storage/metadata_arrow.hpp"
#include "zandrel/worker_pool.hpp"

namespace zandrel::storage {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const ShardCompression kNone{CompressionAlgo::kNone, 1.0};
const ShardCompression kLz4{CompressionAlgo::kLz4, 1.5};

Bytes bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

// `n` bytes of a seeded pseudo-random sequence, so that no two chunks match.
Bytes noise(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

// Every regular file under `root` by its relative path, with its bytes.
std::map<std::string, std::string> files_under(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = read_file(entry.path());
  }
  return files;
}

std::string float_text(double value) {
  std::string text;
  json::write_float(text, value);
  return text;
}

CacheError arg(const std::string& message) { return CacheError::invalid_argument(message); }

// A sample record: the JSON length as u64 little-endian, the JSON, the payload.
std::string record(const std::string& json, std::string_view payload) {
  std::string out(8, '\0');
  out[0] = static_cast<char>(json.size());  // the JSON texts here are below 256 bytes
  return out + json + std::string(payload);
}

// One model sample: metadata {"id": id, "name": name}, compact JSON by hand.
struct Sample {
  int64_t id;
  std::string name;
  Bytes data;

  std::string json() const { return "{\"id\":" + std::to_string(id) + ",\"name\":\"" + name + "\"}"; }
};

// A scratch directory per test process (ctest runs each test on its own).
class BuilderTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::remove_all(dir_), fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  const fs::path dir_ = fs::temp_directory_path() / ("zandrel_builder_test_" + std::to_string(::getpid()));
};

// Writes the samples, then checks every file against the model: records back
// to back, a new shard when a non-empty one would pass the limit.
void write_and_check(const fs::path& root, const std::vector<Sample>& samples,
                     const ShardCompression& compression, uint64_t limit) {
  SCOPED_TRACE("limit " + std::to_string(limit) + ", " + std::string(to_string(compression.algo)));
  auto builder = CacheBuilder::create(root, "src", limit, compression).value();
  std::vector<std::string> shards{""};  // each shard's expected bytes
  std::vector<uint64_t> raw{0};         // each shard's data bytes
  std::string index;
  for (const Sample& s : samples) {
    auto stats = builder.push_sample(s.data, {{"id", s.id}, {"name", s.name}});
    ASSERT_TRUE(stats) << stats.error().message();
    const Bytes payload = *compression::compress_payload(s.data, compression);
    const std::string rec = record(s.json(), std::string(payload.begin(), payload.end()));
    if (!shards.back().empty() && shards.back().size() + rec.size() > limit) {
      shards.emplace_back();
      raw.push_back(0);
    }
    const auto row = encode_index_entry({shards.size() - 1, shards.back().size(), rec.size()});
    index.append(row.begin(), row.end());
    shards.back() += rec;
    raw.back() += s.data.size();
  }
  auto finished = std::move(builder).finish();
  ASSERT_TRUE(finished) << finished.error().message();
  const Manifest& manifest = finished->manifest;

  EXPECT_EQ(read_file(root / "index.bin"), index);
  ASSERT_EQ(manifest.shards.size(), shards.size());
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "shards"), {}), std::ssize(shards));
  for (size_t id = 0; id < shards.size(); ++id) {
    const fs::path path = root / "shards" / shard_file_name(id);
    EXPECT_EQ(read_file(path), shards[id]);
    EXPECT_EQ(manifest.shards[id], (ShardManifest{shard_file_name(id), raw[id], shards[id].size(),
                                                  compression, *hash_file(path)}));
  }
  EXPECT_EQ(manifest, (Manifest{MANIFEST_FORMAT_VERSION, "src", samples.size(),
                                {{"id", MetadataKind::kInt}, {"name", MetadataKind::kString}},
                                *hash_file(root / "metadata.arrow"), *hash_file(root / "index.bin"),
                                manifest.shards}));
  EXPECT_EQ(read_file(root / "manifest.json"), write_manifest_json(manifest));

  // metadata.arrow: one batch, non-nullable Int64 and Utf8 columns, row i = sample i.
  auto reader = arrow::ipc::RecordBatchFileReader::Open(
                    arrow::io::ReadableFile::Open((root / "metadata.arrow").string()).ValueOrDie())
                    .ValueOrDie();
  ASSERT_EQ(reader->num_record_batches(), 1);
  auto batch = reader->ReadRecordBatch(0).ValueOrDie();
  EXPECT_TRUE(batch->schema()->Equals(*arrow::schema({arrow::field("id", arrow::int64(), false),
                                                      arrow::field("name", arrow::utf8(), false)})));
  ASSERT_EQ(batch->num_rows(), std::ssize(samples));
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(static_cast<const arrow::Int64Array&>(*batch->column(0)).Value(i), samples[i].id);
    EXPECT_EQ(static_cast<const arrow::StringArray&>(*batch->column(1)).GetString(i), samples[i].name);
  }
}

TEST_F(BuilderTest, ShardRollOverMatchesModel) {
  // Equal-sized records, so two records' worth is exact: shards of 1, 2, 1.
  std::vector<Sample> equal;
  for (int64_t i = 0; i < 7; ++i) equal.push_back({i, "n", Bytes(100, static_cast<uint8_t>(i))});
  const uint64_t record_len = 8 + equal[0].json().size() + 100;
  for (uint64_t limit : {uint64_t{1}, 2 * record_len, 2 * record_len - 1}) {
    write_and_check(dir_ / ("equal" + std::to_string(limit)), equal, kNone, limit);
  }

  // Mixed sizes, records larger than the write buffer, a payload larger than
  // a shard chunk (the sink takes it whole), both algorithms.
  std::vector<Sample> mixed;
  for (int64_t i = 0; i < 9; ++i) {
    Bytes data(i == 6 ? kShardChunkSize + 3 : static_cast<size_t>((i * 7919) % 30000));
    std::iota(data.begin(), data.end(), static_cast<uint8_t>(i));
    mixed.push_back({i * 1000, std::string(static_cast<size_t>(i), 'q'), std::move(data)});
  }
  for (const ShardCompression& c : {kNone, kLz4}) {
    for (uint64_t limit : {uint64_t{1}, uint64_t{40000}, uint64_t{64} << 20}) {
      write_and_check(dir_ / (std::string(to_string(c.algo)) + std::to_string(limit)), mixed, c, limit);
    }
  }
}

TEST_F(BuilderTest, RecordBytesAndFilesOnDisk) {
  const fs::path root = dir_ / "nested" / "cache";  // parents are created
  auto builder = CacheBuilder::create(root, "s", 64ull << 20, kNone).value();
  EXPECT_EQ(builder.push_sample(bytes_of("abc"), {{"label", int64_t{3}}})->record_len, 22u);
  ASSERT_TRUE(builder.push_sample(bytes_of("defgh"), {{"label", int64_t{-12}}}));
  ASSERT_TRUE(builder.push_sample({}, {{"label", int64_t{0}}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(root), {}), 1);  // side files come at finish

  auto finished = std::move(builder).finish();
  ASSERT_TRUE(finished);
  EXPECT_EQ(read_file(root / "shards" / "000000.bin"),
            std::string("\x0B\0\0\0\0\0\0\0{\"label\":3}abc", 22) + record("{\"label\":-12}", "defgh") +
                record("{\"label\":0}", ""));
  EXPECT_EQ(finished->manifest.shards[0].uncompressed_byte_len, 8u);

  // Dropped unfinished: the pending record reaches the file, nothing else is
  // written. The JSON keys stand in byte order.
  {
    auto dropped = CacheBuilder::create(dir_ / "dropped", "s", 1, kNone).value();
    ASSERT_TRUE(dropped.push_sample(bytes_of("x"), {{"b", int64_t{1}}, {"a", true}}));
  }
  EXPECT_EQ(read_file(dir_ / "dropped" / "shards" / "000000.bin"), record("{\"a\":true,\"b\":1}", "x"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "dropped"), {}), 1);
}

TEST_F(BuilderTest, FailuresReportTheirErrors) {
  // create: anything at the path, or a path under a file.
  fs::create_directories(dir_ / "empty_dir");
  std::ofstream(dir_ / "file") << "x";
  for (const char* name : {"empty_dir", "file"}) {
    EXPECT_EQ(CacheBuilder::create(dir_ / name, "s", 1, kNone).error(),
              arg("cache path already exists: " + (dir_ / name).string()));
  }
  EXPECT_EQ(CacheBuilder::create(dir_ / "file" / "c", "s", 1, kNone).error().kind(), CacheError::Kind::kIo);

  // push_sample: the metadata checks in order, each leaving the builder unchanged.
  auto builder = CacheBuilder::create(dir_ / "c", "s", 1, kNone).value();
  ASSERT_TRUE(builder.push_sample(bytes_of("1"), {{"a", int64_t{1}}, {"b", 2.0}}));
  EXPECT_EQ(builder.push_sample({}, {{"a", int64_t{1}}}).error(),
            arg("metadata keys must be identical for every sample"));
  EXPECT_EQ(builder.push_sample({}, {{"a", int64_t{1}}, {"c", 2.0}}).error(), arg("metadata field 'b' is missing"));
  EXPECT_EQ(builder.push_sample({}, {{"a", int64_t{1}}, {"b", int64_t{2}}}).error(),
            arg("metadata field 'b' expected float, got int"));
  // A record's JSON has no form for a float that is not finite.
  for (auto [bad, shown] : {std::pair{NAN, "nan"}, {-NAN, "nan"}, {INFINITY, "inf"}, {-INFINITY, "-inf"}}) {
    EXPECT_EQ(builder.push_sample({}, {{"a", int64_t{1}}, {"b", bad}}).error(),
              arg(std::string("metadata field 'b' is ") + shown + ": float values must be finite"));
  }
  // The next shard cannot be opened: Io, and the sample is not taken.
  fs::create_directories(dir_ / "c" / "shards" / "000001.bin");
  EXPECT_EQ(builder.push_sample(bytes_of("2"), {{"a", int64_t{1}}, {"b", 2.0}}).error(), CacheError::io(EISDIR));
  EXPECT_EQ(builder.sample_count(), 1u);
  // finish: index.bin cannot be created, after metadata.arrow was written.
  fs::create_directories(dir_ / "c" / "index.bin");
  EXPECT_EQ(std::move(builder).finish().error(), CacheError::io(EISDIR));
  EXPECT_TRUE(fs::exists(dir_ / "c" / "metadata.arrow"));

  // No sample: the empty first shard stays behind.
  auto none = CacheBuilder::create(dir_ / "none", "s", 1, kNone).value();
  EXPECT_EQ(std::move(none).finish().error(), arg("cache source yielded no samples"));
  EXPECT_EQ(fs::file_size(dir_ / "none" / "shards" / "000000.bin"), 0u);

  // An empty schema takes only empty maps and fails at finish with an Arrow
  // error, after the last shard was written out and before metadata.arrow.
  auto empty = CacheBuilder::create(dir_ / "empty", "s", 1 << 20, kNone).value();
  ASSERT_TRUE(empty.push_sample(bytes_of("abc"), {}));
  ASSERT_TRUE(empty.push_sample(bytes_of("de"), {}));
  EXPECT_EQ(empty.push_sample({}, {{"k", true}}).error(), arg("metadata keys must be identical for every sample"));
  EXPECT_EQ(std::move(empty).finish().error().kind(), CacheError::Kind::kArrow);
  EXPECT_EQ(fs::file_size(dir_ / "empty" / "shards" / "000000.bin"), 2 * (8 + 2) + 5u);
  EXPECT_FALSE(fs::exists(dir_ / "empty" / "metadata.arrow"));

  // manifest.json cannot be created, after index.bin was written.
  auto last = CacheBuilder::create(dir_ / "last", "s", 1, kNone).value();
  ASSERT_TRUE(last.push_sample({}, {{"k", true}}));
  fs::create_directories(dir_ / "last" / "manifest.json");
  EXPECT_EQ(std::move(last).finish().error(), CacheError::io(EISDIR));
  EXPECT_TRUE(fs::exists(dir_ / "last" / "index.bin"));

  // The shard's raw byte sum overflows: the record is written, no entry made.
  auto shard = OpenShard::create(dir_ / "c", 7).value();
  ASSERT_TRUE(shard.write_payload(bytes_of("a"), bytes_of("b"), UINT64_MAX));
  EXPECT_EQ(shard.write_payload(bytes_of("cd"), {}, 1).error(), arg("shard uncompressed byte length overflowed u64"));
  EXPECT_EQ(shard.byte_len(), 4u);

  // The inner helpers' own contracts.
  EXPECT_EQ(metadata_row_to_object({{"a", MetadataKind::kInt}}, {}).error(),
            arg("metadata row length does not match schema"));
  const std::vector<MetadataRow> rows{{int64_t{1}}, {true}};
  EXPECT_EQ(build_array(rows, 0, MetadataKind::kInt).error(), arg("metadata kind drifted"));
  EXPECT_EQ(build_array(rows, 1, MetadataKind::kInt).error(), arg("metadata column is out of range"));
}

// The builder with the runtime's pool: the shard sinks write and hash there.
class BuilderConcurrentTest : public BuilderTest {};

TEST_F(BuilderConcurrentTest, ARefusedFloatLeavesABuildThatDropsCleanly) {
  auto pool = WorkerPool::create(2).value();
  // Refused as the first sample, it fixes no schema.
  {
    auto first = CacheBuilder::create(dir_ / "first", "s", 1 << 20, kLz4, pool).value();
    EXPECT_EQ(first.push_sample(bytes_of("x"), {{"f", INFINITY}}).error().kind(),
              CacheError::Kind::kInvalidArgument);
    ASSERT_TRUE(first.push_sample(bytes_of("y"), {{"g", 0.5}}));
    EXPECT_EQ(first.metadata_schema(), (MetadataSchema{{"g", MetadataKind::kFloat}}));
  }
  // Refused after records over several shards, some still being written:
  // dropped, the shards hold exactly the records taken, and nothing else is
  // written.
  std::vector<std::string> records;
  {
    auto builder = CacheBuilder::create(dir_ / "c", "s", 300, kNone, pool).value();
    for (int64_t i = 0; i < 20; ++i) {
      const Bytes data = noise(static_cast<size_t>(50 + i * 7), static_cast<uint32_t>(i));
      ASSERT_TRUE(builder.push_sample(data, {{"f", static_cast<double>(i) / 8}}));
      records.push_back(record("{\"f\":" + float_text(static_cast<double>(i) / 8) + "}",
                               std::string(data.begin(), data.end())));
    }
    EXPECT_FALSE(builder.push_sample(bytes_of("bad"), {{"f", NAN}}));
    EXPECT_EQ(builder.sample_count(), 20u);
  }
  std::string shards;
  for (const auto& [name, bytes] : files_under(dir_ / "c")) {
    EXPECT_TRUE(name.starts_with("shards/")) << name;
    shards += bytes;
  }
  EXPECT_EQ(shards, std::accumulate(records.begin(), records.end(), std::string()));
  EXPECT_GT(fs::remove_all(dir_ / "c"), 0u);
}

TEST_F(BuilderConcurrentTest, PoolWritesTheSameBytesAsInline) {
  // Records of many sizes cross chunk boundaries, and every fifth is larger
  // than a chunk (it travels whole). The large limit gives one shard of more
  // chunks than may be in flight; the small one rolls over every few chunks.
  std::vector<Sample> samples;
  for (int64_t i = 0; i < 16; ++i) {
    const size_t size = i % 5 == 4 ? kShardChunkSize + 1000 * static_cast<size_t>(i)
                                   : static_cast<size_t>(i * 104729) % 300000;
    samples.push_back({i, "n", noise(size, static_cast<uint32_t>(i))});
  }
  auto pool = WorkerPool::create(3).value();
  for (uint64_t limit : {uint64_t{64} << 20, uint64_t{3} << 19}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    std::optional<Manifest> manifests[2];
    std::map<std::string, std::string> files[2];
    for (int pooled = 0; pooled < 2; ++pooled) {
      const fs::path root = dir_ / (std::to_string(limit) + (pooled ? "pool" : "inline"));
      auto builder = CacheBuilder::create(root, "src", limit, kNone, pooled ? pool : nullptr).value();
      for (const Sample& s : samples) {
        ASSERT_TRUE(builder.push_sample(s.data, {{"id", s.id}, {"name", s.name}}));
      }
      auto finished = std::move(builder).finish();
      ASSERT_TRUE(finished) << finished.error().message();
      for (const ShardManifest& shard : finished->manifest.shards) {
        EXPECT_EQ(shard.sha256, *hash_file(root / "shards" / shard.name)) << shard.name;
      }
      manifests[pooled] = std::move(finished->manifest);
      files[pooled] = files_under(root);
    }
    EXPECT_EQ(manifests[0]->shards.size() > 1, limit < kShardChunkSize * 2);
    EXPECT_EQ(manifests[0], manifests[1]);
    ASSERT_EQ(files[0].size(), files[1].size());
    for (const auto& [name, bytes] : files[0]) EXPECT_TRUE(files[1][name] == bytes) << name;
  }
}

TEST_F(BuilderConcurrentTest, AFailedWriteIsReportedAsIo) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // Shard 1 lies on a full device, and its two records stay pending until
  // the roll-over hands them off. The ENOSPC comes back from that push
  // (inline) or from a later one, once shard 1 is done behind shard 2.
  auto pool = WorkerPool::create(2).value();
  for (const std::shared_ptr<WorkerPool>& p : {std::shared_ptr<WorkerPool>(), pool}) {
    const fs::path root = dir_ / (p ? "pool" : "inline");
    auto builder = CacheBuilder::create(root, "s", 600 << 10, kNone, p).value();
    fs::create_symlink("/dev/full", root / "shards" / shard_file_name(1));
    std::optional<CacheError> error;
    for (int64_t i = 0; i < 24 && !error; ++i) {  // shards of two records
      if (auto pushed = builder.push_sample(Bytes(250 << 10, 1), {{"i", i}}); !pushed) {
        error = pushed.error();
      }
    }
    if (!error) {
      if (auto finished = std::move(builder).finish(); !finished) error = finished.error();
    }
    EXPECT_EQ(error, CacheError::io(ENOSPC)) << root;
  }
}

// The descriptors this process holds open on files under `root`.
int open_files_under(const fs::path& root) {
  int count = 0;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (!ec && target.starts_with(root.string() + "/")) ++count;
  }
  return count;
}

// In a child process: writes 31 records of 100 KiB under a 2.5 MiB per-file
// limit into shards of 3 MiB on a pool of one worker, then finishes. Shard 0
// passes the limit: its closing write fails on the pool after the roll-over,
// with the 31st record pending in shard 1. Reports the error and the
// descriptors still open under the build on stderr.
[[noreturn]] void finish_past_file_size_limit() {
  const fs::path root = fs::canonical(fs::temp_directory_path()) /
                        ("zandrel_limited_" + std::to_string(::getpid()));
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{5 << 19, 5 << 19};
  setrlimit(RLIMIT_FSIZE, &limit);
  auto builder = CacheBuilder::create(root, "a", 3 << 20, kNone, WorkerPool::create(1).value());
  for (int64_t i = 0; i < 31; ++i) {
    if (!builder->push_sample(Bytes(100 << 10), {{"i", i}})) std::exit(2);
  }
  auto finished = std::move(*builder).finish();
  std::cerr << (finished ? "finished" : finished.error().to_string()) << "; open "
            << open_files_under(root) << " files\n";
  fs::remove_all(root);
  std::exit(0);
}

TEST(BuilderFinishConcurrentTest, AFailedFinishLeavesNoShardOpen) {
  // The caller removes the build directory next: no shard may stay open in it.
  // The child is a fresh run of this test (the pool's threads after a bare
  // fork would upset ThreadSanitizer).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(finish_past_file_size_limit(),
              ::testing::ExitedWithCode(0), "File too large.*; open 0 files");
}

TEST_F(BuilderConcurrentTest, DroppingWaitsForTheWritesInFlight) {
  // Both workers are held, so the shard's jobs wait in the pool's queue.
  auto pool = WorkerPool::create(2).value();
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(pool->run_detached([opened]() noexcept { opened.wait(); }));

  std::optional<CacheBuilder> builder = CacheBuilder::create(dir_ / "c", "s", 64 << 20, kNone, pool).value();
  std::string expected;
  for (int64_t i = 0; i < 14; ++i) {  // three chunks handed off, half a chunk pending
    const Bytes data = noise(256 << 10, static_cast<uint32_t>(i));
    ASSERT_TRUE(builder->push_sample(data, {{"i", i}}));
    expected += record("{\"i\":" + std::to_string(i) + "}", std::string(data.begin(), data.end()));
  }
  auto dropped = std::async(std::launch::async, [&builder] { builder.reset(); });
  EXPECT_EQ(dropped.wait_for(100ms), std::future_status::timeout);
  gate.set_value();
  dropped.get();
  // Everything pushed is in the file once the drop returns; nothing else was written.
  EXPECT_TRUE(read_file(dir_ / "c" / "shards" / "000000.bin") == expected);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "c"), {}), 1);
}

}  // namespace
}  // namespace zandrel::storage
