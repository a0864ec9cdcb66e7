// The list write road: the committer applying events, the reorder buffer over
// a pool whose job queue the test drives by hand, and whole lists of plain
// C++ sources through a real pool (the suite name puts it under TSan in CI).
#include "zandrel/writer/committer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <limits>

#include "zandrel/storage/loader.hpp"
#include "zandrel/storage/sample_reader.hpp"
#include "zandrel/writer/list_pipeline.hpp"

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;

WriterInput sample(int64_t i, bool with_key = true) {
  WriterInput input;
  input.data.assign(64 + i % 5, static_cast<uint8_t>(i));
  input.metadata.emplace("i", MetadataValue(i));
  if (with_key) input.metadata.emplace("k", MetadataValue(std::string("v")));
  return input;
}

// One source of a FakeList, with optional faults.
struct FakeSpec {
  std::string name;
  size_t count = 0;
  std::optional<CacheError> name_error;
  std::optional<size_t> bad_item_at;     // extraction refuses this item
  std::optional<size_t> missing_key_at;  // the builder refuses this item
  std::function<void(size_t)> on_item;   // runs as each item is pulled
  size_t pulled = 0;
};

FakeSpec spec(std::string name, size_t count) {
  FakeSpec made;
  made.name = std::move(name);
  made.count = count;
  return made;
}

class FakeEntry final : public SampleSource {
 public:
  explicit FakeEntry(FakeSpec& spec) : spec_(spec) {}
  Result<std::string> name() override {
    if (spec_.name_error) return Err(*spec_.name_error);
    return spec_.name;
  }
  Status start_iteration() override { return {}; }
  Status check_signals() override { return {}; }
  Result<bool> next_item() override {
    if (spec_.pulled == spec_.count) return false;
    if (spec_.on_item) spec_.on_item(spec_.pulled);
    ++spec_.pulled;
    return true;
  }
  Result<WriterInput> extract_item() override {
    const size_t i = spec_.pulled - 1;
    if (spec_.bad_item_at == i) return Err(CacheError::invalid_argument("data must be bytes-like"));
    return sample(static_cast<int64_t>(i), spec_.missing_key_at != i);
  }

 private:
  FakeSpec& spec_;
};

class FakeList final : public SourceList {
 public:
  std::vector<FakeSpec> specs;
  size_t length() override { return specs.size(); }
  std::unique_ptr<SampleSource> entry(size_t index) override {
    return std::make_unique<FakeEntry>(specs[index]);
  }
  Status check_signals() override { return {}; }
};

class WriterConcurrentList : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("writer_list_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
  }
  void TearDown() override { fs::remove_all(base_); }

  WriterConfig config(std::shared_ptr<WorkerPool> pool, size_t workers, size_t prefetch) {
    return WriterConfig{.profiler = {},
                        .shard_compression = {CompressionAlgo::kLz4, 1.0},
                        .pool = std::move(pool),
                        .max_shard_bytes = {1024},
                        .prefetch_size = {prefetch},
                        .num_workers = workers,
                        .show_progress = false,
                        .validate_cache = false,
                        .reuse_existing = false};
  }
  WriterConfig config(size_t workers, size_t prefetch) {
    return config(*WorkerPool::create(workers), workers, prefetch);
  }
  PipelineCommitter committer(size_t slots) {
    WriterConfig cfg = config(nullptr, 1, 1);
    return PipelineCommitter(cfg, slots, SourceListProgress::create(false, slots),
                             make_profiler(cfg));
  }
  PipelineEvent start(const std::string& name, size_t index) {
    return PipelineEvent{SourceWriteStart{name, base_ / name, base_ / "tmp" / name, index}};
  }
  WriteResult success(const std::string& name) {
    return {"success", name, (base_ / name).native()};
  }

  fs::path base_;
};

TEST_F(WriterConcurrentList, CommitterKeepsFirstFailureAndRefusesBrokenStreams) {
  PipelineCommitter c = committer(3);
  // A sample the builder refuses fails the source; the producer's later
  // report does not replace the builder's text, and the build is removed.
  ASSERT_TRUE(c.apply(start("a", 0)));
  ASSERT_TRUE(fs::exists(base_ / "tmp" / "a"));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(0)}));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(1, /*with_key=*/false)}));
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(2)}));  // dropped
  ASSERT_TRUE(c.apply(PipelineEvent{PipelineEvent::Failed{"Python error: ValueError: late"}}));

  // A source without samples gets the builder's refusal.
  ASSERT_TRUE(c.apply(start("b", 1)));
  ASSERT_TRUE(c.apply(PipelineEvent{PipelineEvent::Finish{}}));
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "b"));

  // Inconsistent streams end the call.
  EXPECT_EQ(c.apply(PipelineEvent{sample(0)}).error(), CacheError::worker_failed());
  EXPECT_EQ(c.apply(PipelineEvent{PipelineEvent::Finish{}}).error(), CacheError::worker_failed());
  EXPECT_EQ(c.apply(PipelineEvent{PipelineEvent::Ready{0, success("x")}}).error(),
            CacheError::worker_failed());
  EXPECT_EQ(c.apply(PipelineEvent{PipelineEvent::Ready{3, success("x")}}).error(),
            CacheError::worker_failed());
  ASSERT_TRUE(c.apply(start("c", 2)));
  EXPECT_EQ(c.apply(start("d", 2)).error(), CacheError::worker_failed());
  c.abandon_active();
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "c"));
  EXPECT_EQ(c.progress().completed(), 2u);
  EXPECT_EQ(std::move(c).take_results().error(), CacheError::worker_failed());  // slot 2 empty
}

TEST_F(WriterConcurrentList, ReordersEventsAndStopsOnBrokenMachinery) {
  // A pool whose job queue the test runs by hand, in any order.
  auto [jobs_tx, jobs_rx] = make_bounded_channel<worker_pool::JobBox>(8);
  auto pool = std::make_shared<WorkerPool>(jobs_tx);
  {
    SourceListWritePipeline pipeline(pool, committer(3), /*window=*/3, [] { return Status{}; });
    PipelineIngress ingress(pipeline);
    for (size_t i = 0; i < 3; ++i) {
      ASSERT_TRUE(ingress.send_event(PipelineEvent{PipelineEvent::Ready{i, success(std::to_string(i))}}));
    }
    std::vector<worker_pool::JobBox> jobs;
    for (int i = 0; i < 3; ++i) jobs.push_back(*jobs_rx.try_recv());
    jobs[2]->run();
    ASSERT_TRUE(pipeline.complete_one());
    EXPECT_EQ(pipeline.next_commit(), 0u);  // 2 waits for 0 and 1
    jobs[0]->run();
    ASSERT_TRUE(pipeline.complete_one());
    EXPECT_EQ(pipeline.next_commit(), 1u);
    jobs[1]->run();
    ASSERT_TRUE(pipeline.complete_one());
    EXPECT_EQ(pipeline.next_commit(), 3u);
    EXPECT_EQ(*pipeline.finish(),
              (std::vector<WriteResult>{success("0"), success("1"), success("2")}));
  }
  {
    // A fatal end drains what is out and removes the active source's build.
    SourceListWritePipeline pipeline(pool, committer(1), 4, [] { return Status{}; });
    PipelineIngress ingress(pipeline);
    ASSERT_TRUE(ingress.send_event(start("a", 0)));
    ASSERT_TRUE(ingress.send_event(PipelineEvent{sample(0)}));
    (*jobs_rx.try_recv())->run();
    (*jobs_rx.try_recv())->run();
    CacheError fatal = pipeline.abort(CacheError::interrupted("KeyboardInterrupt: "));
    EXPECT_EQ(fatal.kind(), CacheError::Kind::kInterrupted);
    EXPECT_TRUE(fs::exists(base_ / "tmp"));
    EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
  }
  {
    SourceListWritePipeline pipeline(pool, committer(1), 1, [] { return Status{}; });
    PipelineIngress exhausted(pipeline, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(exhausted.send_event(PipelineEvent{PipelineEvent::Finish{}}).error().to_string(),
              "pipeline sequence overflowed u64");
    { auto closed = std::move(jobs_rx); }
    PipelineIngress ingress(pipeline);
    EXPECT_EQ(ingress.send_event(PipelineEvent{PipelineEvent::Finish{}}).error(),
              CacheError::worker_failed());
  }
}

TEST_F(WriterConcurrentList, SourceFailuresStayWithTheirSource) {
  for (auto [workers, prefetch] : {std::pair<size_t, size_t>{1, 8}, {4, 1}, {4, 16}}) {
    SCOPED_TRACE(std::to_string(workers) + " workers, prefetch " + std::to_string(prefetch));
    fs::remove_all(base_);
    FakeList list;
    list.specs = {spec("a", 200), spec("b", 200), spec("c", 200),
                  spec("d", 10),  spec("e", 0),   spec("f", 200)};
    list.specs[1].bad_item_at = 100;
    list.specs[2].missing_key_at = 50;
    list.specs[3].name_error = CacheError::python("AttributeError: x");
    // A non-empty directory appears at f's destination while it is built.
    list.specs[5].on_item = [&](size_t i) {
      if (i == 10) fs::create_directories(base_ / "f" / "squatter");
    };
    WriterConfig cfg = config(workers, prefetch);
    auto results = write_source_list(list, base_.native(), cfg, make_profiler(cfg));
    ASSERT_TRUE(results) << results.error().to_string();
    ASSERT_EQ(results->size(), 6u);
    EXPECT_EQ((*results)[0], success("a"));
    EXPECT_EQ((*results)[1], (WriteResult{"error", "b", "data must be bytes-like"}));
    EXPECT_EQ((*results)[2].detail, "metadata keys must be identical for every sample");
    EXPECT_EQ(list.specs[2].pulled, 200u);  // a refused source is still pulled to its end
    EXPECT_EQ((*results)[3], (WriteResult{"error", "source[3]", "Python error: AttributeError: x"}));
    EXPECT_EQ((*results)[4].detail, "cache source yielded no samples");
    EXPECT_EQ((*results)[5].status, "error");
    EXPECT_TRUE((*results)[5].detail.starts_with("I/O error: ")) << (*results)[5].detail;
    EXPECT_TRUE(fs::exists(base_ / "f" / "squatter"));
    EXPECT_TRUE(fs::is_empty(base_ / "tmp"));

    // Without validation the loader reads no Arrow file, whose library
    // threads TSan cannot follow; the Python tests validate fully.
    auto cache = storage::load_cache(base_ / "a", /*validate=*/false);
    ASSERT_TRUE(cache) << cache.error().to_string();
    ASSERT_EQ(cache->manifest.sample_count, 200u);
    EXPECT_GT(cache->manifest.shards.size(), 1u);
    for (size_t i = 0; i < 200; ++i) {
      auto loaded = cache->read_sample_with_cache(i, storage::thread_shard_readers());
      ASSERT_TRUE(loaded);
      ASSERT_EQ(loaded->data, sample(static_cast<int64_t>(i)).data);
    }
  }
}

}  // namespace
}  // namespace zandrel::writer
