// The list write road: a list of sources becomes one cache per entry, written
// strictly one source after another, with one result triple per entry in
// list order.
//
// The producer walks the list on the calling thread: it reads each source's
// name, decides whether it needs writing at all (bad name, reuse, refused
// paths give a Ready event), pulls its samples and turns all of it into
// numbered PipelineEvents. Runs of consecutive events go through the worker
// pool as forwarding jobs that only send them back on the call's bounded
// results channel; the committer (committer.hpp) puts the events back in
// sequence order and applies them. At most `window` = min(num_workers,
// prefetch_size) runs are out at once; when the window is full the producer
// first lets the committer apply what came back.
//
// What ends the call: a host interruption or exit, any exception raised by
// the signal check before each entry, and a broken event machinery (sequence
// counter exhausted, job queue closed, inconsistent stream). Every other
// failure is one source's error triple. Caches published before the end stay
// published; a source whose Finish was already sent may still be published
// while the call drains.
//
// Threads: everything runs on the calling thread (holding the host's
// interpreter lock when the list is a host object), except the forwarding
// jobs, which own their event and a sender clone and touch nothing else.
//
// The road over a SourceList is host-free; the host list adapter is in
// list_pipeline_py.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "zandrel/channel.hpp"
#include "zandrel/types.hpp"
#include "zandrel/worker_pool.hpp"
#include "zandrel/writer/committer.hpp"
#include "zandrel/writer/inputs.hpp"
#include "zandrel/writer/pipeline.hpp"
#include "zandrel/writer/profiler.hpp"

namespace zandrel::writer {

// The state of one list write: the forwarding window and the committer that
// applies the events in sequence order. Owned by the calling thread for the
// duration of the call.
class SourceListWritePipeline {
 public:
  // `window` >= 1 is both the channel's capacity and the in-flight bound.
  // `check_signals` runs between the 100 ms slices of every wait.
  SourceListWritePipeline(std::shared_ptr<WorkerPool> pool, PipelineCommitter committer,
                          uint64_t window, SignalCheck check_signals);

  // If the committer is still inside (the call is being unwound), its active
  // source is failed and the source-list bar finished.
  ~SourceListWritePipeline();
  SourceListWritePipeline(const SourceListWritePipeline&) = delete;
  SourceListWritePipeline& operator=(const SourceListWritePipeline&) = delete;

  // Receives one message, files it under its sequence number and applies
  // every event now in turn. An error ends the call.
  Status complete_one();

  // Adds one numbered event to the open run; the run goes to the pool as
  // one forwarding job when it is full or the event ends its source (first
  // completing one run when the window is full). Closed queue: WorkerFailed.
  // The event is consumed either way.
  Status submit(PipelineEvent event, uint64_t seq);

  // Normal end: drains what is in flight, finishes the source-list bar and
  // returns the triples in list order. An empty slot, an event left in the
  // reorder buffer or a failed drain is an error.
  Result<std::vector<WriteResult>> finish();

  // Fatal end with `fatal`: drains what is in flight (still applying it; the
  // first error stops the drain and is discarded), fails a source still
  // active, finishes the bar and gives back `fatal`.
  CacheError abort(CacheError fatal);

  uint64_t in_flight() const { return window_.in_flight(); }
  uint64_t next_commit() const { return window_.next_commit(); }
  size_t pending() const { return window_.pending(); }
  // The committer while the call runs; null once an end took it out.
  const PipelineCommitter* committer() const { return committer_ ? &*committer_ : nullptr; }

 private:
  // Fails a source still active and finishes the bar; the committer is gone.
  void release_committer();

  // Applies one event, in sequence order, to the committer.
  Status apply(PipelineEvent event);

  ForwardingWindow<PipelineEvent> window_;
  std::optional<PipelineCommitter> committer_;
};

// The producer's handle on the pipeline: numbers events 0, 1, 2, ... without
// gaps. The largest number ever used is 2^64 - 2.
class PipelineIngress {
 public:
  explicit PipelineIngress(SourceListWritePipeline& pipeline, uint64_t next_seq = 0)
      : pipeline_(pipeline), next_seq_(next_seq) {}

  // Numbers and submits the event; "pipeline sequence overflowed u64" when
  // the numbers are exhausted. The event is consumed either way.
  Status send_event(PipelineEvent event);

 private:
  SourceListWritePipeline& pipeline_;
  uint64_t next_seq_;
};

// The road's view of a list of sources. The host adapter reads a host list;
// tests use plain C++ lists.
class SourceList {
 public:
  virtual ~SourceList() = default;
  // The list's current length (it may change while the call runs).
  virtual size_t length() = 0;
  // The entry at `index` (below length()), held until the returned object
  // goes.
  virtual std::unique_ptr<SampleSource> entry(size_t index) = 0;
  // Runs pending signal handlers.
  virtual Status check_signals() = 0;
};

// Writes every entry of the list: one triple per entry in list order, or the
// error that ended the call. `profiler` is the call's; the caller finishes it.
Result<std::vector<WriteResult>> write_source_list(SourceList& sources,
                                                   std::string_view base_cache_dir,
                                                   const WriterConfig& config,
                                                   WriterProfiler profiler);

}  // namespace zandrel::writer

namespace zandrel::writer::pipeline {

// The list road over a host list (or list subclass), after the duplicate
// destination check (list_pipeline_py.cpp).
Result<std::vector<WriteResult>> write_source_list(PyObject* sources,
                                                   std::string_view base_cache_dir,
                                                   const WriterConfig& config,
                                                   WriterProfiler profiler);

}  // namespace zandrel::writer::pipeline
