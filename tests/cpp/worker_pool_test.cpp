#include "zandrel/worker_pool.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

namespace zandrel {
namespace {

using namespace std::chrono_literals;

// Threads of this process named "zandrel-worker-{i}", cut to the 15 bytes
// Linux keeps.
size_t worker_threads() {
  size_t count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    count += name == "zandrel-worker-";
  }
  return count;
}

// Polls until `done` holds; false after 10 seconds.
template <typename Pred>
bool eventually(Pred done) {
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

TEST(WorkerPool, OneWorkerRunsQueuedJobsInOrderAfterTheLastHandleGoes) {
  auto pool = WorkerPool::create(1).value();
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  auto job = [opened](int i) {
    return [i, opened]() -> Result<int> { opened.wait(); return i; };
  };
  // One running and four queued fill the queue. The first two jobs' submitter
  // has gone: their sends fail silently and the worker goes on.
  {
    auto [gone, gone_rx] = make_bounded_channel<Result<int>>(2);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(pool->submit(gone, job(i)));
  }
  auto [tx, rx] = make_bounded_channel<Result<int>>(3);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool->submit(tx, job(i)));
  pool.reset();
  gate.set_value();
  tx = {};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rx.recv().value().value(), i);
  EXPECT_FALSE(rx.recv().has_value());  // every job released its sender
}

TEST(WorkerPool, ThreadsAreNamedAndEndOnceThePoolIsReleased) {
  ASSERT_TRUE(eventually([] { return worker_threads() == 0; }));
  auto pool = WorkerPool::create(12).value();
  EXPECT_EQ(worker_threads(), 12u);
  pool.reset();
  EXPECT_TRUE(eventually([] { return worker_threads() == 0; }));
}

TEST(WorkerPool, FailuresAreReportedAndContained) {
  auto pool = WorkerPool::create(1).value();
  // A loading job that throws reports worker_failed and its worker lives on.
  auto [tx, rx] = make_bounded_channel<Result<int>>(2);
  ASSERT_TRUE(pool->submit_catching(tx, []() -> Result<int> { throw std::runtime_error("x"); }));
  ASSERT_TRUE(pool->submit_catching(tx, []() -> Result<int> { return 3; }));
  EXPECT_EQ(rx.recv().value().error(), CacheError::worker_failed());
  EXPECT_EQ(rx.recv().value().value(), 3);
  // A detached job runs and sends nothing.
  std::promise<int> ran;
  ASSERT_TRUE(pool->run_detached([&ran]() noexcept { ran.set_value(5); }));
  EXPECT_EQ(ran.get_future().get(), 5);

  // Any other job that throws ends its own thread only, without a result;
  // with no worker left, submit fails.
  ASSERT_TRUE(pool->submit(tx, []() -> Result<int> { throw std::runtime_error("x"); }));
  tx = {};
  EXPECT_FALSE(rx.recv().has_value());
  auto [tx2, rx2] = make_bounded_channel<Result<int>>(1);
  EXPECT_TRUE(eventually([&, &tx2 = tx2] {
    return pool->submit(tx2, []() -> Result<int> { return 0; }) == Err(CacheError::worker_failed());
  }));
  EXPECT_EQ(pool->run_detached([]() noexcept {}), Err(CacheError::worker_failed()));

  // A queue that cannot be allocated is refused.
  EXPECT_EQ(WorkerPool::create(std::numeric_limits<size_t>::max()), Err(CacheError::worker_failed()));
}

}  // namespace
}  // namespace zandrel
