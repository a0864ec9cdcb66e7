// RuntimeIterator: one epoch of a dataset, delivered strictly in plan order
// while its samples load out of order on the worker pool.
//
// The calling thread turns plan positions into physical sample indices and
// hands them to the pool in runs of consecutive positions: a run is capped by
// its sample count and by the stored bytes of its records (taken from the
// index rows before anything is read), so a large sample travels alone and
// the bytes held ahead of the host stay bounded. A worker ends a run early
// when its lz4 payloads would expand past the same cap; the positions it left
// come back with it and go out again, as a run of their own, before any new
// run.
// At most min(prefetch_size, num_workers + 1, epoch length) runs are out at
// once: the window of min(prefetch_size, num_workers, epoch length) loads in
// parallel, and, when prefetch_size allows, one more queued behind them. A
// worker that finishes a run so finds the next one waiting, rather than
// idling until the calling thread has taken the run in and handed out
// another. Runs come back on a channel of that capacity, and runs out never
// number more, so a worker never blocks on its send. Runs held ahead of the
// host, out or arrived and waiting for their turn in an ordered map, number
// at most that count plus two, and that only briefly: a run just received
// joins the map after its slot has been filled again, and next() may send
// out given-back positions the host needs next past the bound (see there).
//
// The run buffers come from a pool of the iterator's own, which reuses them
// run after run (so a steady epoch maps and touches no new memory) and lets
// its free buffers go when the epoch ends or the iterator stops.
//
// A run ends at its first failing sample. The iterator delivers every sample
// before it, then raises that failure at its own position and stops the
// epoch. Releasing the iterator, or stopping it, cancels the loads still
// queued or running through a shared flag: a run stops between samples.
//
// Threads: a RuntimeIterator is used by one thread at a time (the host thread,
// behind its PyDatasetIterator's mutex). Its jobs run on the workers and share
// with it only the immutable caches and offsets, the cancel flag, the buffer
// pool and the result channel. Python-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>

#include "zandrel/channel.hpp"
#include "zandrel/dataset.hpp"
#include "zandrel/sample_runs.hpp"
#include "zandrel/sampling.hpp"
#include "zandrel/storage/buffer_pool.hpp"
#include "zandrel/storage/loader.hpp"
#include "zandrel/types.hpp"
#include "zandrel/worker_pool.hpp"

namespace zandrel {

using storage::LoadedSample;


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

  // A run holds at most this many samples, and no more stored (or decoded)
  // bytes than runtime::kRunBytes unless it is a single sample.
  static constexpr size_t kMaxRunSamples = 1024;
  // Bytes of the next payload fetched towards the cache ahead of its copy.
  static constexpr size_t kPrefetchBytes = 4096;

  RuntimeIterator(const RuntimeIterator&) = delete;
  RuntimeIterator& operator=(const RuntimeIterator&) = delete;
  // Sets the cancel flag before anything else is released; waits for nothing.
  ~RuntimeIterator();

  // The next sample in plan order, nullopt once the epoch is over, or the
  // first error (after which the iterator is stopped and returns nullopt).
  // Blocks on the result channel while the sample it needs is loading.
  Result<std::optional<LoadedSample>> next();


 private:
  // What every load job of this iterator shares: the immutable inputs, the
  // buffers and the cancel flag, behind one shared handle per job.
  struct JobContext {
    std::shared_ptr<const LoadedCaches> caches;
    std::shared_ptr<const std::vector<size_t>> cache_offsets;
    runtime::SampleLoadFn load;
    std::shared_ptr<storage::BufferPool> buffers;
    // Written with release (stop, release), read with acquire by the jobs
    // before each sample.
    std::atomic<bool> cancelled{false};
  };
  using Message = Result<runtime::LoadedRun>;

  RuntimeIterator(EpochPlan plan, std::shared_ptr<WorkerPool> pool,
                  std::shared_ptr<JobContext> context, size_t window, size_t max_held);

  // Submits runs while fewer than max_held_ are held (out or waiting) and
  // the plan has positions left; given-back positions first.
  Status schedule_available();
  // The physical indices of the next run, from next_schedule_ on.
  Result<std::vector<size_t>> plan_next_run();
  // Submits one run of `physicals` from sequence number `first_seq`.
  Status submit_run(size_t first_seq, std::vector<size_t> physicals);
  // Submits the earliest positions a run gave back. REQUIRES: !returned_.empty().
  Status submit_returned();
  // Lets go of everything the epoch held: runs waiting, and the pool's free
  // buffers (and every buffer given back to it from now on).
  void release_buffers();
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
  // Runs that arrived ahead of their turn, by first sequence number (> next_emit_).
  std::map<size_t, runtime::LoadedRun> pending_;
  // The positions runs left unread for lack of room, by first sequence
  // number, as physical indices; handed out again before any new run.
  std::map<size_t, std::vector<size_t>> returned_;
  runtime::LoadedRun current_;  // the run being delivered: its samples from current_next_
  size_t current_next_ = 0;
  // Sequence numbers next_schedule_ on, asked of the plan but left out of
  // the last run by its byte cap: the physical index and its index row (null
  // when it cannot be located; its load reports why).
  struct Asked {
    size_t physical;
    const storage::IndexEntry* row;
  };
  std::deque<Asked> asked_;
  size_t window_;          // >= 1 unless the epoch is empty
  size_t max_held_;        // runs out, at most; runs held (out or in pending_) <= max_held_ + 2
  size_t next_schedule_ = 0;  // sequence number of the next sample to submit
  size_t in_flight_ = 0;      // runs submitted and not yet received; <= max_held_
  size_t next_emit_ = 0;      // sequence number of the next sample to deliver
  size_t emitted_ = 0;        // delivered so far, or total_ once stopped
  size_t total_;              // samples in the epoch
};

}  // namespace zandrel
