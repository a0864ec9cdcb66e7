#include "zandrel/dataset_load.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <limits>
#include <thread>

#include "zandrel/storage/builder.hpp"

namespace zandrel::dataset {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Caches of `id` (int) and `tag` (string) built under a fresh directory.
class DatasetLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("zandrel_dataset_load_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string make_cache(const std::string& name, int samples) {
    fs::path path = dir_ / name;
    auto builder = storage::CacheBuilder::create(path, name, 1 << 20, ShardCompression{});
    EXPECT_TRUE(builder.has_value());
    for (int i = 0; i < samples; ++i) {
      MetadataMap metadata{{"id", int64_t{i}}, {"tag", std::string(name)}};
      EXPECT_TRUE(builder->push_sample(std::vector<uint8_t>(4, uint8_t(i)), std::move(metadata)));
    }
    EXPECT_TRUE(std::move(*builder).finish().has_value());
    return path.string();
  }

  std::shared_ptr<WorkerPool> pool(size_t workers) { return WorkerPool::create(workers).value(); }

  fs::path dir_;
};

// Counts loads running at once, so the window can be checked.
struct LoadGauge {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  std::atomic<int> calls{0};

  void enter() {
    ++calls;
    int now = ++running;
    int seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  void leave() { --running; }
};

TEST_F(DatasetLoadTest, ConcurrentLoadsKeepPathOrderAndWindow) {
  const std::string a = make_cache("a", 3), b = make_cache("b", 5), c = make_cache("c", 2);
  // Later paths finish first; the same path twice is two caches.
  const std::vector<std::string> paths = {a, b, c, a};
  auto gauge = std::make_shared<LoadGauge>();
  CacheLoadFn load = [gauge, &paths](const fs::path& path, bool validate) {
    gauge->enter();
    size_t rank = std::find(paths.begin(), paths.end(), path.string()) - paths.begin();
    std::this_thread::sleep_for(std::chrono::milliseconds(40 - 10 * int(rank)));
    auto cache = storage::load_cache(path, validate);
    gauge->leave();
    return cache;
  };

  // A pool of 4 workers, but the dataset says 2: never more than 2 loads at
  // once. (Without validation: reading metadata.arrow starts Arrow's own
  // threads, which ThreadSanitizer cannot see into.)
  auto state = create_dataset_state(pool(4), 2, paths, 7, 3, true, false, load);
  ASSERT_TRUE(state.has_value()) << state.error().to_string();
  EXPECT_LE(gauge->peak.load(), 2);
  EXPECT_EQ(gauge->calls.load(), 4);

  const DatasetState& s = **state;
  ASSERT_EQ(s.caches->size(), 4u);
  const std::vector<std::string> sources = {"a", "b", "c", "a"};
  for (size_t k = 0; k < 4; ++k) EXPECT_EQ((*s.caches)[k]->manifest.source_name, sources[k]);
  EXPECT_EQ(*s.cache_offsets, (std::vector<size_t>{0, 3, 8, 10}));
  EXPECT_EQ(s.physical_sample_count, 13u);
  EXPECT_EQ(current_epoch_len(s), 13u);
}

TEST_F(DatasetLoadTest, ConcurrentLoadFailureIsTheFirstToComplete) {
  const std::string good = make_cache("good", 2);
  const std::string slow_bad = (dir_ / "slow_bad").string();
  const std::string fast_bad = (dir_ / "fast_bad").string();
  auto gauge = std::make_shared<LoadGauge>();
  CacheLoadFn load = [gauge, slow_bad](const fs::path& path, bool validate) {
    gauge->enter();
    if (path.string() == slow_bad) std::this_thread::sleep_for(100ms);
    auto cache = storage::load_cache(path, validate);
    gauge->leave();
    return cache;
  };
  auto message = [](const auto& result) { return result.error().to_string(); };

  // In parallel, the fast failure wins although its path comes later.
  auto parallel = create_dataset_state(pool(2), 2, {slow_bad, fast_bad}, 0, 1, false, false, load);
  ASSERT_FALSE(parallel.has_value());
  EXPECT_EQ(message(parallel), "missing manifest: " + (fs::path(fast_bad) / "manifest.json").string());

  // One worker loads in path order: the first failing path gives the error
  // and the paths after it are never loaded.
  gauge->calls = 0;
  auto serial =
      create_dataset_state(pool(1), 1, {good, slow_bad, fast_bad, good}, 0, 1, false, false, load);
  ASSERT_FALSE(serial.has_value());
  EXPECT_EQ(message(serial), "missing manifest: " + (fs::path(slow_bad) / "manifest.json").string());
  EXPECT_EQ(gauge->calls.load(), 2);

  // A loader that throws is a failed worker, and the pool lives on.
  auto workers = pool(1);
  CacheLoadFn throwing = [](const fs::path&, bool) -> Result<storage::LoadedCache> {
    throw std::runtime_error("boom");
  };
  auto thrown = create_dataset_state(workers, 1, {good}, 0, 1, false, false, throwing);
  ASSERT_FALSE(thrown.has_value());
  EXPECT_EQ(thrown.error(), CacheError::worker_failed());
  EXPECT_TRUE(create_dataset_state(workers, 1, {good}, 0, 1, false, false).has_value());
}

// Caches whose manifests count no samples (which no writer makes) take no
// physical index, and a dataset of only such caches is refused.
TEST_F(DatasetLoadTest, EmptyCachesTakeNoPhysicalIndex) {
  const std::string a = make_cache("a", 3), b = make_cache("b", 2);
  CacheLoadFn empty_a = [](const fs::path& path, bool validate) -> Result<storage::LoadedCache> {
    ZR_ASSIGN_OR_RETURN(storage::LoadedCache cache, storage::load_cache(path, validate));
    if (path.filename() == "a") cache.manifest.sample_count = 0;
    return cache;
  };
  auto workers = pool(2);
  auto state = create_dataset_state(workers, 2, {a, b, a}, 0, 1, false, false, empty_a);
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(*(*state)->cache_offsets, (std::vector<size_t>{0, 0, 2}));
  EXPECT_EQ((*state)->physical_sample_count, 2u);
  EXPECT_EQ(create_dataset_state(workers, 2, {a, a}, 0, 1, false, false, empty_a)
                .error()
                .to_string(),
            "dataset contains no physical samples");
}

TEST(CacheOffsets, RunningSumsWithOverflowCheck) {
  const std::vector<uint64_t> counts = {3, 0, 5};
  auto offsets = collect_cache_offsets(counts);
  ASSERT_TRUE(offsets.has_value());
  EXPECT_EQ(offsets->offsets, (std::vector<size_t>{0, 3, 3}));
  EXPECT_EQ(offsets->total, 8u);

  const uint64_t max = std::numeric_limits<uint64_t>::max();
  const std::vector<uint64_t> exact = {max - 1, 1};
  EXPECT_EQ(collect_cache_offsets(exact)->total, max);
  const std::vector<uint64_t> over = {max, 1};
  EXPECT_EQ(collect_cache_offsets(over).error().to_string(), "total sample count overflowed usize");
}

}  // namespace
}  // namespace zandrel::dataset
