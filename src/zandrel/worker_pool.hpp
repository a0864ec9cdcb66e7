// WorkerPool: the runtime's fixed set of detached worker threads running boxed
// one-shot jobs taken from one bounded job queue.
//
// The pool knows nothing of what a job computes. There are two kinds of jobs:
// - result jobs (submit, submit_catching) carry a Sender of their submitter's
//   own result channel and send their result there, so cache loading, sample
//   loading and both write pipelines share one pool;
// - detached jobs (run_detached) send nothing: they leave their effects in
//   state they share with their submitter, which keeps track of them itself
//   (the cache builder's shard writes and digests).
//
// Ownership and lifetime: the pool object holds the job queue's only Sender
// and is always owned through std::shared_ptr<WorkerPool>. When the last
// handle goes, the queue closes: the workers still run every job already
// queued, then each finds the queue closed and empty and its thread ends.
// Nothing waits for them; the threads are detached and never joined.
//
// Threads: submit() and run_detached() may be called from any thread holding
// a handle; jobs run on the worker threads only.
//
// Contract for submitters: keep at most as many of your result jobs
// unfinished (submitted and not yet received) as your result channel holds,
// so a worker never blocks when it sends a result. A job never waits for a
// submitter's thread, so a submitter may wait for its jobs.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "zandrel/channel.hpp"
#include "zandrel/types.hpp"

namespace zandrel {

namespace worker_pool {

// A boxed one-shot job. Running a result job computes the result and sends
// it; running a detached job only runs its work. Dropping a job unrun drops
// its work (and a result job's result sender).
class Job {
 public:
  virtual ~Job() = default;
  // Called at most once, on a worker thread.
  virtual void run() = 0;
};

using JobBox = std::unique_ptr<Job>;

template <typename T, typename Work>
class ResultJob final : public Job {
 public:
  ResultJob(Sender<Result<T>> result_sender, Work work)
      : result_sender_(std::move(result_sender)), work_(std::move(work)) {}

  void run() override {
    Result<T> result = std::move(work_)();
    // A submitter that has gone no longer wants the result: drop it silently.
    (void)result_sender_.send(std::move(result));
  }

 private:
  // Declared first so it is released last: when the submitter sees its
  // channel disconnect, the work's captures are already gone.
  Sender<Result<T>> result_sender_;
  Work work_;
};

// A job that runs its work and sends nothing. The work must not throw.
template <typename Work>
class DetachedJob final : public Job {
 public:
  explicit DetachedJob(Work work) : work_(std::move(work)) {}

  void run() override { std::move(work_)(); }

 private:
  Work work_;
};

}  // namespace worker_pool

// Runs a loading job's work so that any exception escaping it becomes
// CacheError::worker_failed(); the exception itself is discarded. Used by the
// cache-load and sample-load jobs, whose workers must live on.
template <typename Work>
auto run_catching(Work&& work) -> std::invoke_result_t<Work&&> {
  try {
    return std::forward<Work>(work)();
  } catch (...) {
    return Err(CacheError::worker_failed());
  }
}

class WorkerPool {
 public:
  // Starts `num_workers` (>= 1) detached threads named "zandrel-worker-{i}"
  // (cut to the 15 bytes Linux keeps) on a job queue holding
  // max(4 * num_workers, 1) jobs, the product saturating. Returns
  // CacheError::worker_failed() when the queue cannot be allocated or a thread
  // cannot be started; threads already started then exit on their own.
  static Result<std::shared_ptr<WorkerPool>> create(size_t num_workers);

  explicit WorkerPool(Sender<worker_pool::JobBox> jobs) : jobs_(std::move(jobs)) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a job that runs `work` (a one-shot callable returning Result<T>) on
  // a worker and sends its result on `result_sender`. Blocks while the queue
  // is full; never waits for the job to run. Fails with
  // CacheError::worker_failed() when no worker is left, in which case the job
  // is dropped unrun (the result channel sees one result fewer).
  template <typename T, typename Work>
  Status submit(Sender<Result<T>> result_sender, Work work) const {
    static_assert(std::is_convertible_v<std::invoke_result_t<Work&&>, Result<T>>,
                  "the work must return Result<T>");
    worker_pool::JobBox job;
    try {
      job = std::make_unique<worker_pool::ResultJob<T, Work>>(std::move(result_sender),
                                                              std::move(work));
    } catch (const std::bad_alloc&) {
      return Err(CacheError::worker_failed());
    }
    if (!jobs_.send(std::move(job))) return Err(CacheError::worker_failed());
    return {};
  }

  // Queues a detached job that runs `work` (a one-shot noexcept callable
  // returning nothing) on a worker and sends nothing; the work reports through
  // state it shares with the submitter. Blocks while the queue is full; never
  // waits for the job to run. Fails with CacheError::worker_failed() when the
  // job cannot be allocated or no worker is left; the job is then dropped
  // unrun.
  template <typename Work>
  Status run_detached(Work work) const {
    static_assert(std::is_nothrow_invocable_r_v<void, Work&&>,
                  "detached work must be noexcept and return nothing");
    worker_pool::JobBox job;
    try {
      job = std::make_unique<worker_pool::DetachedJob<Work>>(std::move(work));
    } catch (const std::bad_alloc&) {
      return Err(CacheError::worker_failed());
    }
    if (!jobs_.send(std::move(job))) return Err(CacheError::worker_failed());
    return {};
  }

  // submit() for a loading job: an exception escaping `work` is reported as
  // CacheError::worker_failed() and the worker goes on.
  template <typename T, typename Work>
  Status submit_catching(Sender<Result<T>> result_sender, Work work) const {
    return submit(std::move(result_sender), [work = std::move(work)]() mutable -> Result<T> {
      return run_catching(std::move(work));
    });
  }

 private:
  Sender<worker_pool::JobBox> jobs_;  // the job queue's only sending end
};

}  // namespace zandrel
