// Both write roads driven by plain C++ sources through a real worker pool;
// the suite name puts them under ThreadSanitizer in CI.
#include "zandrel/writer/pipeline.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <future>

#include "zandrel/storage/loader.hpp"
#include "zandrel/storage/sample_reader.hpp"
#include "zandrel/writer/list_pipeline.hpp"

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;

WriterInput sample(int64_t i) {
  WriterInput input;
  input.data.assign(100 + i % 7, static_cast<uint8_t>(i * 7));
  input.metadata.emplace("i", MetadataValue(i));
  return input;
}

// `count` numbered samples; every signal check after the first `raise_after`
// raises KeyboardInterrupt.
struct FakeSource final : SampleSource {
  FakeSource(std::string name, size_t count) : name_(std::move(name)), count(count) {}
  Result<std::string> name() override { return name_; }
  Status start_iteration() override { return {}; }
  Status check_signals() override {
    if (++checks > raise_after) return Err(CacheError::interrupted("KeyboardInterrupt: "));
    return {};
  }
  Result<bool> next_item() override { return pulled < count ? (++pulled, true) : false; }
  Result<WriterInput> extract_item() override { return sample(static_cast<int64_t>(pulled - 1)); }

  std::string name_;
  size_t count, pulled = 0, checks = 0, raise_after = SIZE_MAX;
};

// Sources named a, b, c, ... with the given sample counts.
struct FakeList final : SourceList {
  size_t length() override { return counts.size(); }
  std::unique_ptr<SampleSource> entry(size_t i) override {
    return std::make_unique<FakeSource>(std::string(1, static_cast<char>('a' + i)), counts[i]);
  }
  Status check_signals() override { return {}; }
  std::vector<size_t> counts;
};

WriterConfig config(size_t workers, size_t prefetch) {
  return WriterConfig{{}, {CompressionAlgo::kLz4, 1.0}, *WorkerPool::create(workers), {4096},
                      {prefetch}, workers, /*show_progress=*/false,
                      /*validate_cache=*/false, /*reuse_existing=*/false};
}

class WriterConcurrentPipeline : public ::testing::Test {
 protected:
  void SetUp() override { fs::remove_all(base_); }
  void TearDown() override { fs::remove_all(base_); }

  WriteResult success(const std::string& name) {
    return {"success", name, (base_ / name).native()};
  }

  // The cache holds samples 0 .. count - 1 in order, over several shards.
  // Loaded without validation: libarrow's own threads, which a validated load
  // may start, are invisible to TSan. The Python tests validate.
  void expect_cache(const std::string& name, size_t count) {
    auto cache = storage::load_cache(base_ / name, /*validate=*/false);
    ASSERT_TRUE(cache) << cache.error().to_string();
    ASSERT_EQ(cache->manifest.sample_count, count);
    EXPECT_GT(cache->manifest.shards.size(), 1u);
    for (size_t i = 0; i < count; ++i) {
      auto loaded = cache->read_sample_with_cache(i, storage::thread_shard_readers());
      ASSERT_TRUE(loaded);
      ASSERT_EQ(loaded->data, sample(static_cast<int64_t>(i)).data);
      ASSERT_EQ(loaded->metadata[0], MetadataValue(static_cast<int64_t>(i)));
    }
  }

  const fs::path base_ =
      fs::temp_directory_path() / ("writer_pipeline_" + std::to_string(::getpid()));
};

TEST_F(WriterConcurrentPipeline, CommitsInSourceOrderForEveryWindow) {
  for (auto [workers, prefetch] : {std::pair<size_t, size_t>{1, 8}, {4, 1}, {4, 16}, {8, 3}}) {
    SCOPED_TRACE(std::to_string(workers) + " workers, prefetch " + std::to_string(prefetch));
    fs::remove_all(base_);
    const WriterConfig cfg = config(workers, prefetch);
    FakeSource source("src", 300);
    auto result = write_single_source(source, base_.native(), cfg, make_profiler(cfg));
    EXPECT_EQ(result, success("src"));
    expect_cache("src", 300);

    // A list: b yields nothing, a and c are published.
    FakeList list;
    list.counts = {200, 0, 150};
    auto results = write_source_list(list, base_.native(), cfg, make_profiler(cfg));
    ASSERT_TRUE(results) << results.error().to_string();
    EXPECT_EQ(*results, (std::vector<WriteResult>{
                            success("a"), {"error", "b", "cache source yielded no samples"},
                            success("c")}));
    expect_cache("a", 200);
    expect_cache("c", 150);
    EXPECT_TRUE(fs::is_empty(base_ / "tmp"));
  }
}

TEST_F(WriterConcurrentPipeline, InterruptWhileWaitingForAWorkerRemovesTheBuild) {
  // The only worker is held, so item 1 waits for item 0 in a window of one;
  // the signal check after the first 100 ms slice of that wait (the third
  // check in all) raises.
  const WriterConfig cfg = config(1, 8);
  std::promise<void> release;
  auto [hold_tx, hold_rx] = make_bounded_channel<Result<int>>(1);
  ASSERT_TRUE(cfg.pool->submit(hold_tx, [gate = release.get_future().share()]() -> Result<int> {
    gate.wait();
    return 0;
  }));
  FakeSource source("src", 100);
  source.raise_after = 2;
  auto result = write_single_source(source, base_.native(), cfg, make_profiler(cfg));
  release.set_value();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kInterrupted);
  EXPECT_EQ(source.checks, 3u);
  EXPECT_TRUE(fs::is_empty(base_ / "tmp"));
  EXPECT_FALSE(fs::exists(base_ / "src"));

  // A wait on a channel without senders fails at once.
  auto [tx, rx] = make_bounded_channel<Result<int>>(1);
  { auto drop = std::move(tx); }
  EXPECT_EQ(receive_worker_result<int>(rx, [] { return Status{}; }).error(),
            CacheError::worker_failed());
}

}  // namespace
}  // namespace zandrel::writer
