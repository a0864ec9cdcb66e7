#include "zandrel/runtime.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "zandrel/storage/builder.hpp"

namespace zandrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Caches whose sample i of cache c carries payload {c, i} and metadata id = i.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("zandrel_runtime_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Caches of the given sizes, with offsets as a dataset lays them out.
  // Loaded without validation: reading metadata.arrow starts Arrow's own
  // threads, which ThreadSanitizer cannot see into.
  void make_caches(const std::vector<int>& sizes, bool validate = false) {
    LoadedCaches caches;
    std::vector<size_t> offsets;
    size_t running = 0;
    for (size_t c = 0; c < sizes.size(); ++c) {
      fs::path path = dir_ / ("c" + std::to_string(c));
      auto builder = storage::CacheBuilder::create(path, "src", 1 << 20, ShardCompression{});
      ASSERT_TRUE(builder.has_value());
      for (int i = 0; i < sizes[c]; ++i) {
        ASSERT_TRUE(builder->push_sample({uint8_t(c), uint8_t(i)}, MetadataMap{{"id", int64_t{i}}}));
      }
      ASSERT_TRUE(std::move(*builder).finish().has_value());
      auto cache = storage::load_cache(path, validate);
      ASSERT_TRUE(cache.has_value());
      caches.push_back(std::make_shared<const storage::LoadedCache>(std::move(*cache)));
      offsets.push_back(running);
      running += size_t(sizes[c]);
    }
    caches_ = std::make_shared<const LoadedCaches>(std::move(caches));
    offsets_ = std::make_shared<const std::vector<size_t>>(std::move(offsets));
  }

  Result<std::unique_ptr<RuntimeIterator>> start(EpochPlan plan, size_t prefetch, size_t workers,
                                                 runtime::SampleLoadFn load = {}) {
    return RuntimeIterator::start(pool_, caches_, offsets_, std::move(plan), prefetch, workers,
                                  std::move(load));
  }

  static EpochPlan rotation(size_t len, size_t offset, size_t population) {
    return EpochPlan{EpochPlan::Sequential{len, offset, population, nullptr}};
  }

  fs::path dir_;
  std::shared_ptr<WorkerPool> pool_ = WorkerPool::create(4).value();
  std::shared_ptr<const LoadedCaches> caches_;
  std::shared_ptr<const std::vector<size_t>> offsets_;
};

TEST_F(RuntimeTest, PhysicalIndexMapsToCacheAndLocalIndex) {
  make_caches({3, 1, 5}, /*validate=*/true);
  // An empty cache shares its offset with the next one and takes no index.
  const std::vector<size_t> offsets = {0, 3, 3, 4};
  LoadedCaches with_empty = {(*caches_)[0], (*caches_)[1], (*caches_)[1], (*caches_)[2]};
  auto& readers = storage::thread_shard_readers();
  auto sample = runtime::load_planned_sample(with_empty, offsets, 3, readers);
  ASSERT_TRUE(sample.has_value()) << sample.error().to_string();
  EXPECT_EQ(sample->cache_index, 2u);
  EXPECT_EQ(sample->sample_index, 0u);
  sample = runtime::load_planned_sample(with_empty, offsets, 8, readers);
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(sample->cache_index, 3u);
  EXPECT_EQ(sample->sample_index, 4u);
  EXPECT_EQ(sample->data, (std::vector<uint8_t>{2, 4}));
  EXPECT_EQ(sample->metadata, (MetadataRow{int64_t{4}}));

  EXPECT_EQ(runtime::load_planned_sample(with_empty, offsets, 9, readers).error().to_string(),
            "physical sample 9 is out of range");
  const std::vector<size_t> late_start = {2};
  EXPECT_EQ(runtime::load_planned_sample(*caches_, late_start, 1, readers).error().to_string(),
            "physical sample 1 is out of range");
  const std::vector<size_t> too_many = {0, 3, 4, 9};
  EXPECT_EQ(runtime::load_planned_sample(*caches_, too_many, 9, readers).error().to_string(),
            "cache id is out of range");
}

TEST_F(RuntimeTest, ConcurrentLoadsAreDeliveredInPlanOrder) {
  make_caches({3, 5});
  // Lower physical indices load slowest, so results arrive out of order.
  std::atomic<int> running{0}, peak{0};
  runtime::SampleLoadFn load = [&](const LoadedCaches& caches, std::span<const size_t> offsets,
                                   size_t physical) {
    int now = ++running;
    for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * (8 - int(physical))));
    auto sample = runtime::load_planned_sample(caches, offsets, physical,
                                               storage::thread_shard_readers());
    --running;
    return sample;
  };

  for (size_t prefetch : {1, 3, 64}) {
    peak = 0;
    // A rotation of 11 positions over 8 samples starting at 6.
    auto iterator = start(rotation(11, 6, 8), prefetch, 4, load);
    ASSERT_TRUE(iterator.has_value());
    EXPECT_EQ((*iterator)->window(), std::min<size_t>(prefetch, 4));
    std::vector<size_t> physical;
    for (;;) {
      auto next = (*iterator)->next();
      ASSERT_TRUE(next.has_value()) << next.error().to_string();
      if (!*next) break;
      const LoadedSample& s = **next;
      physical.push_back((*offsets_)[s.cache_index] + s.sample_index);
      EXPECT_EQ(s.data, (std::vector<uint8_t>{uint8_t(s.cache_index), uint8_t(s.sample_index)}));
    }
    EXPECT_EQ(physical, (std::vector<size_t>{6, 7, 0, 1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_LE(peak.load(), int(std::min<size_t>(prefetch, 4)));
    EXPECT_FALSE((*iterator)->next()->has_value());
  }

  // An epoch shorter than the window loads everything at once.
  auto short_epoch = start(rotation(2, 0, 8), 64, 4);
  EXPECT_EQ((*short_epoch)->window(), 2u);
}

TEST_F(RuntimeTest, ConcurrentFirstErrorEndsTheEpoch) {
  make_caches({8});
  // Sample 3 is slow; sample 4 fails before it arrives.
  runtime::SampleLoadFn load = [](const LoadedCaches& caches, std::span<const size_t> offsets,
                                  size_t physical) -> Result<LoadedSample> {
    if (physical == 3) std::this_thread::sleep_for(400ms);
    if (physical == 4) {
      std::this_thread::sleep_for(50ms);
      return Err(CacheError::invalid_cache("broken record"));
    }
    return runtime::load_planned_sample(caches, offsets, physical, storage::thread_shard_readers());
  };
  auto iterator = start(rotation(8, 0, 8), 8, 4, load);
  ASSERT_TRUE(iterator.has_value());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ((**(*iterator)->next()).sample_index, i);
  auto failed = (*iterator)->next();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().to_string(), "broken record");
  // Sample 3 is never delivered: the epoch is over.
  EXPECT_FALSE((*iterator)->next()->has_value());
  EXPECT_FALSE((*iterator)->next()->has_value());

  // A load that throws is a failed worker; the epoch stops there.
  runtime::SampleLoadFn escaping = [](const LoadedCaches&, std::span<const size_t>,
                                      size_t) -> Result<LoadedSample> {
    throw std::runtime_error("escaped");
  };
  auto throwing = start(rotation(2, 6, 8), 1, 1, escaping);
  auto thrown = (*throwing)->next();
  ASSERT_FALSE(thrown.has_value());
  EXPECT_EQ(thrown.error(), CacheError::worker_failed());
  EXPECT_FALSE((*throwing)->next()->has_value());
}

TEST_F(RuntimeTest, ConcurrentReleaseCancelsQueuedLoads) {
  make_caches({10});
  // One worker runs the jobs in submission order.
  pool_ = WorkerPool::create(1).value();
  auto reads = std::make_shared<std::pair<std::mutex, std::set<size_t>>>();
  runtime::SampleLoadFn load = [reads](const LoadedCaches& caches,
                                       std::span<const size_t> offsets, size_t physical) {
    {
      std::lock_guard lock(reads->first);
      reads->second.insert(physical);
    }
    std::this_thread::sleep_for(100ms);
    return runtime::load_planned_sample(caches, offsets, physical, storage::thread_shard_readers());
  };
  {
    // A window of 4 on one worker: three jobs wait in the queue.
    auto iterator = start(rotation(10, 0, 10), 4, 4, load);
    ASSERT_TRUE(iterator.has_value());
    EXPECT_EQ((**(*iterator)->next()).sample_index, 0u);
  }
  // Wait until the worker has drained its queue.
  auto [sender, receiver] = make_bounded_channel<Result<int>>(1);
  ASSERT_TRUE(pool_->submit(sender, [] { return Result<int>(1); }));
  ASSERT_TRUE(receiver.recv().has_value());
  std::lock_guard lock(reads->first);
  // Sample 0 was read, sample 1 at most was under way at the release.
  EXPECT_LE(reads->second.size(), 2u);
  EXPECT_TRUE(reads->second.contains(0));
}

}  // namespace
}  // namespace zandrel
