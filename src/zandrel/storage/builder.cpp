#include "zandrel/storage/builder.hpp"

#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <system_error>
#include <utility>

#include "zandrel/compression.hpp"
#include "zandrel/json.hpp"
#include "zandrel/metadata_json.hpp"
#include "zandrel/storage/metadata_arrow.hpp"

namespace zandrel::storage {
namespace {

using Clock = std::chrono::steady_clock;

StageDuration since(Clock::time_point start) {
  return std::chrono::duration_cast<StageDuration>(Clock::now() - start);
}

// Initial capacity of the buffer a record's metadata JSON is written into.
constexpr size_t kMetadataJsonCapacity = 128;
// Width of the record's leading metadata length field.
constexpr size_t kRecordLengthFieldSize = 8;

// The head of a sample record: u64 M little-endian, then the M bytes of the
// metadata's compact JSON. The payload follows it in the shard unchanged.
// The schema's names are the first sample's keys in byte order, so writing
// the row in schema order writes the object a map of it would give, without
// building that map.
std::string encode_record_head(const MetadataSchema& schema, const MetadataRow& row) {
  std::string head;
  head.reserve(kRecordLengthFieldSize + kMetadataJsonCapacity);
  head.resize(kRecordLengthFieldSize);
  head += '{';
  for (size_t i = 0; i < schema.size(); ++i) {
    if (i != 0) head += ',';
    json::write_string(head, schema[i].name);
    head += ':';
    write_metadata_value(head, row[i]);
  }
  head += '}';
  store_u64_le(reinterpret_cast<uint8_t*>(head.data()), head.size() - kRecordLengthFieldSize);
  return head;
}

}  // namespace

// ---------------------------------------------------------------------------
// OpenShard

Result<OpenShard> OpenShard::create(const std::filesystem::path& root, uint64_t id,
                                    std::shared_ptr<WorkerPool> pool) {
  std::string name = shard_file_name(id);
  ZR_ASSIGN_OR_RETURN(ShardSink sink, ShardSink::create(root / kShardsDirName / name, std::move(pool)));
  return OpenShard(std::move(name), std::move(sink), id);
}

Result<IndexEntry> OpenShard::write_payload(std::span<const uint8_t> head,
                                            std::vector<uint8_t> payload, uint64_t data_len) {
  const uint64_t record_len = head.size() + payload.size();
  ZR_RETURN_IF_ERROR(sink_.append(head));
  ZR_RETURN_IF_ERROR(sink_.append(std::move(payload)));
  const uint64_t offset = byte_len_;
  byte_len_ += record_len;
  if (data_len > std::numeric_limits<uint64_t>::max() - uncompressed_byte_len_) {
    return Err(CacheError::invalid_argument("shard uncompressed byte length overflowed u64"));
  }
  uncompressed_byte_len_ += data_len;
  return IndexEntry{id_, offset, record_len};
}

Result<ShardManifest> OpenShard::finish(const ShardCompression& compression) && {
  // The sink closes the file even when a write failed.
  ZR_ASSIGN_OR_RETURN(std::string sha256, std::move(sink_).finish());
  return ShardManifest{std::move(name_), uncompressed_byte_len_, byte_len_, compression,
                       std::move(sha256)};
}

// ---------------------------------------------------------------------------
// CacheBuilder

CacheBuilder::CacheBuilder(std::filesystem::path path, std::string source_name, OpenShard shard0,
                           ShardCompression compression, uint64_t max_shard_bytes,
                           std::shared_ptr<WorkerPool> pool)
    : path_(std::move(path)),
      source_name_(std::move(source_name)),
      current_(std::move(shard0)),
      compression_(compression),
      max_shard_bytes_(max_shard_bytes),
      pool_(std::move(pool)) {}

Result<CacheBuilder> CacheBuilder::create(std::filesystem::path path, std::string source_name,
                                          uint64_t max_shard_bytes, ShardCompression compression,
                                          std::shared_ptr<WorkerPool> pool) {
  // stat() follows symbolic links, so a dangling link counts as absent.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    return Err(CacheError::invalid_argument("cache path already exists: " + path.string()));
  }
  // The root and "shards" in one recursive creation, 0777 before the umask.
  std::error_code ec;
  std::filesystem::create_directories(path / kShardsDirName, ec);
  if (ec) return Err(CacheError::io(ec.value()));
  ZR_ASSIGN_OR_RETURN(OpenShard shard0, OpenShard::create(path, 0, pool));
  return CacheBuilder(std::move(path), std::move(source_name), std::move(shard0), compression,
                      max_shard_bytes, std::move(pool));
}

Result<MetadataRow> CacheBuilder::validate_metadata(MetadataMap metadata) {
  // The first sample fixes the schema, once it has passed: its keys in byte
  // order (the map's) with their values' kinds.
  MetadataSchema first_schema;
  if (!schema_set_) {
    for (const auto& [key, value] : metadata) first_schema.push_back({key, kind_of(value)});
  }
  const MetadataSchema& schema = schema_set_ ? metadata_schema_ : first_schema;
  if (metadata.size() != schema.size()) {
    return Err(CacheError::invalid_argument("metadata keys must be identical for every sample"));
  }
  MetadataRow row;
  row.reserve(schema.size());
  for (const MetadataField& field : schema) {
    auto it = metadata.find(field.name);
    if (it == metadata.end()) {
      return Err(CacheError::invalid_argument("metadata field '" + field.name + "' is missing"));
    }
    const MetadataKind kind = kind_of(it->second);
    if (kind != field.kind) {
      return Err(CacheError::invalid_argument("metadata field '" + field.name + "' expected " +
                                                      std::string(to_string(field.kind)) + ", got " +
                                                      std::string(to_string(kind))));
    }
    // The record's JSON has no form for NaN or an infinity: a record holding
    // one could be written but never read back.
    if (const double* number = std::get_if<double>(&it->second); number && !std::isfinite(*number)) {
      const char* shown = std::isnan(*number) ? "nan" : *number > 0 ? "inf" : "-inf";
      return Err(CacheError::invalid_argument("metadata field '" + field.name + "' is " + shown +
                                              ": float values must be finite"));
    }
    row.push_back(std::move(it->second));
  }
  if (!schema_set_) {
    metadata_schema_ = std::move(first_schema);
    schema_set_ = true;
  }
  return row;
}

Status CacheBuilder::roll_over() {
  // The next shard is opened before the full one is finished, so a failed
  // open leaves the builder unchanged.
  ZR_ASSIGN_OR_RETURN(OpenShard next, OpenShard::create(path_, current_->id() + 1, pool_));
  // The previous full shard is done by now, unless shards hold few chunks.
  ZR_RETURN_IF_ERROR(take_closing(/*wait=*/true));
  closing_ = std::move(*current_);
  current_ = std::move(next);
  // Its last writes and digest go on while the next records come.
  return closing_->flush();
}

Status CacheBuilder::take_closing(bool wait) {
  if (!closing_ || (!wait && !closing_->idle())) return {};
  Result<ShardManifest> finished = std::move(*closing_).finish(compression_);
  closing_.reset();
  if (!finished) return Err(std::move(finished).error());
  shards_.push_back(std::move(*finished));
  return {};
}

Result<SampleWriteStats> CacheBuilder::push_sample(std::vector<uint8_t> data, MetadataMap metadata) {
  SampleWriteStats stats{};

  // Metadata check; the caller's map is released with the call.
  // The clock is read only when the stages are timed.
  auto now = [this] { return timed_ ? Clock::now() : Clock::time_point{}; };
  auto since = [&now](Clock::time_point start) {
    return std::chrono::duration_cast<StageDuration>(now() - start);
  };
  Clock::time_point start = now();
  ZR_ASSIGN_OR_RETURN(MetadataRow row, validate_metadata(std::move(metadata)));
  stats.metadata_validate = since(start);

  // Compression takes over the data buffer.
  stats.data_len = data.size();
  start = now();
  ZR_ASSIGN_OR_RETURN(std::vector<uint8_t> payload,
                      compression::compress_payload(std::move(data), compression_));
  stats.compression = since(start);

  // Record encoding: the length field and the metadata as compact JSON. The
  // payload is not copied: the shard takes it after the head.
  start = now();
  const std::string head = encode_record_head(metadata_schema_, row);
  stats.record_len = head.size() + payload.size();
  stats.record_encode = since(start);

  // The last full shard's entry, once its work is done (a failed write of it
  // is reported here).
  ZR_RETURN_IF_ERROR(take_closing(/*wait=*/false));

  // Roll-over: inclusive limit; an empty shard takes any record.
  const uint64_t shard_len = current_->byte_len();
  if (shard_len != 0 &&
      (shard_len > max_shard_bytes_ || stats.record_len > max_shard_bytes_ - shard_len)) {
    ZR_RETURN_IF_ERROR(roll_over());
  }

  start = now();
  ZR_ASSIGN_OR_RETURN(IndexEntry entry,
                      current_->write_payload(
                          std::span(reinterpret_cast<const uint8_t*>(head.data()), head.size()),
                          std::move(payload), stats.data_len));
  stats.disk_write = since(start);

  index_.push_back(entry);
  metadata_rows_.push_back(std::move(row));
  return stats;
}

Result<std::string> CacheBuilder::write_index_file() const {
  const std::filesystem::path file = path_ / kIndexFileName;
  ZR_ASSIGN_OR_RETURN(BufferedWriter writer, BufferedWriter::create(file));
  for (const IndexEntry& entry : index_) ZR_RETURN_IF_ERROR(writer.write(encode_index_entry(entry)));
  ZR_RETURN_IF_ERROR(writer.flush());
  return hash_file(file);
}

Result<FinishedCache> CacheBuilder::finish() && {
  if (index_.empty()) return Err(CacheError::invalid_argument("cache source yielded no samples"));
  CacheFinishStats stats{};

  // The last two shards: written out, digests taken, closed, in id order. The
  // last one is never empty here. Both leave the builder first, so that no
  // shard stays open after a failure: the caller removes the directory then.
  Clock::time_point start = Clock::now();
  OpenShard last = std::move(*current_);
  current_.reset();
  if (Status closed = take_closing(/*wait=*/true); !closed) {
    return Err(std::move(closed).error());  // `last` writes out its pending bytes and closes
  }
  ZR_ASSIGN_OR_RETURN(ShardManifest last_manifest, std::move(last).finish(compression_));
  stats.shard_flush = since(start);
  shards_.push_back(std::move(last_manifest));

  // metadata.arrow, hashed by reading it back.
  start = Clock::now();
  ZR_ASSIGN_OR_RETURN(std::string metadata_sha256,
                      write_metadata_file(path_, metadata_schema_, metadata_rows_));
  stats.finish_metadata = since(start);

  // index.bin, hashed by reading it back.
  start = Clock::now();
  ZR_ASSIGN_OR_RETURN(std::string index_sha256, write_index_file());
  stats.finish_index = since(start);

  Manifest manifest{MANIFEST_FORMAT_VERSION, std::move(source_name_),    index_.size(),
                    std::move(metadata_schema_), std::move(metadata_sha256), std::move(index_sha256),
                    std::move(shards_)};

  // manifest.json, last. A write failing while the text goes out is a JSON
  // error (the serialiser's sink failed); the explicit flush's is Io.
  start = Clock::now();
  ZR_ASSIGN_OR_RETURN(BufferedWriter writer, BufferedWriter::create(path_ / kManifestFileName));
  if (Status written = writer.write(write_manifest_json(manifest)); !written) {
    return Err(CacheError::json(written.error().message()));
  }
  ZR_RETURN_IF_ERROR(writer.close());
  stats.finish_manifest = since(start);

  return FinishedCache{std::move(manifest), stats};
}

Result<MetadataMap> metadata_row_to_object(const MetadataSchema& schema, const MetadataRow& row) {
  if (row.size() != schema.size()) {
    return Err(CacheError::invalid_argument("metadata row length does not match schema"));
  }
  MetadataMap object;
  for (size_t i = 0; i < schema.size(); ++i) object.emplace(schema[i].name, row[i]);
  return object;
}

}  // namespace zandrel::storage
