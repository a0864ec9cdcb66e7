#include "zandrel/worker_pool.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zandrel {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<WorkerPool> make_pool(size_t num_workers) { return WorkerPool::create(num_workers).value(); }

// Threads of this process whose name is exactly `name`.
size_t threads_named(const std::string& name) {
  size_t count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

// Polls until `done` holds; false after 10 seconds.
template <typename Pred>
bool eventually(Pred done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

TEST(WorkerPool, OneWorkerRunsQueuedJobsInOrderAfterTheLastHandleGoes) {
  auto pool = make_pool(1);
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  constexpr int kJobs = 5;  // one running, four queued: the queue is full
  auto [tx, rx] = make_bounded_channel<Result<int>>(kJobs);
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(pool->submit(tx, [i, opened]() -> Result<int> {
      opened.wait();
      return i;
    }));
  }
  pool.reset();
  gate.set_value();
  tx = {};
  for (int i = 0; i < kJobs; ++i) EXPECT_EQ(rx.recv().value().value(), i);
  EXPECT_FALSE(rx.recv().has_value());  // every job released its sender
}

TEST(WorkerPool, ThreadsAreNamedAndEndOnceThePoolIsReleased) {
  // "zandrel-worker-{i}" cut to the 15 bytes Linux keeps.
  const std::string name = "zandrel-worker-";
  ASSERT_TRUE(eventually([&] { return threads_named(name) == 0; }));
  auto pool = make_pool(12);
  EXPECT_EQ(threads_named(name), 12u);
  pool.reset();
  EXPECT_TRUE(eventually([&] { return threads_named(name) == 0; }));
}

TEST(WorkerPool, JobsOfAGoneSubmitterStillRunAndTheirSendsFailSilently) {
  auto pool = make_pool(2);
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  auto [done_tx, done_rx] = make_bounded_channel<int>(4);
  {
    auto [tx, rx] = make_bounded_channel<Result<int>>(4);
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(pool->submit(tx, [i, opened, done = done_tx]() -> Result<int> {
        opened.wait();
        (void)done.send(i);
        return i;
      }));
    }
  }  // the submitter's receiver is gone
  done_tx = {};
  gate.set_value();
  std::set<int> ran;
  while (std::optional<int> i = done_rx.recv()) ran.insert(*i);
  EXPECT_EQ(ran, (std::set<int>{0, 1, 2, 3}));

  auto [tx, rx] = make_bounded_channel<Result<int>>(1);
  ASSERT_TRUE(pool->submit(tx, []() -> Result<int> { return 5; }));
  EXPECT_EQ(rx.recv().value().value(), 5);
}

TEST(WorkerPool, LoadJobExceptionsBecomeWorkerFailedAndTheWorkerLivesOn) {
  auto pool = make_pool(1);
  auto [tx, rx] = make_bounded_channel<Result<int>>(3);
  ASSERT_TRUE(pool->submit_catching(tx, []() -> Result<int> { throw std::runtime_error("x"); }));
  ASSERT_TRUE(pool->submit_catching(tx, []() -> Result<int> { throw 42; }));
  ASSERT_TRUE(pool->submit_catching(tx, []() -> Result<int> { return 3; }));
  EXPECT_EQ(rx.recv().value().error(), CacheError::worker_failed());
  EXPECT_EQ(rx.recv().value().error(), CacheError::worker_failed());
  EXPECT_EQ(rx.recv().value().value(), 3);
}

TEST(WorkerPool, EscapingExceptionEndsOnlyItsThreadAndSubmitThenFails) {
  auto pool = make_pool(1);
  {
    auto [tx, rx] = make_bounded_channel<Result<int>>(1);
    ASSERT_TRUE(pool->submit(tx, []() -> Result<int> { throw std::runtime_error("x"); }));
    tx = {};
    EXPECT_FALSE(rx.recv().has_value());  // the job went without a result
  }
  // With its only worker gone, the queue has no receiver left.
  auto [tx, rx] = make_bounded_channel<Result<int>>(1);
  EXPECT_TRUE(eventually([&, &tx = tx] {
    auto submitted = pool->submit(tx, []() -> Result<int> { return 0; });
    return !submitted && submitted.error() == CacheError::worker_failed();
  }));

  // A queue that cannot be allocated is refused.
  auto huge = WorkerPool::create(std::numeric_limits<size_t>::max());
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error(), CacheError::worker_failed());
}

}  // namespace
}  // namespace zandrel
