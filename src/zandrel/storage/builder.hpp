// CacheBuilder writes one cache directory front to back: create it on a path
// where nothing exists, push the samples in cache order, then finish it.
// OpenShard is the shard file being written.
//
// Each record is compressed, framed with its metadata JSON and appended to
// the current shard's ShardSink, which writes it to the file and runs the
// shard's SHA-256 over it; the shard files are never read back. Given the
// runtime's worker pool, the sinks write and hash on the pool while the
// caller goes on with the next records; without one they do it inline. The
// files are the same either way.
//
// When a record would take a non-empty shard past max_shard_bytes, the next
// shard is opened first and the full one finished after. On the pool, the
// full shard's last writes and digest then complete in the background: its
// manifest entry is taken at the first push that finds it done, at the next
// roll-over or in finish(), whichever comes first. finish() writes, in order,
// the last shard, metadata.arrow, index.bin and, last, manifest.json.
//
// The builder knows nothing of build directories or renaming: on any error
// the caller drops it and removes the directory. Dropping a builder without
// finishing it waits for the shard writes in flight, writes out the open
// shard's pending bytes (errors ignored), closes the file and writes nothing
// else; once the drop returns nothing more is written.
//
// Threads: a builder is used by one thread at a time; the shard sinks keep
// their own locks for their jobs on the pool.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zandrel/storage/format.hpp"
#include "zandrel/storage/manifest.hpp"
#include "zandrel/storage/shard_sink.hpp"
#include "zandrel/types.hpp"

namespace zandrel::storage {

// A stage duration taken with the monotonic clock (whole seconds plus
// nanoseconds fit the count of nanoseconds).
using StageDuration = std::chrono::nanoseconds;

// What one successful push did. The write profiler records the durations
// under stage names equal to the field names.
struct SampleWriteStats {
  uint64_t data_len;                // data length before compression
  uint64_t record_len;              // 8 + metadata JSON length + payload length
  StageDuration metadata_validate;  // metadata check against the schema
  StageDuration compression;        // compress_payload
  StageDuration record_encode;      // JSON and record framing
  StageDuration disk_write;         // hand the record to the shard's sink, counters
};

// The durations of finish()'s stages.
struct CacheFinishStats {
  StageDuration shard_flush;      // the last shard written out, hashed and closed
  StageDuration finish_metadata;  // metadata.arrow written and hashed
  StageDuration finish_index;     // index.bin written and hashed
  StageDuration finish_manifest;  // manifest.json written
};

// The shard file being written. Move-only; finishing consumes it.
class OpenShard {
 public:
  // Creates (or truncates) root/"shards"/shard_file_name(id), 0666 before the
  // umask, with empty counters and a fresh digest. Its sink works on `pool`,
  // or inline when it is null. Failure: Io.
  static Result<OpenShard> create(const std::filesystem::path& root, uint64_t id,
                                  std::shared_ptr<WorkerPool> pool = nullptr);

  // Appends one record, given as its head (the metadata JSON's length field
  // and the JSON) and its payload, to be written and fed to the digest, and
  // counts it. Returns the record's index entry. Failure: Io, possibly an
  // earlier write's (the file is then out of step with the counters), or
  // InvalidArgument "shard uncompressed byte length overflowed u64" (the
  // record is then appended and counted in byte_len).
  Result<IndexEntry> write_payload(std::span<const uint8_t> head, std::vector<uint8_t> payload,
                                   uint64_t data_len);

  // Hands off what is pending without waiting for it; nothing more may be
  // written. Failure: Io, if a write has already failed.
  Status flush() { return sink_.flush(); }
  // Every write and the digest are done: finish() would not wait.
  bool idle() const { return sink_.idle(); }

  // Writes out what is pending, waits for the writes, finalises the digest
  // and closes the file (closed on failure too). `compression` is recorded
  // unchanged. Failure: Io.
  Result<ShardManifest> finish(const ShardCompression& compression) &&;

  uint64_t id() const { return id_; }
  uint64_t byte_len() const { return byte_len_; }
  const std::string& name() const { return name_; }

 private:
  OpenShard(std::string name, ShardSink sink, uint64_t id)
      : name_(std::move(name)), sink_(std::move(sink)), id_(id) {}

  std::string name_;               // "{:06}.bin" of id_
  ShardSink sink_;                 // the file and its digest
  uint64_t id_;                    // position in the manifest's "shards"
  uint64_t byte_len_ = 0;          // bytes appended so far (sum of record lengths)
  uint64_t uncompressed_byte_len_ = 0;  // sum of the raw data lengths
};

// The manifest finish() wrote and the durations of its stages.
struct FinishedCache {
  Manifest manifest;
  CacheFinishStats stats;
};

class CacheBuilder {
 public:
  // Fails with InvalidArgument "cache path already exists: <path>" when
  // anything exists at `path` (an empty directory too). Otherwise creates
  // path/"shards" with every missing ancestor (0777 before the umask) and an
  // empty shard 000000.bin. Failure: Io (the directories made stay).
  // `max_shard_bytes` is the shard size limit (non-zero). The shards are
  // written and hashed on `pool` when one is given, else inline.
  static Result<CacheBuilder> create(std::filesystem::path path, std::string source_name,
                                     uint64_t max_shard_bytes, ShardCompression compression,
                                     std::shared_ptr<WorkerPool> pool = nullptr);

  CacheBuilder(CacheBuilder&&) noexcept = default;
  CacheBuilder& operator=(CacheBuilder&&) noexcept = default;

  // Checks the metadata against the schema (the first push that passes fixes
  // it: the keys in byte order with their values' kinds) and refuses a float
  // that is NaN or infinite (InvalidArgument "metadata field '<key>' is
  // nan: float values must be finite", or inf, -inf), since the record could
  // not be read back. Then compresses the data, frames the record and appends
  // it, rolling over to a new shard first when needed. After an error the
  // builder may only be dropped.
  Result<SampleWriteStats> push_sample(std::vector<uint8_t> data, MetadataMap metadata);

  // Whether push_sample times its stages (the default). Untimed, its
  // durations are zero and the clock is not read.
  void time_stages(bool timed) { timed_ = timed; }

  // Consumes the builder: finishes the last shard, writes metadata.arrow,
  // index.bin and manifest.json. Fails with InvalidArgument "cache source
  // yielded no samples" when nothing was pushed; a failed finish leaves what
  // it wrote so far.
  Result<FinishedCache> finish() &&;

  const std::filesystem::path& path() const { return path_; }
  const MetadataSchema& metadata_schema() const { return metadata_schema_; }
  size_t sample_count() const { return index_.size(); }

 private:
  CacheBuilder(std::filesystem::path path, std::string source_name, OpenShard shard0,
               ShardCompression compression, uint64_t max_shard_bytes,
               std::shared_ptr<WorkerPool> pool);

  // The sample's values in schema order, setting the schema on the first push.
  Result<MetadataRow> validate_metadata(MetadataMap metadata);
  // Opens the next shard, then finishes the full one: its last bytes are
  // handed off and it becomes closing_.
  Status roll_over();
  // Finishes closing_ into shards_, waiting for it if `wait`, else only when
  // it is idle.
  Status take_closing(bool wait);
  // Writes index.bin (24 bytes per sample, push order) and returns its
  // SHA-256 read back from disk.
  Result<std::string> write_index_file() const;

  std::filesystem::path path_;           // cache root
  std::string source_name_;              // copied into the manifest
  MetadataSchema metadata_schema_;       // fixed by the first push
  bool schema_set_ = false;              // true from the first push on
  bool timed_ = true;                    // push_sample reads the clock
  std::vector<MetadataRow> metadata_rows_;  // one per accepted sample
  std::vector<IndexEntry> index_;        // one per accepted sample
  std::vector<ShardManifest> shards_;    // finished shards, in id order
  std::optional<OpenShard> current_;     // empty only after finish()
  std::optional<OpenShard> closing_;     // the last full shard, until its entry is taken
  ShardCompression compression_;         // one setting for every shard
  uint64_t max_shard_bytes_;             // shard size limit, inclusive
  std::shared_ptr<WorkerPool> pool_;     // where the shards' sinks work; null: inline
};

// A map from each schema field's name to a copy of the row's value at the same
// position. InvalidArgument "metadata row length does not match schema" when
// the lengths differ.
Result<MetadataMap> metadata_row_to_object(const MetadataSchema& schema, const MetadataRow& row);

}  // namespace zandrel::storage
