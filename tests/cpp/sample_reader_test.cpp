// Reading samples back: the per-thread reader cache's eviction, and round
// trips on many threads at once.
#include <unistd.h>

#include <filesystem>
#include <iterator>
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

size_t open_fd_count() {
  return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// All four kinds of field; sample 0 has empty data, sample `big_at` 2 MiB.
std::vector<Sample> make_samples(size_t count, size_t big_at = SIZE_MAX) {
  std::vector<Sample> samples;
  for (size_t i = 0; i < count; ++i) {
    std::vector<uint8_t> data(i == big_at ? 2u << 20 : i * 37 % 300);
    for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<uint8_t>(j * j % 251 + j / 64);
    samples.push_back({std::move(data),
                       {{"flag", i % 2 == 0}, {"label", int64_t(i) - 3},
                        {"name", "s\t\"" + std::to_string(i)}, {"score", 0.1 * i}}});
  }
  return samples;
}

void expect_sample(const LoadedCache& cache, size_t i, const Sample& want,
                   ShardReaderCache& readers) {
  auto got = cache.read_sample_with_cache(i, readers);
  ASSERT_TRUE(got) << i << ": " << got.error().to_string();
  MetadataRow row;
  for (const auto& [key, value] : want.metadata) row.push_back(value);
  EXPECT_TRUE(got->data == want.data && got->metadata == row && got->sample_index == i) << i;
}

class SampleReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(base_); }

  // Writes cache `name` from `samples` and opens it.
  LoadedCache build(const std::string& name, const std::vector<Sample>& samples, uint64_t limit,
                    CompressionAlgo algo = CompressionAlgo::kNone, bool validate = false) {
    auto builder = CacheBuilder::create(base_ / name, "src", limit, {algo, 1.0});
    for (const Sample& s : samples) EXPECT_TRUE(builder->push_sample(s.data, s.metadata));
    EXPECT_TRUE(std::move(*builder).finish());
    auto cache = load_cache(base_ / name, validate);
    EXPECT_TRUE(cache) << cache.error().to_string();
    return std::move(cache).value();
  }

  const fs::path base_ = fs::path(::testing::TempDir()) / ("reader_" + std::to_string(getpid()));
};

TEST_F(SampleReaderTest, ReaderCacheClosesLeastRecentlyUsed) {
  const std::vector<Sample> samples = make_samples(65);
  const LoadedCache cache = build("many", samples, 1);  // one shard per sample
  const auto& files = cache.shard_files;
  const size_t base_fds = open_fd_count();
  {
    ShardReaderCache readers;
    for (size_t i = 0; i < 65; ++i) expect_sample(cache, i, samples[i], readers);
    EXPECT_EQ(open_fd_count(), base_fds + 64);
    EXPECT_FALSE(readers.is_open(files[0].path));
    EXPECT_TRUE(readers.is_open(files[1].path.parent_path() / "." / files[1].path.filename()));
  }

  ShardReaderCache readers;  // A, B, A, then 63 new: B goes first
  for (size_t i : {0, 1, 0}) expect_sample(cache, i, samples[i], readers);
  for (size_t i = 2; i < 65; ++i) expect_sample(cache, i, samples[i], readers);
  EXPECT_TRUE(readers.is_open(files[0].path));
  EXPECT_FALSE(readers.is_open(files[1].path));
}

// A cache removed and written again at the same path is not read through the
// readers still open on the old files.
TEST_F(SampleReaderTest, ReplacedCacheIsNotReadThroughStaleReaders) {
  const auto samples = make_samples(3);
  ShardReaderCache readers;
  expect_sample(build("c", {samples[1]}, 64), 0, samples[1], readers);
  fs::remove_all(base_ / "c");
  expect_sample(build("c", {samples[2]}, 64), 0, samples[2], readers);
}

// Round trips at both depths, with one shard and with many, each cache read by
// eight threads at once through their own thread-local reader caches.
class ConcurrentReadTest : public SampleReaderTest {};

TEST_F(ConcurrentReadTest, RoundTripsOnEightThreads) {
  const std::vector<Sample> samples = make_samples(24, /*big_at=*/4);
  for (CompressionAlgo algo : {CompressionAlgo::kNone, CompressionAlgo::kLz4}) {
    for (uint64_t limit : {uint64_t{1}, uint64_t{64} << 20}) {
      for (bool validate : {false, true}) {
        const std::string name =
            std::string(to_string(algo)) + std::to_string(limit) + (validate ? "v" : "");
        const LoadedCache cache = build(name, samples, limit, algo, validate);
        EXPECT_EQ(cache.manifest.shards.size(), limit == 1 ? 24u : 1u);
        std::vector<std::jthread> threads;
        for (size_t t = 0; t < 8; ++t) {
          threads.emplace_back([&, t] {
            for (size_t k = 0; k < samples.size(); ++k) {
              const size_t i = (k * (2 * t + 1) + t) % samples.size();
              expect_sample(cache, i, samples[i], thread_shard_readers());
            }
          });
        }
        threads.clear();  // joins
      }
    }
  }
}

}  // namespace
}  // namespace zandrel::storage
