#include "zandrel/writer/list_pipeline.hpp"

#include <limits>
#include <string>
#include <utility>

namespace zandrel::writer {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMaxSequence = std::numeric_limits<uint64_t>::max();

CacheError sequence_overflow() {
  return CacheError::invalid_argument("pipeline sequence overflowed u64");
}

}  // namespace

// ---------------------------------------------------------------------------
// SourceListWritePipeline

SourceListWritePipeline::SourceListWritePipeline(std::shared_ptr<WorkerPool> pool,
                                                 PipelineCommitter committer, uint64_t window,
                                                 SignalCheck check_signals)
    : pool_(std::move(pool)),
      committer_(std::move(committer)),
      max_in_flight_(std::max<uint64_t>(1, window)),
      check_signals_(std::move(check_signals)) {
  auto [tx, rx] = make_bounded_channel<Message>(max_in_flight_);
  results_tx_ = std::move(tx);
  results_rx_ = std::move(rx);
}

SourceListWritePipeline::~SourceListWritePipeline() { release_committer(); }

void SourceListWritePipeline::release_committer() {
  if (!committer_) return;
  committer_->abandon_active();
  committer_->finish_progress();
  committer_.reset();
}

Status SourceListWritePipeline::complete_one() {
  ZR_ASSIGN_OR_RETURN(SerializedPipelineMessage message,
                      receive_worker_result(results_rx_, check_signals_));
  if (in_flight_ == 0) return Err(CacheError::worker_failed());
  --in_flight_;
  auto [slot, inserted] = pending_.try_emplace(message.seq, std::move(message.event));
  if (!inserted) {
    // One sequence number came back twice: the newer event takes the place.
    slot->second = std::move(message.event);
    return Err(CacheError::worker_failed());
  }
  if (!committer_) return Err(CacheError::worker_failed());

  for (auto next = pending_.find(next_commit_); next != pending_.end();
       next = pending_.find(next_commit_)) {
    PipelineEvent event = std::move(next->second);
    pending_.erase(next);
    ZR_RETURN_IF_ERROR(committer_->apply(std::move(event)));
    if (next_commit_ == kMaxSequence) return Err(sequence_overflow());
    ++next_commit_;
  }
  return {};
}

Status SourceListWritePipeline::submit(PipelineEvent event, uint64_t seq) {
  if (in_flight_ >= max_in_flight_) ZR_RETURN_IF_ERROR(complete_one());
  // The job only hands the event back; it cannot fail and catches nothing.
  SerializedPipelineMessage message{std::move(event), seq};
  ZR_RETURN_IF_ERROR(pool_->submit(
      results_tx_, [message = std::move(message)]() mutable -> Message {
        return std::move(message);
      }));
  ++in_flight_;
  return {};
}

Result<std::vector<WriteResult>> SourceListWritePipeline::finish() {
  // On an error here the committer stays inside and the destructor releases
  // it (active source failed, bar finished).
  while (in_flight_ > 0) ZR_RETURN_IF_ERROR(complete_one());
  if (!pending_.empty()) return Err(CacheError::worker_failed());
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
  // Events already out are still applied: a source whose Finish was sent
  // may yet be published, and results keep filling their slots.
  while (in_flight_ > 0) {
    if (!complete_one()) break;
  }
  release_committer();
  return fatal;
}

// ---------------------------------------------------------------------------
// PipelineIngress

Status PipelineIngress::send_event(PipelineEvent event) {
  const uint64_t seq = next_seq_;
  if (seq == kMaxSequence) return Err(sequence_overflow());
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
