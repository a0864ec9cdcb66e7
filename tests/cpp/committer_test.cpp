// The list write road's applying half: the committer applying events, and the
// reorder buffer over a pool whose job queue the test drives by hand.
#include "zandrel/writer/committer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <limits>

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

PipelineCommitter committer(size_t slots) {
  const WriterConfig cfg{{}, {CompressionAlgo::kLz4, 1.0}, /*pool=*/nullptr, {1024}, {1}, 1,
                         /*show_progress=*/false, /*validate_cache=*/false,
                         /*reuse_existing=*/false};
  return PipelineCommitter(cfg, slots, SourceListProgress::create(false, slots),
                           make_profiler(cfg));
}

class WriterList : public ::testing::Test {
 protected:
  void SetUp() override { fs::remove_all(base_); }
  void TearDown() override { fs::remove_all(base_); }
  PipelineEvent start(const std::string& name, size_t index) {
    return PipelineEvent{SourceWriteStart{name, base_ / name, base_ / "tmp" / name, index}};
  }
  WriteResult success(const std::string& name) {
    return {"success", name, (base_ / name).native()};
  }

  const fs::path base_ =
      fs::temp_directory_path() / ("writer_list_" + std::to_string(::getpid()));
};

TEST_F(WriterList, CommitterKeepsFirstFailureAndRefusesBrokenStreams) {
  PipelineCommitter c = committer(3);
  // A refused sample fails the source at once (its build removed, its later
  // samples dropped); the producer's later report does not replace the text.
  ASSERT_TRUE(c.apply(start("a", 0)));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(0)}));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(1, /*with_key=*/false)}));
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(2)}));
  ASSERT_TRUE(c.apply(PipelineEvent{PipelineEvent::Failed{"Python error: ValueError: late"}}));
  // A non-empty directory that appeared at the final path refuses the rename
  // and is left alone.
  ASSERT_TRUE(c.apply(start("b", 1)));
  ASSERT_TRUE(c.apply(PipelineEvent{sample(0)}));
  fs::create_directories(base_ / "b" / "squatter");
  ASSERT_TRUE(c.apply(PipelineEvent{PipelineEvent::Finish{}}));
  EXPECT_TRUE(fs::exists(base_ / "b" / "squatter"));
  ASSERT_TRUE(c.apply(start("e", 2)));
  ASSERT_TRUE(c.apply(PipelineEvent{PipelineEvent::Finish{}}));
  EXPECT_TRUE(fs::is_empty(base_ / "tmp"));

  // An inconsistent stream is the call's error.
  for (PipelineEvent broken : {PipelineEvent{sample(0)}, PipelineEvent{PipelineEvent::Finish{}},
                               PipelineEvent{PipelineEvent::Failed{"x"}},
                               PipelineEvent{PipelineEvent::Ready{0, success("x")}},
                               PipelineEvent{PipelineEvent::Ready{3, success("x")}}}) {
    EXPECT_EQ(c.apply(std::move(broken)).error(), CacheError::worker_failed());
  }
  ASSERT_TRUE(c.apply(start("c", 0)));
  EXPECT_EQ(c.apply(start("d", 1)).error(), CacheError::worker_failed());
  c.abandon_active();
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "c"));

  EXPECT_EQ(c.progress().completed(), 3u);
  auto results = std::move(c).take_results();
  ASSERT_TRUE(results);
  EXPECT_EQ((*results)[0].detail, "metadata keys must be identical for every sample");
  EXPECT_TRUE((*results)[1].detail.starts_with("I/O error: ")) << (*results)[1].detail;
  EXPECT_EQ((*results)[2], (WriteResult{"error", "e", "cache source yielded no samples"}));
  EXPECT_EQ(committer(1).take_results().error(), CacheError::worker_failed());  // an empty slot
}

TEST_F(WriterList, ReordersEventsAndStopsOnBrokenMachinery) {
  // A pool whose job queue the test runs by hand, in any order.
  auto [jobs_tx, jobs_rx] = make_bounded_channel<worker_pool::JobBox>(8);
  auto pool = std::make_shared<WorkerPool>(jobs_tx);
  auto no_signal = [] { return Status{}; };
  {
    SourceListWritePipeline pipeline(pool, committer(3), /*window=*/3, no_signal);
    PipelineIngress ingress(pipeline);
    std::vector<worker_pool::JobBox> jobs;
    for (size_t i = 0; i < 3; ++i) {
      const WriteResult result = success(std::to_string(i));
      ASSERT_TRUE(ingress.send_event(PipelineEvent{PipelineEvent::Ready{i, result}}));
      jobs.push_back(*jobs_rx.try_recv());
    }
    // Returned 2, 0, 1: applied 0, then 1 and 2 together.
    for (auto [job, committed] : {std::pair<size_t, uint64_t>{2, 0}, {0, 1}, {1, 3}}) {
      jobs[job]->run();
      ASSERT_TRUE(pipeline.complete_one());
      EXPECT_EQ(pipeline.next_commit(), committed);
    }
    EXPECT_EQ(*pipeline.finish(),
              (std::vector<WriteResult>{success("0"), success("1"), success("2")}));
  }
  {
    // A fatal end still applies what was gathered and what is out, then
    // removes the active build.
    SourceListWritePipeline pipeline(WorkerPool::create(1).value(), committer(1), 4, no_signal);
    PipelineIngress ingress(pipeline);
    ASSERT_TRUE(ingress.send_event(start("a", 0)));
    ASSERT_TRUE(ingress.send_event(PipelineEvent{sample(0)}));
    EXPECT_EQ(pipeline.abort(CacheError::interrupted("KeyboardInterrupt: ")).kind(),
              CacheError::Kind::kInterrupted);
    EXPECT_EQ(pipeline.next_commit(), 2u);
    EXPECT_TRUE(fs::exists(base_ / "tmp"));
    EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
  }
  SourceListWritePipeline pipeline(pool, committer(1), 1, no_signal);
  PipelineIngress exhausted(pipeline, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(exhausted.send_event(PipelineEvent{PipelineEvent::Finish{}}).error().to_string(),
            "pipeline sequence overflowed u64");
  { auto closed = std::move(jobs_rx); }
  PipelineIngress ingress(pipeline);
  EXPECT_EQ(ingress.send_event(PipelineEvent{PipelineEvent::Finish{}}).error(),
            CacheError::worker_failed());
}

}  // namespace
}  // namespace zandrel::writer
