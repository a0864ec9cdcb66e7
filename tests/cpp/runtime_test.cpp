// The prefetching iterator: runs of plan positions loaded on the pool and
// delivered in plan order, failures at their own position, cancellation, and
// real reads of runs that span caches and shard files.
#include "zandrel/runtime.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "zandrel/storage/builder.hpp"

namespace zandrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

EpochPlan rotation(size_t len, size_t offset, size_t population) {
  return EpochPlan{EpochPlan::Sequential{len, offset, population, nullptr}};
}

// An iterator over `plan` whose loads run `before` on the worker, then give
// sample_index = the physical index (or fail where `before` says so).
std::unique_ptr<RuntimeIterator> start(std::shared_ptr<WorkerPool> pool, EpochPlan plan,
                                       size_t prefetch, size_t workers,
                                       std::function<Status(size_t)> before) {
  runtime::SampleLoadFn load = [before](const LoadedCaches&, std::span<const size_t>,
                                        size_t physical) -> Result<LoadedSample> {
    ZR_RETURN_IF_ERROR(before(physical));
    return LoadedSample{{}, {}, 0, physical};
  };
  return RuntimeIterator::start(std::move(pool), std::make_shared<const LoadedCaches>(),
                                std::make_shared<const std::vector<size_t>>(), std::move(plan),
                                prefetch, workers, load)
      .value();
}

// Every sample index the iterator delivers, then the error that ended it
// ("" when the epoch ran out), after which it must deliver nothing more.
std::pair<std::vector<size_t>, std::string> drain(RuntimeIterator& iterator) {
  std::vector<size_t> got;
  for (;;) {
    auto next = iterator.next();
    if (!next || !*next) {
      std::string error = next ? "" : next.error().to_string();
      EXPECT_EQ(iterator.next().value(), std::nullopt);
      return {got, error};
    }
    got.push_back((*next)->sample_index);
  }
}

std::vector<size_t> iota(size_t from, size_t to) {
  std::vector<size_t> v;
  for (size_t i = from; i < to; ++i) v.push_back(i);
  return v;
}

TEST(PrefetchIterator, ConcurrentLoadsAreDeliveredInPlanOrder) {
  auto pool = WorkerPool::create(4).value();
  // Lower physical indices load slowest, so runs arrive out of order.
  auto running = std::make_shared<std::atomic<int>>(0);
  auto peak = std::make_shared<std::atomic<int>>(0);
  auto slow_first = [running, peak](size_t physical) -> Status {
    const int now = ++*running;
    for (int seen = *peak; now > seen && !peak->compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * (8 - int(physical))));
    --*running;
    return {};
  };
  // An epoch shorter than one run, prefetch 1, and prefetch far above it.
  for (size_t prefetch : {1, 3, 64}) {
    *peak = 0;
    auto iterator = start(pool, rotation(11, 6, 8), prefetch, 4, slow_first);
    EXPECT_EQ(drain(*iterator).first, (std::vector<size_t>{6, 7, 0, 1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_LE(*peak, int(std::min<size_t>(prefetch, 4)));
  }
  // Epochs of many runs on every window, the first run late so that the
  // others pile up behind it.
  auto first_late = [](size_t physical) {
    if (physical == 0) std::this_thread::sleep_for(30ms);
    return Status{};
  };
  for (size_t workers : {1, 3}) {
    for (size_t prefetch : {1, 2, 64}) {
      auto iterator = start(pool, rotation(30000, 0, 30000), prefetch, workers, first_late);
      EXPECT_EQ(drain(*iterator).first, iota(0, 30000)) << workers << " " << prefetch;
    }
  }
}

TEST(PrefetchIterator, ConcurrentFailureComesAtItsOwnPosition) {
  auto pool = WorkerPool::create(3).value();
  // Run edges with window 1 (runs of 1024) and window 3: the first, a middle
  // and the last sample of a run, and the last of the epoch.
  for (size_t window : {1, 3}) {
    for (size_t bad : {0, 500, 1023, 1024, 2999}) {
      auto iterator = start(pool, rotation(3000, 0, 3000), window, 3, [bad](size_t p) -> Status {
        if (p == bad) return Err(CacheError::invalid_cache("bad " + std::to_string(p)));
        return {};
      });
      auto [got, error] = drain(*iterator);
      EXPECT_EQ(got, iota(0, bad)) << window << " " << bad;
      EXPECT_EQ(error, "bad " + std::to_string(bad));
    }
  }
  // An exception in a load is that sample's failure.
  auto iterator = start(pool, rotation(10, 0, 10), 1, 1, [](size_t p) -> Status {
    if (p == 4) throw std::runtime_error("boom");
    return {};
  });
  EXPECT_EQ(drain(*iterator), std::pair(iota(0, 4), std::string("runtime worker failed")));
}

TEST(PrefetchIterator, ConcurrentReleaseStopsARunBetweenSamples) {
  auto pool = WorkerPool::create(1).value();
  auto loads = std::make_shared<std::atomic<int>>(0);
  // Window 1: runs of 1024. The first loads at once; the second, submitted
  // when the first arrives, takes a millisecond per sample.
  auto iterator = start(pool, rotation(2048, 0, 2048), 8, 1, [loads](size_t p) -> Status {
    ++*loads;
    if (p >= 1024) std::this_thread::sleep_for(1ms);
    return {};
  });
  EXPECT_EQ(iterator->next().value()->sample_index, 0u);
  std::this_thread::sleep_for(20ms);
  iterator.reset();
  std::this_thread::sleep_for(20ms);
  const int stopped_at = *loads;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(*loads, stopped_at);  // the run stopped
  EXPECT_LT(stopped_at, 2048 - 100);
  // The worker is free again.
  auto [sender, receiver] = make_bounded_channel<Result<int>>(1);
  ASSERT_TRUE(pool->submit(sender, [] { return Result<int>(1); }));
  ASSERT_TRUE(receiver.recv().has_value());
}

class RunReadTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(base_); }

  // Writes a cache of `count` samples (payload i repeated i % 700 + 1 times)
  // and opens it unvalidated.
  std::shared_ptr<const storage::LoadedCache> build(
      const std::string& name, size_t count, CompressionAlgo algo, uint64_t shard_bytes,
      std::vector<uint8_t> (*payload_of)(size_t) = payload) {
    auto builder = storage::CacheBuilder::create(base_ / name, name, shard_bytes, {algo, 1.0});
    for (size_t i = 0; i < count; ++i) {
      EXPECT_TRUE(builder->push_sample(payload_of(i), {{"id", int64_t(i)}}));
    }
    EXPECT_TRUE(std::move(*builder).finish());
    return std::make_shared<const storage::LoadedCache>(
        storage::load_cache(base_ / name, false).value());
  }

  static std::vector<uint8_t> payload(size_t i) {
    return std::vector<uint8_t>(i % 700 + 1, static_cast<uint8_t>(i));
  }

  const fs::path base_ = fs::path(::testing::TempDir()) / ("runs_" + std::to_string(getpid()));
};

TEST_F(RunReadTest, ConcurrentRunsSpanCachesShardsAndCompressions) {
  // 300 samples in small lz4 shards, then 500 raw in one shard: a run of
  // window 1 crosses shard files and the cache boundary.
  auto caches = std::make_shared<const LoadedCaches>(LoadedCaches{
      build("a", 300, CompressionAlgo::kLz4, 4096), build("b", 500, CompressionAlgo::kNone, 1 << 30)});
  auto offsets = std::make_shared<const std::vector<size_t>>(std::vector<size_t>{0, 300});
  auto pool = WorkerPool::create(3).value();
  for (size_t window : {1, 3}) {
    auto iterator =
        RuntimeIterator::start(pool, caches, offsets, rotation(1600, 250, 800), window, 3).value();
    for (size_t seq = 0; seq < 1600; ++seq) {
      const size_t physical = (250 + seq) % 800;
      auto sample = iterator->next();
      ASSERT_TRUE(sample && *sample) << seq;
      const size_t cache = physical < 300 ? 0 : 1;
      const size_t local = physical - (*offsets)[cache];
      ASSERT_EQ(std::pair((*sample)->cache_index, (*sample)->sample_index), std::pair(cache, local));
      ASSERT_TRUE((*sample)->data == payload(local)) << seq;
      ASSERT_EQ((*sample)->metadata, MetadataRow{int64_t(local)});
    }
    EXPECT_EQ(iterator->next().value(), std::nullopt);
  }
}

TEST_F(RunReadTest, ConcurrentLz4RunsEndWhereTheirOutputIsFull) {
  // 300 KiB payloads that lz4 stores in about a KiB each: a run of them is
  // far under the stored-byte cap, but only three fit its 1 MiB of output.
  auto big = [](size_t i) { return std::vector<uint8_t>(300 << 10, static_cast<uint8_t>(i)); };
  auto caches = std::make_shared<const LoadedCaches>(
      LoadedCaches{build("z", 30, CompressionAlgo::kLz4, 1 << 30, big)});
  auto offsets = std::make_shared<const std::vector<size_t>>(1, 0);
  auto buffers = storage::BufferPool::create(4);
  std::atomic<bool> cancelled{false};
  const runtime::SampleLoadFn no_load;
  const runtime::RunInputs inputs{*caches, *offsets, *buffers, cancelled, no_load};
  const std::vector<size_t> physicals = iota(0, 30);
  runtime::LoadedRun run =
      runtime::load_planned_run(inputs, 5, physicals, storage::thread_shard_readers());
  ASSERT_EQ(run.samples.size(), 3u);
  EXPECT_FALSE(run.error);
  EXPECT_EQ(run.rest, iota(3, 30));
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(run.samples[i].data == big(i)) << i;

  // Through the iterator, the positions a run gives back come in their turn.
  auto pool = WorkerPool::create(3).value();
  for (size_t window : {1, 3}) {
    auto iterator =
        RuntimeIterator::start(pool, caches, offsets, rotation(75, 20, 30), window, 3).value();
    for (size_t seq = 0; seq < 75; ++seq) {
      auto sample = iterator->next();
      ASSERT_TRUE(sample && *sample) << seq;
      ASSERT_EQ((*sample)->sample_index, (20 + seq) % 30);
      ASSERT_TRUE((*sample)->data == big((20 + seq) % 30)) << seq;
    }
    EXPECT_EQ(iterator->next().value(), std::nullopt);
  }
}

TEST_F(RunReadTest, ConcurrentShortShardFailsItsOwnSample) {
  auto cache = build("cut", 40, CompressionAlgo::kNone, 1 << 30);
  // The shard loses the end of record 25 after the cache was opened: the
  // run's one read of all 40 records fails, and so does record 25 alone.
  const storage::IndexEntry cut = cache->index[25];
  fs::resize_file(cache->shard_files[0].path, cut.offset + cut.length / 2);
  auto iterator = RuntimeIterator::start(WorkerPool::create(1).value(),
                                         std::make_shared<const LoadedCaches>(LoadedCaches{cache}),
                                         std::make_shared<const std::vector<size_t>>(1, 0),
                                         rotation(40, 0, 40), 1, 1)
                      .value();
  auto [got, error] = drain(*iterator);
  EXPECT_EQ(got, iota(0, 25));
  EXPECT_EQ(error, "I/O error: failed to fill whole buffer");
}

TEST(LoadPlannedSample, MapsPhysicalIndexToCacheAndLocalIndex) {
  const fs::path root =
      fs::temp_directory_path() / ("zandrel_runtime_" + std::to_string(getpid()));
  auto builder = storage::CacheBuilder::create(root, "x", 1 << 20, ShardCompression{});
  ASSERT_TRUE(builder->push_sample({7}, MetadataMap{{"id", int64_t{7}}}));
  ASSERT_TRUE(std::move(*builder).finish().has_value());
  auto cache =
      std::make_shared<const storage::LoadedCache>(storage::load_cache(root, true).value());
  // Three caches of 1 sample laid out so that cache 1 takes no index: the
  // last cache starting at or before an index holds it.
  const LoadedCaches caches = {cache, cache, cache};
  auto load = [&](std::vector<size_t> offsets, size_t physical) {
    return runtime::load_planned_sample(caches, offsets, physical,
                                        storage::thread_shard_readers());
  };
  auto sample = load({0, 1, 1}, 1);
  EXPECT_EQ(std::tuple(sample->cache_index, sample->sample_index), std::tuple(2u, 0u));
  EXPECT_EQ(sample->data, (std::vector<uint8_t>{7}));
  EXPECT_EQ(load({0, 1, 1}, 2).error().to_string(), "physical sample 2 is out of range");
  EXPECT_EQ(load({2}, 1).error().to_string(), "physical sample 1 is out of range");
  EXPECT_EQ(load({0, 1, 1, 2}, 2).error().to_string(), "cache id is out of range");
  fs::remove_all(root);
}

}  // namespace
}  // namespace zandrel
