// The single-source write road: one source becomes one cache directory, built
// under base/tmp/<name> and published by one rename to base/<name>.
//
// Each extracted sample is numbered; runs of consecutive samples are handed
// to the runtime's worker pool as forwarding jobs that only send them back on
// this road's bounded result channel. At most `window` = min(num_workers,
// prefetch_size) runs are out at once; the calling thread puts the returned
// runs back in sequence order (a reorder buffer) and commits their samples
// to the CacheBuilder strictly in source order. The pool does no work on the
// samples: the trip bounds what is in flight and shares the queue fairly with
// the runtime's other users.
//
// Threads: everything here runs on the calling thread (which holds the host's
// interpreter lock when the source is a host object), except the forwarding
// jobs, which touch nothing but their sample and their channel sender. The
// calling thread blocks only in WorkerPool::submit (queue full) and in
// receive_worker_result, which waits in 100 ms slices with a signal check
// between them.
//
// The host-free parts (SampleWritePipeline, receive_worker_result, the road
// over a SampleSource) are usable and testable without an interpreter; the
// host source adapter is in pipeline_py.cpp.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "zandrel/channel.hpp"
#include "zandrel/storage/builder.hpp"
#include "zandrel/types.hpp"
#include "zandrel/worker_pool.hpp"
#include "zandrel/writer/inputs.hpp"
#include "zandrel/writer/profiler.hpp"
#include "zandrel/writer/progress.hpp"

namespace zandrel::writer {

// Where the profile goes. Without a usable `profiler` attribute the
// configuration is disabled with the default path.
struct WriterProfilerConfig {
  std::string path = "zandrel_profile.json";
  bool enabled = false;
};

// The configuration of one write_cache call, read once before anything is
// written. Copies share the pool.
struct WriterConfig {
  WriterProfilerConfig profiler;
  ShardCompression shard_compression;
  std::shared_ptr<WorkerPool> pool;
  MaxShardBytes max_shard_bytes;
  PrefetchSize prefetch_size;
  size_t num_workers;  // the runtime's worker count (>= 1)
  bool show_progress;
  bool validate_cache;  // a reused cache is loaded with validation first
  bool reuse_existing;  // an existing final path is accepted instead of writing

  // Samples (or events) in flight at most: min(num_workers, prefetch_size),
  // at least 1.
  size_t window() const { return std::max<size_t>(1, std::min(num_workers, prefetch_size.value)); }
};

// The profiler of a call made from its configuration.
inline WriterProfiler make_profiler(const WriterConfig& config) {
  return WriterProfiler::create(config.profiler.enabled, config.profiler.path);
}

// Runs pending host signal handlers; an error from it ends a wait.
using SignalCheck = std::function<Status()>;

// Whether an error ends the whole write call (the host asked to stop) instead
// of becoming a source's error triple.
inline bool stops_call(const CacheError& error) {
  return error.kind() == CacheError::Kind::kInterrupted || error.kind() == CacheError::Kind::kExit;
}

// Waits for one message on a writer result channel in 100 ms slices, running
// `check_signals` after each empty slice; its error ends the wait. There is no
// overall time-out. A channel without senders gives WorkerFailed.
template <typename T>
Result<T> receive_worker_result(const Receiver<Result<T>>& results,
                                const SignalCheck& check_signals) {
  constexpr auto kSlice = std::chrono::milliseconds(100);
  for (;;) {
    std::expected<Result<T>, RecvTimeoutError> message = results.recv_timeout(kSlice);
    if (message) return std::move(*message);
    if (message.error() == RecvTimeoutError::kDisconnected) return Err(CacheError::worker_failed());
    ZR_RETURN_IF_ERROR(check_signals());
  }
}

// An item on its way through the pool with its sequence number: a sample of
// one source (SerializedSample), or an event of a list write
// (SerializedPipelineMessage).
template <typename Item>
struct Numbered {
  Item item;
  uint64_t seq;
};

using SerializedSample = Numbered<WriterInput>;

// The payload bytes an item carries, for capping runs.
inline size_t item_bytes(const WriterInput& input) { return input.data.size(); }

// The in-flight window and reorder buffer of both write roads. Items are
// numbered 0, 1, 2, ... by the caller and gathered into runs of consecutive
// items; each run goes to the pool as one forwarding job that only sends it
// back. Runs return in completion order and their items are handed to
// `apply` strictly in sequence order. Handing over runs rather than single
// items pays one wake-up of a worker per run. Owned by the calling thread.
//
// Invariants: in_flight() <= the window = the results channel's capacity
// after every submit, so a job's send never blocks; every key of pending_ is
// greater than next_commit_; items 0 .. next_commit_ - 1 have been applied;
// the open run holds the items numbered from open_.seq on, not yet submitted.
template <typename Item>
class ForwardingWindow {
 public:
  using Run = Numbered<std::vector<Item>>;  // items numbered from seq on
  // Boxed, so that a run moves through the pool as one pointer.
  using Message = Result<std::unique_ptr<Run>>;

  // A run is handed over once it holds this many items or at least this many
  // payload bytes, so a large sample travels alone.
  static constexpr size_t kMaxRunItems = 256;
  static constexpr size_t kMaxRunBytes = 1 << 20;

  // `window` >= 1; `overflow_message` names the sequence that ran out.
  ForwardingWindow(std::shared_ptr<WorkerPool> pool, uint64_t window, SignalCheck check_signals,
                   const char* overflow_message)
      : pool_(std::move(pool)),
        max_in_flight_(std::max<uint64_t>(1, window)),
        check_signals_(std::move(check_signals)),
        overflow_message_(overflow_message) {
    auto [tx, rx] = make_bounded_channel<Message>(max_in_flight_);
    results_tx_ = std::move(tx);
    results_rx_ = std::move(rx);
  }

  // Adds `item`, numbered `seq` (one more than the item before it), to the
  // open run, and hands the run to the pool once it is full. Closed queue:
  // WorkerFailed. The item is consumed either way.
  template <typename Apply>
  Status submit(Item item, uint64_t seq, Apply&& apply) {
    if (open_.item.empty()) open_.seq = seq;
    open_bytes_ += item_bytes(item);
    open_.item.push_back(std::move(item));
    if (open_.item.size() >= kMaxRunItems || open_bytes_ >= kMaxRunBytes) return flush(apply);
    return {};
  }

  // Hands the open run, if it holds anything, to the pool, first completing
  // one run when the window is full. Closed queue: WorkerFailed; the run is
  // dropped on failure.
  template <typename Apply>
  Status flush(Apply&& apply) {
    if (open_.item.empty()) return {};
    auto run = std::make_unique<Run>(std::exchange(open_, Run{}));
    open_bytes_ = 0;
    if (in_flight_ >= max_in_flight_) ZR_RETURN_IF_ERROR(complete_one(apply));
    ZR_RETURN_IF_ERROR(
        pool_->submit(results_tx_, [run = std::move(run)]() mutable -> Message {
          return std::move(run);
        }));
    ++in_flight_;
    return {};
  }

  // Receives one run, files it under its first number and applies every item
  // now next in line; the first error of `apply` ends it (the rest of that
  // run is dropped). A number received twice is WorkerFailed.
  template <typename Apply>
  Status complete_one(Apply&& apply) {
    ZR_ASSIGN_OR_RETURN(std::unique_ptr<Run> run,
                        receive_worker_result(results_rx_, check_signals_));
    if (in_flight_ == 0) return Err(CacheError::worker_failed());
    --in_flight_;
    auto [slot, inserted] = pending_.try_emplace(run->seq, std::move(run->item));
    if (!inserted) {
      slot->second = std::move(run->item);  // the newer run takes the place
      return Err(CacheError::worker_failed());
    }
    for (auto next = pending_.find(next_commit_); next != pending_.end();
         next = pending_.find(next_commit_)) {
      std::vector<Item> ready = std::move(next->second);
      pending_.erase(next);
      for (Item& item : ready) {
        ZR_RETURN_IF_ERROR(apply(std::move(item)));
        if (next_commit_ == std::numeric_limits<uint64_t>::max()) {
          return Err(CacheError::invalid_argument(overflow_message_));
        }
        ++next_commit_;
      }
    }
    return {};
  }

  // Hands over the open run and completes everything in flight; an item
  // still filed afterwards (a gap in the sequence) is WorkerFailed.
  template <typename Apply>
  Status drain(Apply&& apply) {
    ZR_RETURN_IF_ERROR(flush(apply));
    while (in_flight_ > 0) ZR_RETURN_IF_ERROR(complete_one(apply));
    if (!pending_.empty()) return Err(CacheError::worker_failed());
    return {};
  }

  uint64_t in_flight() const { return in_flight_; }
  uint64_t next_commit() const { return next_commit_; }
  size_t pending() const { return pending_.size(); }

 private:
  std::shared_ptr<WorkerPool> pool_;
  Sender<Message> results_tx_;    // cloned into every job; kept, so the channel
                                  // never disconnects during the call
  Receiver<Message> results_rx_;  // read only by the calling thread
  Run open_{};                    // gathered, not yet submitted
  size_t open_bytes_ = 0;         // payload bytes of open_
  std::map<uint64_t, std::vector<Item>> pending_;  // runs returned ahead of their turn
  uint64_t next_commit_ = 0;          // next sequence number to apply
  uint64_t in_flight_ = 0;            // runs submitted, not yet received
  uint64_t max_in_flight_;            // the window (>= 1)
  SignalCheck check_signals_;
  const char* overflow_message_;
};

// The build of one source: the forwarding window and the builder the samples
// are committed to, in source order. Owned by the calling thread.
class SampleWritePipeline {
 public:
  SampleWritePipeline(storage::CacheBuilder builder, std::string source_name,
                      WriteProgress progress, std::shared_ptr<WorkerPool> pool,
                      WriterProfiler profiler, uint64_t max_in_flight, SignalCheck check_signals);

  // Adds one sample to the open run, handing the run to the pool once it is
  // full (first completing one returned run when the window is full). On
  // failure the sample is dropped.
  Status submit(WriterInput sample, uint64_t sequence);

  // Receives one returned run, files it and commits every sample that is now
  // next in line.
  Status complete_one();

  // Hands over the open run and completes everything in flight; a sample
  // still waiting afterwards (a gap in the sequence) is WorkerFailed.
  Status drain();

  // Finishes the cache (after drain()), records the finish stages and ends
  // the progress line. Consumes the pipeline.
  Status finish() &&;

  uint64_t in_flight() const { return window_.in_flight(); }
  uint64_t committed() const { return window_.next_commit(); }
  size_t pending() const { return window_.pending(); }

 private:
  // Writes one sample into the cache, in source order.
  Status commit(WriterInput input);

  ForwardingWindow<WriterInput> window_;
  storage::CacheBuilder builder_;  // the cache in the temporary directory
  std::string source_name_;        // the profiler's key
  WriteProgress progress_;
  WriterProfiler profiler_;
};

// The road's view of one source. The host adapter (pipeline_py.cpp) reads a
// host object; tests use plain C++ sources.
class SampleSource {
 public:
  virtual ~SampleSource() = default;
  // The source's name, checked to be one plain path segment.
  virtual Result<std::string> name() = 0;
  // Starts the iteration (the host's iter()).
  virtual Status start_iteration() = 0;
  // Runs pending signal handlers.
  virtual Status check_signals() = 0;
  // Pulls the next item: true when one was pulled, false at the end.
  virtual Result<bool> next_item() = 0;
  // Converts the pulled item into a sample and releases the item.
  virtual Result<WriterInput> extract_item() = 0;
};

// Pulls every item of `source` (already iterating) and hands each extracted
// sample to `submit`. A signal check runs before every item; the stages
// python_next (every call, whatever it gives), python_extract and
// ingress_wait (the time `submit` took) are recorded under `name`. Ends at
// the source's end, or with the first error of the check, the source or
// `submit`. Shared by both write roads.
Status pull_samples(SampleSource& source, std::string_view name, const WriterProfiler& profiler,
                    const std::function<Status(WriterInput)>& submit);

// Publishes a finished build by one rename of `temp_path` to `final_path`
// (no copy fallback), recorded as stage publish under `name` whether it
// succeeds or not. Trailing "/." segments and slashes are dropped first:
// rename(2) refuses a path ending in "/.", which a name such as "a/." gives.
Status publish_cache(std::string_view name, const std::filesystem::path& temp_path,
                     const std::filesystem::path& final_path, const WriterProfiler& profiler);

// The outcome of a source whose final path already exists and may be reused:
// success at once, or after storage::load_cache with validation succeeded.
WriteResult reuse_existing_result(std::string name, const std::filesystem::path& final_path,
                                  bool validate_cache);

// Writes one source: exactly one result triple, or an Interrupted / Exit
// error when the host asked to stop (the temporary directory is removed
// first). Every other failure is the source's error triple.
Result<WriteResult> write_single_source(SampleSource& source, std::string_view base_cache_dir,
                                        const WriterConfig& config, const WriterProfiler& profiler);

// --- Host side (pipeline_py.cpp, extension only) ----------------------------

// A SampleSource over a host object that has a `name` and yields (data,
// metadata) tuples. It holds its own reference to the object, so host code
// that drops the caller's reference (say, by removing a list entry) cannot
// free it while it is written.
std::unique_ptr<SampleSource> python_sample_source(PyObject* source);

// write_single_source over a host object.
Result<WriteResult> write_single_source(PyObject* source, std::string_view base_cache_dir,
                                        const WriterConfig& config, const WriterProfiler& profiler);

}  // namespace zandrel::writer
