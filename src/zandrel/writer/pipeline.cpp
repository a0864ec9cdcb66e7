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

constexpr const char* kSequenceOverflow = "sample sequence overflowed u64";

}  // namespace

// ---------------------------------------------------------------------------
// SampleWritePipeline

SampleWritePipeline::SampleWritePipeline(storage::CacheBuilder builder, std::string source_name,
                                         WriteProgress progress, std::shared_ptr<WorkerPool> pool,
                                         WriterProfiler profiler, uint64_t max_in_flight,
                                         SignalCheck check_signals)
    : window_(std::move(pool), max_in_flight, std::move(check_signals),
              kSequenceOverflow),
      builder_(std::move(builder)),
      source_name_(std::move(source_name)),
      progress_(std::move(progress)),
      profiler_(std::move(profiler)) {}

Status SampleWritePipeline::submit(WriterInput sample, uint64_t sequence) {
  return window_.submit(std::move(sample), sequence,
                        [this](WriterInput input) { return commit(std::move(input)); });
}

Status SampleWritePipeline::complete_one() {
  return window_.complete_one([this](WriterInput input) { return commit(std::move(input)); });
}

Status SampleWritePipeline::drain() {
  return window_.drain([this](WriterInput input) { return commit(std::move(input)); });
}

Status SampleWritePipeline::commit(WriterInput input) {
  const uint64_t data_len = input.data.size();
  ZR_ASSIGN_OR_RETURN(storage::SampleWriteStats stats,
                      builder_.push_sample(std::move(input.data), std::move(input.metadata)));
  profiler_.record_sample(source_name_, stats);
  progress_.record_sample(data_len);
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
  // The clock is read only for a profile that keeps the times.
  const bool timed = profiler.enabled();
  auto now = [timed] { return timed ? Clock::now() : Clock::time_point{}; };
  for (;;) {
    ZR_RETURN_IF_ERROR(source.check_signals());

    const Clock::time_point next_started = now();
    Result<bool> pulled = source.next_item();
    profiler.record_bytes(name, WriterStage::kPythonNext, now() - next_started, 0);
    if (!pulled) return Err(std::move(pulled).error());
    if (!*pulled) return {};

    const Clock::time_point extract_started = now();
    ZR_ASSIGN_OR_RETURN(WriterInput input, source.extract_item());
    const Clock::time_point extracted = now();
    profiler.record_bytes(name, WriterStage::kPythonExtract, extracted - extract_started,
                          input.data.size());

    ZR_RETURN_IF_ERROR(submit(std::move(input)));
    profiler.record_bytes(name, WriterStage::kIngressWait, now() - extracted, 0);
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
                                                    config.shard_compression, config.pool));
  builder.time_stages(profiler.enabled());
  ZR_RETURN_IF_ERROR(source.start_iteration());

  SampleWritePipeline pipeline(std::move(builder), name,
                               WriteProgress::create(config.show_progress, name), config.pool,
                               profiler, config.window(),
                               [&source] { return source.check_signals(); });
  uint64_t sequence = 0;
  ZR_RETURN_IF_ERROR(pull_samples(source, name, profiler, [&](WriterInput input) -> Status {
    ZR_RETURN_IF_ERROR(pipeline.submit(std::move(input), sequence));
    if (sequence == std::numeric_limits<uint64_t>::max()) {
      return Err(CacheError::invalid_argument(kSequenceOverflow));
    }
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
