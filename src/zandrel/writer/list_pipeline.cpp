#include "zandrel/writer/list_pipeline.hpp"

#include <limits>
#include <string>
#include <utility>

namespace zandrel::writer {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMaxSequence = std::numeric_limits<uint64_t>::max();

constexpr const char* kSequenceOverflow = "pipeline sequence overflowed u64";

}  // namespace

// ---------------------------------------------------------------------------
// SourceListWritePipeline

SourceListWritePipeline::SourceListWritePipeline(std::shared_ptr<WorkerPool> pool,
                                                 PipelineCommitter committer, uint64_t window,
                                                 SignalCheck check_signals)
    : window_(std::move(pool), window, std::move(check_signals), kSequenceOverflow),
      committer_(std::move(committer)) {}

SourceListWritePipeline::~SourceListWritePipeline() { release_committer(); }

void SourceListWritePipeline::release_committer() {
  if (!committer_) return;
  committer_->abandon_active();
  committer_->finish_progress();
  committer_.reset();
}

Status SourceListWritePipeline::apply(PipelineEvent event) {
  if (!committer_) return Err(CacheError::worker_failed());
  return committer_->apply(std::move(event));
}

Status SourceListWritePipeline::complete_one() {
  return window_.complete_one([this](PipelineEvent event) { return apply(std::move(event)); });
}

Status SourceListWritePipeline::submit(PipelineEvent event, uint64_t seq) {
  // A source's last event closes its run, so its outcome is not held back
  // behind the next source's samples.
  const bool ends_source = !std::holds_alternative<PipelineEvent::Start>(event.value) &&
                           !std::holds_alternative<PipelineEvent::Sample>(event.value);
  auto apply_event = [this](PipelineEvent ready) { return apply(std::move(ready)); };
  ZR_RETURN_IF_ERROR(window_.submit(std::move(event), seq, apply_event));
  if (ends_source) return window_.flush(apply_event);
  return {};
}

Result<std::vector<WriteResult>> SourceListWritePipeline::finish() {
  // On an error here the committer stays inside and the destructor releases
  // it (active source failed, bar finished).
  ZR_RETURN_IF_ERROR(
      window_.drain([this](PipelineEvent event) { return apply(std::move(event)); }));
  if (!committer_) return Err(CacheError::worker_failed());

  PipelineCommitter committer = std::move(*committer_);
  committer_.reset();
  // A consistent stream leaves no source active; a broken one must not leave
  // its temporary directory behind.
  committer.abandon_active();
  committer.finish_progress();
  return std::move(committer).take_results();
}

CacheError SourceListWritePipeline::abort(CacheError fatal) {
  // Events already sent are still applied: a source whose Finish was sent
  // may yet be published, and results keep filling their slots.
  if (window_.flush([this](PipelineEvent event) { return apply(std::move(event)); })) {
    while (window_.in_flight() > 0) {
      if (!complete_one()) break;
    }
  }
  release_committer();
  return fatal;
}

// ---------------------------------------------------------------------------
// PipelineIngress

Status PipelineIngress::send_event(PipelineEvent event) {
  const uint64_t seq = next_seq_;
  if (seq == kMaxSequence) return Err(CacheError::invalid_argument(kSequenceOverflow));
  ZR_RETURN_IF_ERROR(pipeline_.submit(std::move(event), seq));
  next_seq_ = seq + 1;
  return {};
}

// ---------------------------------------------------------------------------
// The producer

namespace {

class ListProducer {
 public:
  ListProducer(SourceList& sources, PipelineIngress& ingress, std::string_view base,
               const WriterConfig& config, const WriterProfiler& profiler)
      : sources_(sources), ingress_(ingress), base_(base), config_(config), profiler_(profiler) {}

  // Sends the events of entry `index`. An error ends the whole call.
  Status write_entry(size_t index) {
    // The entry is held before any host code runs for it, so a signal
    // handler that shrinks the list cannot take it away.
    std::unique_ptr<SampleSource> source = sources_.entry(index);
    if (source == nullptr) return Err(CacheError::worker_failed());
    ZR_RETURN_IF_ERROR(sources_.check_signals());

    Result<std::string> name = source->name();
    if (!name) {
      if (stops_call(name.error())) return Err(std::move(name).error());
      return ready(index, error_write_result(source_label(index), name.error()));
    }

    fs::path final_path = final_cache_path(base_, *name);
    if (config_.reuse_existing && path_exists(final_path)) {
      return ready(index, reuse_existing_result(*name, final_path, config_.validate_cache));
    }
    fs::path temp_path = temp_cache_path_for_source(base_, *name);
    if (Status prepared = prepare_cache_paths(final_path, temp_path); !prepared) {
      return ready(index, error_write_result(*name, prepared.error()));
    }

    ZR_RETURN_IF_ERROR(ingress_.send_event(PipelineEvent{PipelineEvent::Start{
        .name = *name,
        .cache_path = std::move(final_path),
        .temp_path = std::move(temp_path),
        .index = index,
    }}));
    Status pulled = source->start_iteration();
    if (pulled) {
      pulled = pull_samples(*source, *name, profiler_, [this](WriterInput input) {
        return ingress_.send_event(PipelineEvent{std::move(input)});
      });
    }
    if (pulled) return ingress_.send_event(PipelineEvent{PipelineEvent::Finish{}});
    if (stops_call(pulled.error())) return Err(std::move(pulled).error());
    // Any other failure is the source's: the committer turns it into the
    // source's triple and removes its temporary directory.
    return ingress_.send_event(PipelineEvent{PipelineEvent::Failed{pulled.error().to_string()}});
  }

 private:
  Status ready(size_t index, WriteResult result) {
    return ingress_.send_event(PipelineEvent{PipelineEvent::Ready{index, std::move(result)}});
  }

  SourceList& sources_;
  PipelineIngress& ingress_;
  std::string_view base_;
  const WriterConfig& config_;
  const WriterProfiler& profiler_;
};

}  // namespace

Result<std::vector<WriteResult>> write_source_list(SourceList& sources,
                                                   std::string_view base_cache_dir,
                                                   const WriterConfig& config,
                                                   WriterProfiler profiler) {
  const size_t total = sources.length();
  PipelineCommitter committer(config, total,
                              SourceListProgress::create(config.show_progress, total), profiler);
  SourceListWritePipeline pipeline(config.pool, std::move(committer), config.window(),
                                   [&sources] { return sources.check_signals(); });
  PipelineIngress ingress(pipeline);
  ListProducer producer(sources, ingress, base_cache_dir, config, profiler);

  // Entries appended during the call are never visited; removing entries
  // stops the walk early (their empty slots then fail the call).
  const size_t initial_length = sources.length();
  for (size_t index = 0; index < initial_length && index < sources.length(); ++index) {
    Status written = producer.write_entry(index);
    if (!written) return Err(pipeline.abort(std::move(written).error()));
  }
  return pipeline.finish();
}

}  // namespace zandrel::writer
