// RuntimeIterator: one epoch of a dataset, delivered strictly in plan order
// while the samples load out of order on the worker pool.
//
// The calling thread turns each plan position into a physical sample index and
// submits one load job for it; at most `window` = min(prefetch_size,
// num_workers, epoch length) loads are in flight, and the window is refilled
// before each sample is handed out. Results come back on a channel of
// capacity `window` (so a worker never blocks on its send) and wait in an
// ordered map until their turn. The first error stops the epoch; releasing the
// iterator cancels the loads still queued or running through a shared flag.
//
// Threads: a RuntimeIterator is used by one thread at a time (the host thread,
// behind its PyDatasetIterator's mutex). Its jobs run on the workers and share
// with it only the immutable caches and offsets, the cancel flag and the
// result channel. Python-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>

#include "zandrel/channel.hpp"
#include "zandrel/dataset.hpp"
#include "zandrel/sampling.hpp"
#include "zandrel/storage/loader.hpp"
#include "zandrel/types.hpp"
#include "zandrel/worker_pool.hpp"

namespace zandrel {

using storage::LoadedSample;

namespace runtime {

// Reads physical sample `physical` on the calling (worker) thread: the cache
// is the last one whose offset is <= physical (binary search), the index in it
// is physical minus that offset. Errors: InvalidCache "physical sample {} is
// out of range" (before the first cache or past the end of its cache), "cache
// id is out of range" (more offsets than caches), and the sample reader's own.
Result<LoadedSample> load_planned_sample(const LoadedCaches& caches,
                                         std::span<const size_t> cache_offsets, size_t physical,
                                         storage::ShardReaderCache& readers);

// How a load job reads one sample on its worker. Empty means
// load_planned_sample with the worker thread's own shard reader cache; tests
// pass their own to control timing and failures.
using SampleLoadFn = std::function<Result<LoadedSample>(
    const LoadedCaches& caches, std::span<const size_t> cache_offsets, size_t physical)>;

}  // namespace runtime

// A loaded sample with its sequence number in the plan.
struct LoadedResult {
  LoadedSample sample;
  size_t seq;
};

class RuntimeIterator {
 public:
  // Starts loading the epoch of `plan`: fills the window at once (submitting
  // may block while the pool's queue is full). When the plan cannot answer or
  // the pool refuses a job, the half-built iterator is released, cancelling
  // what it had submitted, and CacheError::worker_failed() is returned.
  // REQUIRES: prefetch_size >= 1, num_workers >= 1.
  static Result<std::unique_ptr<RuntimeIterator>> start(
      std::shared_ptr<WorkerPool> pool, std::shared_ptr<const LoadedCaches> caches,
      std::shared_ptr<const std::vector<size_t>> cache_offsets, EpochPlan plan,
      size_t prefetch_size, size_t num_workers, runtime::SampleLoadFn load = {});

  RuntimeIterator(const RuntimeIterator&) = delete;
  RuntimeIterator& operator=(const RuntimeIterator&) = delete;
  // Sets the cancel flag before anything else is released; waits for nothing.
  ~RuntimeIterator();

  // The next sample in plan order, nullopt once the epoch is over, or the
  // first error (after which the iterator is stopped and returns nullopt).
  // Blocks on the result channel while the sample it needs is loading.
  Result<std::optional<LoadedSample>> next();

  size_t total() const { return total_; }
  size_t window() const { return window_; }

 private:
  // What every load job of this iterator shares: the immutable inputs and the
  // cancel flag, behind one shared handle per job.
  struct JobContext {
    std::shared_ptr<const LoadedCaches> caches;
    std::shared_ptr<const std::vector<size_t>> cache_offsets;
    runtime::SampleLoadFn load;
    // Written with release (stop, release), read with acquire by the jobs,
    // before their read and again after it.
    std::atomic<bool> cancelled{false};
  };
  using Message = Result<LoadedResult>;

  RuntimeIterator(EpochPlan plan, std::shared_ptr<WorkerPool> pool,
                  std::shared_ptr<JobContext> context, size_t window);

  // Submits loads while fewer than `window` are in flight and the plan has
  // positions left. A failure leaves the counters unchanged.
  Status schedule_available();
  // Ends the epoch at once: later calls to next() return nullopt, and jobs
  // still queued or running discard their work.
  void stop();
  // stop(), then the error.
  Result<std::optional<LoadedSample>> fail(CacheError error);

  EpochPlan plan_;
  std::shared_ptr<WorkerPool> pool_;
  std::shared_ptr<JobContext> context_;
  Sender<Message> sender_;      // kept only to hand each job a copy
  Receiver<Message> receiver_;
  std::map<size_t, LoadedSample> pending_;  // arrived ahead of their turn; keys > next_emit_
  size_t window_;          // in-flight limit, >= 1 unless the epoch is empty
  size_t next_schedule_ = 0;  // sequence number of the next load to submit
  size_t in_flight_ = 0;      // submitted and not yet received; <= window_
  size_t next_emit_ = 0;      // sequence number of the next sample to deliver
  size_t emitted_ = 0;        // delivered so far, or total_ once stopped
  size_t total_;              // samples in the epoch
};

}  // namespace zandrel
