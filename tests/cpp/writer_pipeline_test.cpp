// The single-source road driven by plain C++ sources through a real worker
// pool; the suite name puts it under ThreadSanitizer in CI.
#include "zandrel/writer/pipeline.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <optional>

#include "zandrel/storage/loader.hpp"
#include "zandrel/storage/sample_reader.hpp"

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;

WriterInput sample(int64_t i, size_t size = 100) {
  WriterInput input;
  input.data.assign(size, static_cast<uint8_t>(i * 7));
  input.metadata.emplace("i", MetadataValue(i));
  input.metadata.emplace("s", MetadataValue(std::to_string(i)));
  return input;
}

// A source of `count` numbered samples, optionally interrupted.
class FakeSource : public SampleSource {
 public:
  explicit FakeSource(size_t count) : count_(count) {}

  std::optional<size_t> interrupt_at;  // signal check before this item raises
  std::string source_name = "src";
  size_t signal_checks = 0;

  Result<std::string> name() override { return source_name; }
  Status start_iteration() override { return {}; }
  Status check_signals() override {
    ++signal_checks;
    if (interrupt_at && pulled_ == *interrupt_at) {
      return Err(CacheError::interrupted("KeyboardInterrupt: "));
    }
    return {};
  }
  Result<bool> next_item() override { return pulled_ < count_ ? (++pulled_, true) : false; }
  Result<WriterInput> extract_item() override { return sample(static_cast<int64_t>(pulled_ - 1)); }

 private:
  size_t count_;
  size_t pulled_ = 0;
};

class WriterConcurrentPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("writer_pipeline_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
  }
  void TearDown() override { fs::remove_all(base_); }

  WriterConfig config(size_t num_workers, size_t prefetch, uint64_t max_shard_bytes = 1 << 20) {
    auto pool = WorkerPool::create(num_workers);
    EXPECT_TRUE(pool);
    return WriterConfig{.profiler = {},
                        .shard_compression = {CompressionAlgo::kLz4, 1.0},
                        .pool = *pool,
                        .max_shard_bytes = {max_shard_bytes},
                        .prefetch_size = {prefetch},
                        .num_workers = num_workers,
                        .show_progress = false,
                        .validate_cache = false,
                        .reuse_existing = false};
  }

  Result<WriteResult> write(SampleSource& source, const WriterConfig& cfg) {
    return write_single_source(source, base_.native(), cfg, make_profiler(cfg));
  }

  fs::path base_;
};

TEST_F(WriterConcurrentPipeline, CommitsInSourceOrderForEveryWindow) {
  for (auto [workers, prefetch] : {std::pair<size_t, size_t>{1, 8}, {4, 1}, {4, 16}, {8, 3}}) {
    SCOPED_TRACE(std::to_string(workers) + " workers, prefetch " + std::to_string(prefetch));
    fs::remove_all(base_);
    FakeSource source(300);
    auto result = write(source, config(workers, prefetch, /*max_shard_bytes=*/4096));
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (WriteResult{"success", "src", (base_ / "src").native()}));
    EXPECT_TRUE(fs::is_empty(base_ / "tmp"));

    auto cache = storage::load_cache(base_ / "src", /*validate=*/true);
    ASSERT_TRUE(cache) << cache.error().to_string();
    ASSERT_EQ(cache->manifest.sample_count, 300u);
    EXPECT_GT(cache->manifest.shards.size(), 1u);
    for (size_t i = 0; i < 300; ++i) {
      auto loaded = cache->read_sample_with_cache(i, storage::thread_shard_readers());
      ASSERT_TRUE(loaded);
      EXPECT_EQ(loaded->data, sample(static_cast<int64_t>(i)).data);
      EXPECT_EQ(loaded->metadata[0], MetadataValue(static_cast<int64_t>(i)));
    }
  }
}

TEST_F(WriterConcurrentPipeline, InterruptStopsTheCallAndRemovesTheBuild) {
  FakeSource source(100);
  source.interrupt_at = 40;
  auto result = write(source, config(4, 8));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kInterrupted);
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "src"));
  EXPECT_FALSE(fs::exists(base_ / "src"));
}

TEST_F(WriterConcurrentPipeline, WaitForWorkerChecksSignalsEverySlice) {
  // A channel nobody sends on: the wait runs the check after each 100 ms
  // slice and ends with the check's error.
  auto [tx, rx] = make_bounded_channel<Result<int>>(1);
  int checks = 0;
  auto result = receive_worker_result<int>(rx, [&]() -> Status {
    if (++checks == 2) return Err(CacheError::interrupted("KeyboardInterrupt: "));
    return {};
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kInterrupted);
  EXPECT_EQ(checks, 2);

  // Without senders the wait fails at once.
  { auto drop = std::move(tx); }
  auto gone = receive_worker_result<int>(rx, [] { return Status{}; });
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), CacheError::worker_failed());

  // A road whose worker is busy elsewhere sees the interrupt while it waits.
  auto cfg = config(1, 1);
  std::promise<void> release;
  auto blocker = make_bounded_channel<Result<int>>(1);
  ASSERT_TRUE(cfg.pool->submit(blocker.first, [gate = release.get_future().share()]() -> Result<int> {
    gate.wait();
    return 0;
  }));
  // Checks 1 and 2 precede items 0 and 1; item 1 waits for a window slot,
  // and the check made in that wait raises.
  struct WaitingSource : FakeSource {
    WaitingSource() : FakeSource(5) {}
    Status check_signals() override {
      if (++signal_checks > 2) return Err(CacheError::interrupted("KeyboardInterrupt: "));
      return {};
    }
  } waiting;
  auto result2 = write(waiting, cfg);
  release.set_value();
  ASSERT_FALSE(result2);
  EXPECT_EQ(result2.error().kind(), CacheError::Kind::kInterrupted);
  EXPECT_EQ(waiting.signal_checks, 3u);
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "src"));
}

}  // namespace
}  // namespace zandrel::writer
