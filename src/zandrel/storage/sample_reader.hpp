// Reading single samples back from an opened cache, and the per-thread cache
// of open shard files that those reads go through.
//
// A record is read with one positioned read (pread) of the whole record into
// one buffer: no seek, no buffered reader, so a read costs one system call
// once its shard is open. LoadedCache::read_sample_with_cache (declared in
// loader.hpp, defined in sample_reader.cpp) is the entry point.
//
// Threads: ShardReaderCache belongs to one thread; each thread uses its own
// through thread_shard_readers(). split_sample_record and
// metadata_object_to_row are pure and may run anywhere.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zandrel/storage/buffer_pool.hpp"
#include "zandrel/storage/format.hpp"
#include "zandrel/types.hpp"

namespace zandrel::storage {

// A sample read from a cache. read_sample_with_cache fills data, metadata and
// sample_index; the dataset sets cache_index.
struct LoadedSample {
  SampleData data;            // decompressed payload
  MetadataRow metadata;       // one value per schema field, in schema order
  size_t cache_index = 0;     // position of the cache in its dataset
  size_t sample_index = 0;    // position of the sample in its cache
};

// Which file a path named when it was looked at. Device and inode alone may
// be reused at once by a file made in place of a removed one, so the size and
// the change time go with them. All zero means "unknown", matching any file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t change_time_ns = 0;

  bool known() const { return device != 0 || inode != 0; }
  bool operator==(const FileIdentity&) const = default;
};

// The identity of a stat(2) result.
FileIdentity file_identity(const struct stat& st);

// One shard of a loaded cache, resolved once at load time.
struct ShardFile {
  std::filesystem::path path;  // root/"shards"/name, joined as paths join
  std::string key;             // reader-cache key of `path` (shard_reader_key)
  FileIdentity identity;       // the file the loader measured
};

// The key under which a path's reader is cached: the path's components
// joined by "/", so redundant separators and "." components (other than a
// leading one) do not make two paths differ. ".." is kept: it is not
// resolved, since a symbolic link may stand before it.
std::string shard_reader_key(const std::filesystem::path& path);

// One open shard file.
struct ShardReader {
  UniqueFd fd;            // read-only
  FileIdentity identity;  // of the open file
};

// The open shard files of one thread, at most kMaxOpen of them; the least
// recently used one is closed before another is opened. Readers are found by
// path alone, not tied to any cache: two caches reading the same path on one
// thread share its reader. A read error does not close a reader.
// Invariant: order_ holds exactly the readers of by_key_, each once.
class ShardReaderCache {
 public:
  static constexpr size_t kMaxOpen = 64;

  ShardReaderCache() = default;
  ShardReaderCache(const ShardReaderCache&) = delete;
  ShardReaderCache& operator=(const ShardReaderCache&) = delete;

  // The open reader of `shard`, opening it when it has none. A cached reader
  // whose file is not the one the loader measured (the cache directory was
  // replaced at the same path) is closed and the path opened afresh.
  // Failure to open: Io; nothing is inserted, and a reader already evicted
  // for it stays closed. The pointer is valid until the next call.
  Result<ShardReader*> get_or_open(const ShardFile& shard);
  // The same for a bare path, whatever file it is.
  Result<ShardReader*> get_or_open(const std::filesystem::path& path);

  // Moves `path`'s reader, if any, to the most recently used end.
  void mark_recent(const std::filesystem::path& path);

  bool is_open(const std::filesystem::path& path) const {
    return by_key_.contains(shard_reader_key(path));
  }

 private:
  struct Slot {
    std::string key;
    ShardReader reader;
  };
  using Order = std::list<Slot>;

  Result<ShardReader*> open_slot(const std::filesystem::path& path, std::string key);

  Order order_;                                              // front: least recently used
  std::unordered_map<std::string, Order::iterator> by_key_;  // key -> its slot in order_
};

// The calling thread's reader cache: made empty by the thread's first call,
// destroyed (closing its files) when the thread exits. Only the calling
// thread may use it, and only for one read at a time.
ShardReaderCache& thread_shard_readers();

struct LoadedCache;

// The index row of sample `sample_index` after the checks that come before
// its record is read: InvalidCache "sample index <i> is out of range", "shard
// id <id> is out of range", "invalid binary record" (a range outside the
// shard's byte_len, so no allocation for it is ever attempted).
Result<IndexEntry> checked_record_entry(const LoadedCache& cache, size_t sample_index);

// A record read into memory whose metadata passed its checks: the row, and
// where its stored payload lies in the record.
struct CheckedRecord {
  MetadataRow metadata;  // in schema order
  size_t payload_at;     // offset of the payload in the record
  size_t payload_size;
};

// Checks sample `sample_index`'s record, already read into `record`: split,
// its embedded metadata against the schema and, for a validated cache,
// against the stored row. The errors of read_sample_with_cache from
// split_sample_record up to the decompression.
Result<CheckedRecord> check_sample_record(const LoadedCache& cache, size_t sample_index,
                                          std::span<const uint8_t> record);

// The two parts of a sample record: u64 little-endian M, M bytes of metadata
// JSON, then the payload. Both views point into the record.
struct SampleRecordParts {
  std::string_view metadata_json;
  std::span<const uint8_t> payload;
};

// Fewer than 8 bytes, or 8 + M past the end: InvalidCache "invalid binary
// record"; 8 + M beyond u64: InvalidCache "metadata record length overflowed".
Result<SampleRecordParts> split_sample_record(std::span<const uint8_t> record);

// The values of `map` in schema order. The caller has checked that the map has
// as many entries as the schema has fields. InvalidCache "embedded metadata
// field '<name>' is missing" or "embedded metadata field '<name>' expected
// <kind>, got <kind>" for the first failing field in schema order.
Result<MetadataRow> metadata_object_to_row(const MetadataSchema& schema, MetadataMap map);

}  // namespace zandrel::storage
