#include "zandrel/writer/pipeline.hpp"

#include <cerrno>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "zandrel/storage/loader.hpp"

namespace zandrel::writer {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kMaxSequence = std::numeric_limits<uint64_t>::max();

CacheError sequence_overflow() {
  return CacheError::invalid_argument("sample sequence overflowed u64");
}

}  // namespace

// ---------------------------------------------------------------------------
// SampleWritePipeline

SampleWritePipeline::SampleWritePipeline(storage::CacheBuilder builder, std::string source_name,
                                         WriteProgress progress, std::shared_ptr<WorkerPool> pool,
                                         WriterProfiler profiler, uint64_t max_in_flight,
                                         SignalCheck check_signals)
    : builder_(std::move(builder)),
      source_name_(std::move(source_name)),
      progress_(std::move(progress)),
      pool_(std::move(pool)),
      profiler_(std::move(profiler)),
      max_in_flight_(std::max<uint64_t>(1, max_in_flight)),
      check_signals_(std::move(check_signals)) {
  // Capacity = window, so a forwarding job's send never blocks.
  auto [tx, rx] = make_bounded_channel<Result<SerializedSample>>(max_in_flight_);
  results_tx_ = std::move(tx);
  results_rx_ = std::move(rx);
}

Status SampleWritePipeline::submit(WriterInput sample, uint64_t sequence) {
  if (in_flight_ >= max_in_flight_) ZR_RETURN_IF_ERROR(complete_one());
  // The job only hands the sample back; it cannot fail.
  SerializedSample serialized{std::move(sample), sequence};
  ZR_RETURN_IF_ERROR(pool_->submit(
      results_tx_, [serialized = std::move(serialized)]() mutable -> Result<SerializedSample> {
        return std::move(serialized);
      }));
  ++in_flight_;
  return {};
}

Status SampleWritePipeline::complete_one() {
  ZR_ASSIGN_OR_RETURN(SerializedSample sample,
                      receive_worker_result(results_rx_, check_signals_));
  if (in_flight_ == 0) return Err(CacheError::worker_failed());
  --in_flight_;
  const uint64_t sequence = sample.sequence;
  auto [slot, inserted] = pending_.try_emplace(sequence, std::move(sample));
  if (!inserted) {
    // A sequence number came back twice: the newer sample takes the place.
    slot->second = std::move(sample);
    return Err(CacheError::worker_failed());
  }
  return commit_ready();
}

Status SampleWritePipeline::commit_ready() {
  for (auto next = pending_.find(next_commit_); next != pending_.end();
       next = pending_.find(next_commit_)) {
    WriterInput input = std::move(next->second.input);
    pending_.erase(next);
    const uint64_t data_len = input.data.size();
    ZR_ASSIGN_OR_RETURN(storage::SampleWriteStats stats,
                        builder_.push_sample(std::move(input.data), std::move(input.metadata)));
    profiler_.record_sample(source_name_, stats);
    progress_.record_sample(data_len);
    if (next_commit_ == kMaxSequence) return Err(sequence_overflow());
    ++next_commit_;
  }
  return {};
}

Status SampleWritePipeline::drain() {
  while (in_flight_ > 0) ZR_RETURN_IF_ERROR(complete_one());
  if (!pending_.empty()) return Err(CacheError::worker_failed());
  return {};
}

Status SampleWritePipeline::finish() && {
  ZR_ASSIGN_OR_RETURN(storage::FinishedCache finished, std::move(builder_).finish());
  profiler_.record_finish(source_name_, finished.stats);
  progress_.finish();
  return {};
}

// ---------------------------------------------------------------------------
// The road

WriteResult reuse_existing_result(std::string name, const fs::path& final_path,
                                  bool validate_cache) {
  if (validate_cache) {
    // Opened with every checksum and metadata row checked, then dropped.
    Result<storage::LoadedCache> loaded = storage::load_cache(final_path, /*validate=*/true);
    if (!loaded) return error_write_result(std::move(name), loaded.error());
  }
  return success_write_result(std::move(name), final_path);
}

Status pull_samples(SampleSource& source, std::string_view name, const WriterProfiler& profiler,
                    const std::function<Status(WriterInput)>& submit) {
  for (;;) {
    ZR_RETURN_IF_ERROR(source.check_signals());

    const Clock::time_point next_started = Clock::now();
    Result<bool> pulled = source.next_item();
    profiler.record_bytes(name, WriterStage::kPythonNext, Clock::now() - next_started, 0);
    if (!pulled) return Err(std::move(pulled).error());
    if (!*pulled) return {};

    const Clock::time_point extract_started = Clock::now();
    ZR_ASSIGN_OR_RETURN(WriterInput input, source.extract_item());
    const Clock::time_point extracted = Clock::now();
    profiler.record_bytes(name, WriterStage::kPythonExtract, extracted - extract_started,
                          input.data.size());

    ZR_RETURN_IF_ERROR(submit(std::move(input)));
    profiler.record_bytes(name, WriterStage::kIngressWait, Clock::now() - extracted, 0);
  }
}

namespace {

// The path without trailing "." segments and slashes.
std::string without_trailing_dots(const fs::path& path) {
  std::string text = path.native();
  for (;;) {
    if (text.size() > 1 && text.back() == '/') {
      text.pop_back();
    } else if (text.size() > 2 && text.ends_with("/.")) {
      text.resize(text.size() - 2);
    } else {
      return text;
    }
  }
}

// Builds the cache in the temporary directory: creates the builder, pulls
// the source's items through the pipeline, drains it and finishes the cache.
// Every object it makes (builder, pipeline, progress line) is gone when it
// returns, so the caller can remove the temporary directory.
Status build_cache(SampleSource& source, const std::string& name, const fs::path& temp_path,
                   const WriterConfig& config, const WriterProfiler& profiler) {
  ZR_ASSIGN_OR_RETURN(storage::CacheBuilder builder,
                      storage::CacheBuilder::create(temp_path, name, config.max_shard_bytes.value,
                                                    config.shard_compression));
  ZR_RETURN_IF_ERROR(source.start_iteration());

  SampleWritePipeline pipeline(std::move(builder), name,
                               WriteProgress::create(config.show_progress, name), config.pool,
                               profiler, config.window(),
                               [&source] { return source.check_signals(); });
  uint64_t sequence = 0;
  ZR_RETURN_IF_ERROR(pull_samples(source, name, profiler, [&](WriterInput input) -> Status {
    ZR_RETURN_IF_ERROR(pipeline.submit(std::move(input), sequence));
    if (sequence == kMaxSequence) return Err(sequence_overflow());
    ++sequence;
    return {};
  }));
  ZR_RETURN_IF_ERROR(pipeline.drain());
  return std::move(pipeline).finish();
}

}  // namespace

Status publish_cache(std::string_view name, const fs::path& temp_path, const fs::path& final_path,
                     const WriterProfiler& profiler) {
  const std::string from = without_trailing_dots(temp_path);
  const std::string to = without_trailing_dots(final_path);
  const Clock::time_point started = Clock::now();
  const int rc = std::rename(from.c_str(), to.c_str());
  const int rename_errno = errno;
  profiler.record_bytes(name, WriterStage::kPublish, Clock::now() - started, 0);
  if (rc != 0) return Err(CacheError::io(rename_errno));
  return {};
}

Result<WriteResult> write_single_source(SampleSource& source, std::string_view base_cache_dir,
                                        const WriterConfig& config,
                                        const WriterProfiler& profiler) {
  Result<std::string> name = source.name();
  if (!name) {
    if (stops_call(name.error())) return Err(std::move(name).error());
    return error_write_result(source_label(0), name.error());
  }

  const fs::path final_path = final_cache_path(base_cache_dir, *name);
  if (config.reuse_existing && path_exists(final_path)) {
    return reuse_existing_result(std::move(*name), final_path, config.validate_cache);
  }

  const fs::path temp_path = temp_cache_path_for_source(base_cache_dir, *name);
  if (Status prepared = prepare_cache_paths(final_path, temp_path); !prepared) {
    return error_write_result(std::move(*name), prepared.error());
  }

  Status written = build_cache(source, *name, temp_path, config, profiler);
  if (written) written = publish_cache(*name, temp_path, final_path, profiler);
  if (written) return success_write_result(std::move(*name), final_path);

  // Cleanup: nothing of a failed build stays, except base/tmp itself. A
  // failed removal replaces the error, whatever it was.
  CacheError error = std::move(written).error();
  if (Status removed = remove_temp_cache(temp_path); !removed) error = std::move(removed).error();
  if (stops_call(error)) return Err(std::move(error));
  return error_write_result(std::move(*name), error);
}

}  // namespace zandrel::writer
