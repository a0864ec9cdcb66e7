// The applying half of the list write road: the events a list write's
// producer sends (one source after another) and the committer that applies
// them, strictly in sequence order, to one cache builder at a time.
//
// A `Start` creates the builder in the source's temporary directory, each
// `Sample` is pushed into it, and `Finish` finishes the cache and publishes
// it by one rename. `Ready`, `Finish` and `Failed` each fill the source's
// result slot and count one source on the source-list display.
//
// The first error of a source wins: its builder is dropped unfinished, its
// temporary directory removed, its later samples dropped, and its error text
// becomes its result triple. Only an inconsistent event stream is returned as
// an error, which ends the whole call.
//
// Threads: everything here belongs to the write call's calling thread. Events
// themselves are plain values and may travel through worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "zandrel/storage/builder.hpp"
#include "zandrel/types.hpp"
#include "zandrel/writer/inputs.hpp"
#include "zandrel/writer/pipeline.hpp"
#include "zandrel/writer/profiler.hpp"
#include "zandrel/writer/progress.hpp"

namespace zandrel::writer {

// What the producer knows when a source is about to be written.
struct SourceWriteStart {
  std::string name;
  std::filesystem::path cache_path;  // base/name, where the cache is published
  std::filesystem::path temp_path;   // base/tmp/name, where it is built
  size_t index;                      // position in the list: the result slot
};

// One unit of the event stream. For every list entry the producer sends
// either one Ready, or one Start, its Samples, then one Finish or Failed.
struct PipelineEvent {
  // The source's outcome is known without writing (bad name, reuse, refused
  // paths).
  struct Ready {
    size_t index;
    WriteResult result;
  };
  using Start = SourceWriteStart;
  using Sample = WriterInput;
  // The source's iterator is exhausted.
  struct Finish {};
  // The producer failed on the source being written (iteration, a bad item).
  struct Failed {
    std::string message;
  };

  // Alternatives in tag order: Ready 0, Start 1, Sample 2, Finish 3, Failed 4.
  std::variant<Ready, Start, Sample, Finish, Failed> value;
};

// What a forwarding job sends back: a run of events, numbered from its first.
using SerializedPipelineMessage = ForwardingWindow<PipelineEvent>::Run;

// The payload bytes an event carries, for capping runs.
inline size_t item_bytes(const PipelineEvent& event) {
  const auto* sample = std::get_if<PipelineEvent::Sample>(&event.value);
  return sample ? sample->data.size() : 0;
}

// The source being written.
//
// Invariant, between events: `builder` is present exactly when `failure` is
// absent; a failed source never becomes healthy again.
struct ActiveSourceWrite {
  std::string name;                              // also the profiler's key
  std::filesystem::path cache_path;
  std::filesystem::path temp_path;
  size_t index;                                  // result slot
  std::optional<storage::CacheBuilder> builder;  // present while healthy
  WriteProgress progress;                        // the source's spinner
  WriterProfiler profiler;
  std::optional<std::string> failure;            // first error text, with cleanup suffixes

  // Records the first failure (a later one is lost), drops the builder
  // unfinished and removes the temporary directory.
  void mark_failed(const CacheError& error);

  // Removes the temporary directory if anything is there; a failed removal
  // appends "; cleanup failed: {}" to the failure (or becomes it).
  void cleanup_temp_cache();

  // ("error", name, failure), after one more cleanup attempt; "runtime
  // worker failed" when no failure was recorded. The spinner is released
  // unfinished.
  WriteResult error_result() &&;
};

// The applying side of one list write, owned by the SourceListWritePipeline.
class PipelineCommitter {
 public:
  // `slots` empty result slots, one per list entry. `config` supplies the
  // builders' settings and show_progress.
  PipelineCommitter(WriterConfig config, size_t slots, SourceListProgress progress,
                    WriterProfiler profiler);

  PipelineCommitter(PipelineCommitter&&) noexcept = default;
  PipelineCommitter& operator=(PipelineCommitter&&) noexcept = default;

  // Applies one event. A source's own failures are recorded in it and are
  // not errors here; WorkerFailed means the stream itself is inconsistent
  // (a Sample, Finish or Failed with no active source, a Start while one is
  // active, a result for a slot out of range or already filled).
  Status apply(PipelineEvent event);

  // End of a call that did not complete: a source still active is failed
  // with WorkerFailed (its temporary directory removed) and released.
  void abandon_active();

  // Finishes the source-list bar, if any, with its current message.
  void finish_progress() { progress_.finish(); }

  // The triples in list order; the first empty slot gives WorkerFailed.
  Result<std::vector<WriteResult>> take_results() &&;

  const SourceListProgress& progress() const { return progress_; }
  bool has_active() const { return active_.has_value(); }

 private:
  Status apply_start(SourceWriteStart start);
  Status apply_sample(WriterInput sample);
  Status apply_finish();
  Status apply_failed(std::string message);
  Status store_result(size_t index, WriteResult result);

  WriterConfig config_;
  SourceListProgress progress_;
  WriterProfiler profiler_;                        // cloned into each source
  std::vector<std::optional<WriteResult>> results_;  // each filled exactly once
  std::optional<ActiveSourceWrite> active_;        // from Start to Finish / Failed
};

}  // namespace zandrel::writer

namespace zandrel::writer::pipeline {

// A filled slot's triple, or WorkerFailed for an empty one.
Result<WriteResult> require_write_result(std::optional<WriteResult>& slot);

}  // namespace zandrel::writer::pipeline
