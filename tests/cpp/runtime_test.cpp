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

// An iterator over the rotation of `len` positions from `offset` over 8
// samples. Its loads run `before` on the worker, then give sample_index = the
// physical index.
std::unique_ptr<RuntimeIterator> start(std::shared_ptr<WorkerPool> pool, size_t len,
                                       size_t offset, size_t prefetch, size_t workers,
                                       std::function<void(size_t)> before) {
  runtime::SampleLoadFn load = [before](const LoadedCaches&, std::span<const size_t>,
                                        size_t physical) -> Result<LoadedSample> {
    before(physical);
    return LoadedSample{{}, {}, 0, physical};
  };
  return RuntimeIterator::start(std::move(pool), std::make_shared<const LoadedCaches>(),
                                std::make_shared<const std::vector<size_t>>(),
                                EpochPlan{EpochPlan::Sequential{len, offset, 8, nullptr}},
                                prefetch, workers, load)
      .value();
}

TEST(PrefetchIterator, ConcurrentLoadsAreDeliveredInPlanOrder) {
  auto pool = WorkerPool::create(4).value();
  // Lower physical indices load slowest, so results arrive out of order.
  auto running = std::make_shared<std::atomic<int>>(0);
  auto peak = std::make_shared<std::atomic<int>>(0);
  auto slow_first = [running, peak](size_t physical) {
    const int now = ++*running;
    for (int seen = *peak; now > seen && !peak->compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * (8 - int(physical))));
    --*running;
  };
  for (size_t prefetch : {1, 3, 64}) {
    *peak = 0;
    auto iterator = start(pool, 11, 6, prefetch, 4, slow_first);
    std::vector<size_t> order;
    while (auto next = iterator->next().value()) order.push_back(next->sample_index);
    EXPECT_EQ(order, (std::vector<size_t>{6, 7, 0, 1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_LE(*peak, int(std::min<size_t>(prefetch, 4)));
  }
}

TEST(PrefetchIterator, ConcurrentReleaseCancelsQueuedLoads) {
  auto pool = WorkerPool::create(1).value();  // runs the jobs one by one
  auto loads = std::make_shared<std::atomic<int>>(0);
  // A window of 4 on one worker: three loads wait in the queue.
  auto iterator = start(pool, 8, 0, 4, 4, [loads](size_t) {
    ++*loads;
    std::this_thread::sleep_for(100ms);
  });
  EXPECT_EQ(iterator->next().value()->sample_index, 0u);
  iterator.reset();
  // A job queued after them runs once the worker has drained the queue.
  auto [sender, receiver] = make_bounded_channel<Result<int>>(1);
  ASSERT_TRUE(pool->submit(sender, [] { return Result<int>(1); }));
  ASSERT_TRUE(receiver.recv().has_value());
  EXPECT_LE(*loads, 2);  // load 0, and load 1 at most under way at the release
}

}  // namespace
}  // namespace zandrel
