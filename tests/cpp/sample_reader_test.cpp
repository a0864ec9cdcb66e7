// Reading samples back: round trips against the samples written, the checks
// of a record in their order, the per-thread reader cache's eviction, and many
// threads reading one cache.
#include <dirent.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "zandrel/storage/builder.hpp"
#include "zandrel/storage/loader.hpp"

namespace zandrel::storage {
namespace {

namespace fs = std::filesystem;

struct Sample {
  std::vector<uint8_t> data;
  MetadataMap metadata;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
void spit(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

size_t open_fd_count() {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Samples with every kind of field; data of assorted sizes, empty included.
std::vector<Sample> make_samples(size_t count, size_t big_at = SIZE_MAX) {
  std::mt19937 rng(7);
  std::vector<Sample> samples;
  for (size_t i = 0; i < count; ++i) {
    size_t len = i == big_at ? 2u << 20 : (i * 37) % 300;
    std::vector<uint8_t> data(len);
    for (size_t j = 0; j < len; ++j) data[j] = static_cast<uint8_t>(j % 13 == 0 ? rng() : j / 64);
    samples.push_back({std::move(data),
                       {{"flag", i % 2 == 0},
                        {"label", static_cast<int64_t>(i) - 3},
                        {"name", std::string("s\t\"") + std::to_string(i)},
                        {"score", 0.1 * static_cast<double>(i)}}});
  }
  return samples;
}

class SampleReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::path(::testing::TempDir()) / ("reader_test_" + std::to_string(::getpid()));
    fs::remove_all(base_);
  }
  void TearDown() override { fs::remove_all(base_); }

  Manifest build(const std::string& name, const std::vector<Sample>& samples,
                 uint64_t max_shard_bytes, CompressionAlgo algo = CompressionAlgo::kNone) {
    auto builder = CacheBuilder::create(base_ / name, "src", max_shard_bytes,
                                        *ShardCompression::create(algo, 1.0));
    for (const Sample& s : samples) EXPECT_TRUE(builder->push_sample(s.data, s.metadata));
    return std::move(*builder).finish()->manifest;
  }

  std::shared_ptr<const LoadedCache> load(const std::string& name, bool validate) {
    auto cache = load_cache(base_ / name, validate);
    EXPECT_TRUE(cache) << cache.error().to_string();
    return std::make_shared<const LoadedCache>(std::move(*cache));
  }

  fs::path base_;
};

void expect_sample(const LoadedCache& cache, size_t i, const Sample& want,
                   ShardReaderCache& readers) {
  auto got = cache.read_sample_with_cache(i, readers);
  ASSERT_TRUE(got) << i << ": " << got.error().to_string();
  EXPECT_EQ(got->data, want.data) << i;
  MetadataRow row;
  for (const auto& [key, value] : want.metadata) row.push_back(value);
  EXPECT_EQ(got->metadata, row) << i;
  EXPECT_EQ(got->sample_index, i);
}

TEST_F(SampleReaderTest, RoundTripsAtBothDepths) {
  const std::vector<Sample> samples = make_samples(9, /*big_at=*/4);
  for (CompressionAlgo algo : {CompressionAlgo::kNone, CompressionAlgo::kLz4}) {
    const std::string probe = "probe" + std::string(to_string(algo));
    build(probe, samples, 64 << 20, algo);
    const auto probed = load(probe, false);
    const uint64_t two_records = probed->index[0].length + probed->index[1].length;

    for (uint64_t limit : {uint64_t{1}, two_records, uint64_t{64} << 20}) {
      const std::string name = std::string(to_string(algo)) + std::to_string(limit);
      Manifest m = build(name, samples, limit, algo);
      EXPECT_EQ(m.shards.size(), limit == 1 ? 9u : limit == two_records ? m.shards.size() : 1u);
      if (limit == two_records) {
        const auto cache = load(name, false);
        EXPECT_EQ(cache->index[1].shard_id, 0u);
        EXPECT_EQ(cache->index[2].shard_id, 1u);
      }
      for (bool validate : {false, true}) {
        auto cache = load(name, validate);
        ShardReaderCache readers;
        for (size_t i = samples.size(); i-- > 0;) expect_sample(*cache, i, samples[i], readers);
        auto past = cache->read_sample_with_cache(9, readers);
        ASSERT_FALSE(past);
        EXPECT_EQ(past.error().to_string(), "sample index 9 is out of range");
      }
    }
  }
}

// A cache whose one shard holds the given records under the given index rows.
TEST_F(SampleReaderTest, RecordChecksInOrder) {
  const auto record = [](uint64_t m, std::string json, std::string payload) {
    std::string r(8, '\0');
    for (int b = 0; b < 8; ++b) r[b] = static_cast<char>(m >> (8 * b));
    return r + json + payload;
  };
  struct Case {
    std::string bytes;
    uint64_t offset, length;
    std::string error;  // "" for success
  };
  const std::string good = record(11, R"({"label":3})", "abc");
  const std::vector<Case> cases = {
      {good, 0, 22, ""},
      {good, 0, 0, "invalid binary record"},
      {good, 0, 5, "invalid binary record"},
      {good, 0, 23, "invalid binary record"},         // past the shard's end
      {good, 20, 1ull << 63, "invalid binary record"},  // could not be allocated
      {good, 22, 0, "invalid binary record"},
      {std::string(8, '\xFF') + "xyz", 0, 11, "metadata record length overflowed"},
      {record(12, R"({"label":3})", ""), 0, 19, "invalid binary record"},
      {record(0, "", "abc"), 0, 11, "JSON error"},
      {record(17, R"({"label":3,"x":1})", ""), 0, 25, "embedded metadata keys do not match schema"},
      {record(9, R"({"lbl":3})", ""), 0, 17, "embedded metadata field 'label' is missing"},
      {record(13, R"({"label":3.0})", ""), 0, 21,
       "embedded metadata field 'label' expected int, got float"},
  };
  build("c", {Sample{{1}, {{"label", int64_t{3}}}}}, 64);
  for (const Case& c : cases) {
    spit(base_ / "c/shards/000000.bin", c.bytes);
    std::string row(24, '\0');
    for (int b = 0; b < 8; ++b) {
      row[8 + b] = static_cast<char>(c.offset >> (8 * b));
      row[16 + b] = static_cast<char>(c.length >> (8 * b));
    }
    spit(base_ / "c/index.bin", row);
    Manifest m = *parse_manifest_json(slurp(base_ / "c/manifest.json"));
    m.shards[0].byte_len = c.bytes.size();
    spit(base_ / "c/manifest.json", write_manifest_json(m));

    ShardReaderCache readers;
    auto got = load("c", false)->read_sample_with_cache(0, readers);
    SCOPED_TRACE(c.error);
    if (c.error.empty()) {
      ASSERT_TRUE(got) << got.error().to_string();
      EXPECT_EQ(got->data, (std::vector<uint8_t>{'a', 'b', 'c'}));
      EXPECT_EQ(got->metadata, (MetadataRow{int64_t{3}}));
    } else {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error().to_string().substr(0, c.error.size()), c.error);
    }
  }

  // An empty payload reads as empty data under "none", and fails under "lz4".
  spit(base_ / "c/shards/000000.bin", record(11, R"({"label":3})", ""));
  Manifest m = *parse_manifest_json(slurp(base_ / "c/manifest.json"));
  m.shards[0].byte_len = 19;
  m.shards[0].compression.algo = CompressionAlgo::kLz4;
  spit(base_ / "c/manifest.json", write_manifest_json(m));
  spit(base_ / "c/index.bin", std::string(16, '\0') + std::string("\x13\0\0\0\0\0\0\0", 8));
  ShardReaderCache readers;
  auto got = load("c", false)->read_sample_with_cache(0, readers);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string().rfind("failed to decompress lz4 payload: ", 0), 0u);
}

TEST_F(SampleReaderTest, EmbeddedMetadataIsComparedOnlyWhenValidated) {
  build("c", {Sample{{1, 2}, {{"label", int64_t{3}}}}}, 64);
  std::string shard = slurp(base_ / "c/shards/000000.bin");
  shard[8 + 9] = '4';  // {"label":3} -> {"label":4}
  spit(base_ / "c/shards/000000.bin", shard);
  Manifest m = *parse_manifest_json(slurp(base_ / "c/manifest.json"));
  m.shards[0].sha256 = *hash_file(base_ / "c/shards/000000.bin");
  spit(base_ / "c/manifest.json", write_manifest_json(m));

  ShardReaderCache readers;
  expect_sample(*load("c", false), 0, Sample{{1, 2}, {{"label", int64_t{4}}}}, readers);
  auto got = load("c", true)->read_sample_with_cache(0, readers);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string(),
            "embedded metadata does not match metadata.arrow for sample 0");
}

TEST_F(SampleReaderTest, ReaderCacheClosesLeastRecentlyUsed) {
  const std::vector<Sample> samples = make_samples(70);
  build("many", samples, 1);  // one shard per sample
  auto cache = load("many", false);
  const auto& files = cache->shard_files;
  const size_t base_fds = open_fd_count();
  {
    ShardReaderCache readers;
    for (size_t i = 0; i < 65; ++i) {
      expect_sample(*cache, i, samples[i], readers);
      EXPECT_LE(open_fd_count(), base_fds + 64);
    }
    EXPECT_FALSE(readers.is_open(files[0].path));
    EXPECT_TRUE(readers.is_open(files[1].path));
    expect_sample(*cache, 0, samples[0], readers);  // reopens 0, closes 1
    EXPECT_FALSE(readers.is_open(files[1].path));
    EXPECT_EQ(readers.open_count(), 64u);
    // Redundant separators name the same reader.
    ASSERT_TRUE(readers.get_or_open(files[2].path.parent_path().string() + "//./" +
                                    files[2].path.filename().string()));
    EXPECT_EQ(readers.open_count(), 64u);
  }
  EXPECT_EQ(open_fd_count(), base_fds);

  ShardReaderCache readers;  // A, B, A, then 63 new: B goes first
  for (size_t i : {0, 1, 0}) expect_sample(*cache, i, samples[i], readers);
  for (size_t i = 2; i < 65; ++i) expect_sample(*cache, i, samples[i], readers);
  EXPECT_TRUE(readers.is_open(files[0].path));
  EXPECT_FALSE(readers.is_open(files[1].path));

  // A deleted shard still reads through an open reader, and fails when not open.
  fs::remove(files[64].path);
  fs::remove(files[65].path);
  expect_sample(*cache, 64, samples[64], readers);
  auto gone = cache->read_sample_with_cache(65, readers);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().kind(), CacheError::Kind::kIo);
}

TEST_F(SampleReaderTest, ReplacedCacheIsNotReadThroughStaleReaders) {
  const auto first = make_samples(2), second = make_samples(3);
  build("c", first, 1 << 20);
  ShardReaderCache readers;
  expect_sample(*load("c", false), 1, first[1], readers);
  fs::remove_all(base_ / "c");
  build("c", {second[2], second[0]}, 1 << 20);
  expect_sample(*load("c", false), 0, second[2], readers);
}

// Eight threads read one shared cache at once, each through its own
// thread-local reader cache, and all see the same samples.
class ConcurrentReadTest : public SampleReaderTest {};

TEST_F(ConcurrentReadTest, EightThreadsSeeIdenticalSamples) {
  const std::vector<Sample> samples = make_samples(120);
  build("shared", samples, 4096);
  for (bool validate : {false, true}) {
    auto cache = load("shared", validate);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (size_t k = 0; k < samples.size() * 2; ++k) {
          size_t i = (k * (2 * t + 1) + t) % samples.size();
          expect_sample(*cache, i, samples[i], thread_shard_readers());
        }
      });
    }
    for (auto& th : threads) th.join();
  }
}

}  // namespace
}  // namespace zandrel::storage
