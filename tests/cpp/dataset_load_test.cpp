#include "zandrel/dataset_load.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>

#include "zandrel/storage/builder.hpp"

namespace zandrel::dataset {
namespace {

namespace fs = std::filesystem;

TEST(DatasetLoad, ConcurrentLoadsKeepPathOrderAndReportTheFirstFailure) {
  const fs::path root =
      fs::temp_directory_path() / ("zandrel_dataset_load_" + std::to_string(getpid()));
  auto builder = storage::CacheBuilder::create(root, "x", 1 << 20, ShardCompression{});
  ASSERT_TRUE(builder->push_sample({1}, MetadataMap{{"id", int64_t{1}}}));
  ASSERT_TRUE(std::move(*builder).finish().has_value());

  // Paths read "<count>/<delay ms>": the load sleeps, then opens the cache at
  // `root` relabelled with the path as source name and <count> as sample
  // count. A path not starting with a digit fails with "cannot open <path>".
  // `peak` (shared with jobs that outlive a failed construction) is the most
  // loads seen at once.
  auto running = std::make_shared<std::atomic<int>>(0);
  auto peak = std::make_shared<std::atomic<int>>(0);
  CacheLoadFn load = [=](const fs::path& path, bool) -> Result<storage::LoadedCache> {
    const int now = ++*running;
    for (int seen = *peak; now > seen && !peak->compare_exchange_weak(seen, now);) {
    }
    const std::string name = path.string();
    const int delay_ms = std::stoi(name.substr(name.find('/') + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    --*running;
    if (!std::isdigit(name[0])) return Err(CacheError::invalid_cache("cannot open " + name));
    // Without validation: Arrow's own threads are invisible to ThreadSanitizer.
    ZR_ASSIGN_OR_RETURN(storage::LoadedCache cache, storage::load_cache(root, false));
    cache.manifest.source_name = name;
    cache.manifest.sample_count = std::stoull(name);
    return cache;
  };

  // Later paths finish first. The pool has 4 workers but the dataset says 2.
  const std::vector<std::string> paths = {"3/40", "5/20", "2/0", "3/40"};
  auto state =
      create_dataset_state(WorkerPool::create(4).value(), 2, paths, 7, 3, true, false, load);
  ASSERT_TRUE(state.has_value()) << state.error().to_string();
  EXPECT_LE(peak->load(), 2);
  const DatasetState& s = **state;
  for (size_t k = 0; k < 4; ++k) EXPECT_EQ((*s.caches)[k]->manifest.source_name, paths[k]);
  EXPECT_EQ(*s.cache_offsets, (std::vector<size_t>{0, 3, 8, 10}));
  EXPECT_EQ(s.physical_sample_count, 13u);

  auto failure = [&](std::vector<std::string> paths) {
    return create_dataset_state(WorkerPool::create(2).value(), 2, paths, 0, 1, false, false, load)
        .error()
        .to_string();
  };
  // The first failure to complete wins, although its path comes later.
  EXPECT_EQ(failure({"slow/60", "fast/0"}), "cannot open fast/0");
  EXPECT_EQ(failure({"0/0", "0/0"}), "dataset contains no physical samples");
  EXPECT_EQ(failure({"18446744073709551615/0", "1/0"}), "total sample count overflowed usize");
  fs::remove_all(root);
}

}  // namespace
}  // namespace zandrel::dataset
