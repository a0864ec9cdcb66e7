// WriterProfiler: an optional record of where a write_cache call spent its
// time. For every source it keeps, per stage, how often the stage ran, its
// total duration and the bytes it handled; finish() writes them with the
// call's wall time as a pretty JSON file.
//
// The write pipelines time their own steps and hand each duration to
// record_bytes() under the source's name; writer::write_cache creates the
// profiler before the first source and calls finish() once at the end.
// A disabled profiler does nothing: no lock, no allocation, no file.
//
// Threads: a WriterProfiler is a cheap copyable handle to one shared state;
// copies may be used from any thread (one mutex guards the statistics and is
// held for the whole of finish(), file write included).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "zandrel/storage/builder.hpp"
#include "zandrel/types.hpp"

namespace zandrel::writer {

// The twelve timed stages of a write. The values are the stage indices; the
// profile lists stages by name, in byte order of the names.
enum class WriterStage : uint8_t {
  kPythonNext = 0,         // one call of the source iterator's next step
  kPythonExtract = 1,      // converting a yielded item into a sample
  kIngressWait = 2,        // handing one sample to the worker pool
  kMetadataValidate = 3,   // SampleWriteStats::metadata_validate
  kCompression = 4,        // SampleWriteStats::compression (bytes: data length)
  kRecordEncode = 5,       // SampleWriteStats::record_encode (bytes: record length)
  kDiskWrite = 6,          // SampleWriteStats::disk_write (bytes: record length)
  kShardFlush = 7,         // CacheFinishStats::shard_flush
  kFinishMetadata = 8,     // CacheFinishStats::finish_metadata
  kFinishIndex = 9,        // CacheFinishStats::finish_index
  kFinishManifest = 10,    // CacheFinishStats::finish_manifest
  kPublish = 11,           // the rename of the build directory, failed or not
};

inline constexpr size_t kWriterStageCount = 12;

// "python_next", "python_extract", ..., "publish".
std::string_view stage_name(WriterStage stage);

// Unsigned 128-bit integer (a GCC extension; -Wpedantic wants it marked).
__extension__ typedef unsigned __int128 Uint128;

// Totals of one stage of one source. All counters saturate.
struct StageStats {
  Uint128 total_ns = 0;  // sum of the recorded durations
  uint64_t calls = 0;    // number of records
  uint64_t bytes = 0;    // sum of the recorded byte counts
};

// Adds one record to `stats`, saturating every counter.
void add_record(StageStats& stats, Uint128 duration_ns, uint64_t bytes);

// The recorded stages of one source, keyed by stage name (byte order).
struct SourceStats {
  std::map<std::string_view, StageStats> stages;
};

// Sources by name in byte order.
using ProfileSources = std::map<std::string, SourceStats, std::less<>>;

// The profile text: {"format_version": 1, "elapsed_ns": N, "sources": [...]},
// each source {"source_name", "stages": [{"name", "calls", "total_ns",
// "bytes"}...]}, pretty-printed with a two-space indent, no final newline.
std::string render_profile(const ProfileSources& sources, Uint128 elapsed_ns);

class WriterProfiler {
 public:
  // Enabled: the profile is written to `path` by finish(). Disabled: every
  // operation is a no-op. Starts the call's wall clock. Cannot fail.
  static WriterProfiler create(bool enabled, std::filesystem::path path);

  // Whether records are kept: callers may skip taking times when not.
  bool enabled() const { return inner_->output_path.has_value(); }

  // Adds one record to `stage` of `source_name`. A negative duration counts
  // as zero. Never fails.
  void record_bytes(std::string_view source_name, WriterStage stage,
                    std::chrono::nanoseconds duration, uint64_t bytes) const;

  // The four push durations of one committed sample: metadata_validate (0
  // bytes), compression (data length), record_encode and disk_write (record
  // length).
  void record_sample(std::string_view source_name, const storage::SampleWriteStats& stats) const;

  // The four finish durations of a cache, each with 0 bytes.
  void record_finish(std::string_view source_name, const storage::CacheFinishStats& stats) const;

  // Writes the profile (parent directories created as needed, the file
  // created or truncated). Disabled: success without touching anything.
  // Failures: Io for the directories and opening the file, Json for writing
  // it (a partly written file is left). Call once, after the write ended.
  Status finish() const;

 private:
  struct Inner {
    std::optional<std::filesystem::path> output_path;  // set exactly when enabled
    std::chrono::steady_clock::time_point started;
    std::mutex mutex;
    ProfileSources sources;  // guarded by mutex
  };

  explicit WriterProfiler(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}

  std::shared_ptr<Inner> inner_;  // never null
};

}  // namespace zandrel::writer
