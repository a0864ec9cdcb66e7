#include "zandrel/writer/profiler.hpp"

#include <algorithm>
#include <limits>

#include "zandrel/json.hpp"
#include "zandrel/storage/format.hpp"
#include "zandrel/writer/inputs.hpp"

namespace zandrel::writer {
namespace {

constexpr std::array<std::string_view, kWriterStageCount> kStageNames = {
    "python_next",   "python_extract",  "ingress_wait", "metadata_validate",
    "compression",   "record_encode",   "disk_write",   "shard_flush",
    "finish_metadata", "finish_index",  "finish_manifest", "publish",
};

constexpr Uint128 kU128Max = ~Uint128{0};

uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<uint64_t>::max() : sum;
}

// Appends the decimal digits of `value` (at most 39 of them).
void append_u128(std::string& out, Uint128 value) {
  char digits[40];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

}  // namespace

std::string_view stage_name(WriterStage stage) {
  return kStageNames[static_cast<size_t>(stage)];
}

void add_record(StageStats& stats, Uint128 duration_ns, uint64_t bytes) {
  stats.total_ns = duration_ns > kU128Max - stats.total_ns ? kU128Max : stats.total_ns + duration_ns;
  stats.calls = saturating_add(stats.calls, 1);
  stats.bytes = saturating_add(stats.bytes, bytes);
}

// The layout is fixed, so the text is written directly: json::PrettyWriter
// takes numbers of at most 64 bits, and the totals have 128.
std::string render_profile(const ProfileSources& sources, Uint128 elapsed_ns) {
  std::string out = "{\n  \"format_version\": 1,\n  \"elapsed_ns\": ";
  append_u128(out, elapsed_ns);
  out += ",\n  \"sources\": [";
  std::string_view source_sep = "\n";
  for (const auto& [name, source] : sources) {
    out += source_sep;
    source_sep = ",\n";
    out += "    {\n      \"source_name\": ";
    json::write_string(out, name);
    out += ",\n      \"stages\": [";
    std::string_view stage_sep = "\n";
    for (const auto& [stage, stats] : source.stages) {
      out += stage_sep;
      stage_sep = ",\n";
      out += "        {\n          \"name\": ";
      json::write_string(out, stage);
      out += ",\n          \"calls\": ";
      json::write_uint(out, stats.calls);
      out += ",\n          \"total_ns\": ";
      append_u128(out, stats.total_ns);
      out += ",\n          \"bytes\": ";
      json::write_uint(out, stats.bytes);
      out += "\n        }";
    }
    out += source.stages.empty() ? "]" : "\n      ]";
    out += "\n    }";
  }
  out += sources.empty() ? "]" : "\n  ]";
  out += "\n}";
  return out;
}

WriterProfiler WriterProfiler::create(bool enabled, std::filesystem::path path) {
  auto inner = std::make_shared<Inner>();
  if (enabled) inner->output_path = std::move(path);
  inner->started = std::chrono::steady_clock::now();
  return WriterProfiler(std::move(inner));
}

void WriterProfiler::record_bytes(std::string_view source_name, WriterStage stage,
                                  std::chrono::nanoseconds duration, uint64_t bytes) const {
  if (!inner_->output_path) return;
  const Uint128 ns = duration.count() > 0 ? static_cast<Uint128>(duration.count()) : 0;
  std::lock_guard lock(inner_->mutex);
  auto it = inner_->sources.find(source_name);
  if (it == inner_->sources.end()) {
    it = inner_->sources.emplace(std::string(source_name), SourceStats{}).first;
  }
  add_record(it->second.stages[stage_name(stage)], ns, bytes);
}

void WriterProfiler::record_sample(std::string_view source_name,
                                   const storage::SampleWriteStats& stats) const {
  if (!inner_->output_path) return;
  record_bytes(source_name, WriterStage::kMetadataValidate, stats.metadata_validate, 0);
  record_bytes(source_name, WriterStage::kCompression, stats.compression, stats.data_len);
  record_bytes(source_name, WriterStage::kRecordEncode, stats.record_encode, stats.record_len);
  record_bytes(source_name, WriterStage::kDiskWrite, stats.disk_write, stats.record_len);
}

void WriterProfiler::record_finish(std::string_view source_name,
                                   const storage::CacheFinishStats& stats) const {
  if (!inner_->output_path) return;
  record_bytes(source_name, WriterStage::kShardFlush, stats.shard_flush, 0);
  record_bytes(source_name, WriterStage::kFinishMetadata, stats.finish_metadata, 0);
  record_bytes(source_name, WriterStage::kFinishIndex, stats.finish_index, 0);
  record_bytes(source_name, WriterStage::kFinishManifest, stats.finish_manifest, 0);
}

Status WriterProfiler::finish() const {
  if (!inner_->output_path) return {};
  const std::filesystem::path& path = *inner_->output_path;
  std::lock_guard lock(inner_->mutex);
  const auto elapsed = std::chrono::steady_clock::now() - inner_->started;
  const Uint128 elapsed_ns =
      static_cast<Uint128>(std::max<int64_t>(0, std::chrono::nanoseconds(elapsed).count()));
  const std::string text = render_profile(inner_->sources, elapsed_ns);

  ZR_RETURN_IF_ERROR(check_path_bytes(path));
  if (path.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return Err(CacheError::io(ec.value()));
  }
  ZR_ASSIGN_OR_RETURN(storage::BufferedWriter file, storage::BufferedWriter::create(path));
  // Failures while the text goes to the file count as serialisation
  // failures; the final write-out at closing is reported the same way.
  if (auto written = file.write(text); !written) {
    return Err(CacheError::json(written.error().message()));
  }
  if (auto closed = file.close(); !closed) {
    return Err(CacheError::json(closed.error().message()));
  }
  return {};
}

}  // namespace zandrel::writer
