#include "zandrel/writer/committer.hpp"

#include <utility>

namespace zandrel::writer {

// ---------------------------------------------------------------------------
// ActiveSourceWrite

void ActiveSourceWrite::mark_failed(const CacheError& error) {
  if (!failure) failure = error.to_string();
  builder.reset();  // closes its open shard; what it left goes with the directory
  cleanup_temp_cache();
}

void ActiveSourceWrite::cleanup_temp_cache() {
  Status removed = remove_temp_cache(temp_path);
  if (removed) return;
  std::string cleanup = removed.error().to_string();
  failure = failure ? *failure + "; cleanup failed: " + cleanup : std::move(cleanup);
}

WriteResult ActiveSourceWrite::error_result() && {
  builder.reset();
  // A directory an earlier removal left behind is tried once more.
  cleanup_temp_cache();
  std::string detail = failure ? std::move(*failure) : CacheError::worker_failed().to_string();
  return WriteResult{"error", std::move(name), std::move(detail)};
}

// ---------------------------------------------------------------------------
// PipelineCommitter

PipelineCommitter::PipelineCommitter(WriterConfig config, size_t slots,
                                     SourceListProgress progress, WriterProfiler profiler)
    : config_(std::move(config)),
      progress_(std::move(progress)),
      profiler_(std::move(profiler)),
      results_(slots) {}

Status PipelineCommitter::apply(PipelineEvent event) {
  return std::visit(
      [this](auto&& payload) -> Status {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, PipelineEvent::Ready>) {
          return store_result(payload.index, std::move(payload.result));
        } else if constexpr (std::is_same_v<T, PipelineEvent::Start>) {
          return apply_start(std::move(payload));
        } else if constexpr (std::is_same_v<T, PipelineEvent::Sample>) {
          return apply_sample(std::move(payload));
        } else if constexpr (std::is_same_v<T, PipelineEvent::Finish>) {
          return apply_finish();
        } else {
          return apply_failed(std::move(payload.message));
        }
      },
      std::move(event.value));
}

Status PipelineCommitter::apply_start(SourceWriteStart start) {
  if (active_) return Err(CacheError::worker_failed());
  SourceListProgress* container = progress_.has_bar() ? &progress_ : nullptr;
  WriteProgress spinner = WriteProgress::create(config_.show_progress, start.name, container);
  Result<storage::CacheBuilder> builder =
      storage::CacheBuilder::create(start.temp_path, start.name, config_.max_shard_bytes.value,
                                    config_.shard_compression, config_.pool);
  active_.emplace(ActiveSourceWrite{
      .name = std::move(start.name),
      .cache_path = std::move(start.cache_path),
      .temp_path = std::move(start.temp_path),
      .index = start.index,
      .builder = std::nullopt,
      .progress = std::move(spinner),
      .profiler = profiler_,
      .failure = std::nullopt,
  });
  if (builder) {
    builder->time_stages(profiler_.enabled());
    active_->builder.emplace(std::move(*builder));
  } else {
    // The source stays active, failed, until its Finish or Failed arrives;
    // a directory made before the failure goes now.
    active_->failure = builder.error().to_string();
    active_->cleanup_temp_cache();
  }
  return {};
}

Status PipelineCommitter::apply_sample(WriterInput sample) {
  if (!active_) return Err(CacheError::worker_failed());
  ActiveSourceWrite& source = *active_;
  if (source.failure) return {};  // a failed source's samples are dropped
  const uint64_t data_len = sample.data.size();
  Result<storage::SampleWriteStats> stats =
      source.builder->push_sample(std::move(sample.data), std::move(sample.metadata));
  if (!stats) {
    source.mark_failed(stats.error());
    return {};
  }
  source.profiler.record_sample(source.name, *stats);
  source.progress.record_sample(data_len);
  return {};
}

Status PipelineCommitter::apply_finish() {
  if (!active_) return Err(CacheError::worker_failed());
  ActiveSourceWrite source = std::move(*active_);
  active_.reset();
  const size_t index = source.index;
  if (source.failure) return store_result(index, std::move(source).error_result());

  // The builder is gone before anything is removed or renamed: a failed
  // finish must not leave a file of the build open while its directory goes.
  Result<storage::FinishedCache> finished = [&] {
    storage::CacheBuilder builder = std::move(*source.builder);
    source.builder.reset();
    return std::move(builder).finish();
  }();
  if (!finished) {
    source.mark_failed(finished.error());
    return store_result(index, std::move(source).error_result());
  }
  source.profiler.record_finish(source.name, finished->stats);
  source.progress.finish();

  Status renamed = publish_cache(source.name, source.temp_path, source.cache_path, source.profiler);
  if (!renamed) {
    source.mark_failed(renamed.error());
    return store_result(index, std::move(source).error_result());
  }
  return store_result(index, success_write_result(std::move(source.name), source.cache_path));
}

Status PipelineCommitter::apply_failed(std::string message) {
  if (!active_) return Err(CacheError::worker_failed());
  ActiveSourceWrite source = std::move(*active_);
  active_.reset();
  // An earlier failure of the committer's own stays the source's text.
  source.mark_failed(CacheError::invalid_argument(std::move(message)));
  const size_t index = source.index;
  return store_result(index, std::move(source).error_result());
}

Status PipelineCommitter::store_result(size_t index, WriteResult result) {
  if (index >= results_.size() || results_[index]) return Err(CacheError::worker_failed());
  results_[index] = std::move(result);
  progress_.record_result();
  return {};
}

void PipelineCommitter::abandon_active() {
  if (!active_) return;
  active_->mark_failed(CacheError::worker_failed());
  active_.reset();
}

Result<std::vector<WriteResult>> PipelineCommitter::take_results() && {
  std::vector<WriteResult> triples;
  triples.reserve(results_.size());
  for (std::optional<WriteResult>& slot : results_) {
    ZR_ASSIGN_OR_RETURN(WriteResult triple, pipeline::require_write_result(slot));
    triples.push_back(std::move(triple));
  }
  return triples;
}

}  // namespace zandrel::writer

namespace zandrel::writer::pipeline {

Result<WriteResult> require_write_result(std::optional<WriteResult>& slot) {
  if (!slot) return Err(CacheError::worker_failed());
  return std::move(*slot);
}

}  // namespace zandrel::writer::pipeline
