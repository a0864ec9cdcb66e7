#include "zandrel/storage/sample_reader.hpp"

#include <sys/stat.h>

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "zandrel/compression.hpp"
#include "zandrel/metadata_json.hpp"
#include "zandrel/storage/loader.hpp"

namespace zandrel::storage {
namespace {

// Bytes of the metadata length field at the start of every record.
constexpr uint64_t kRecordHeaderSize = 8;

CacheError invalid_record() { return CacheError::invalid_cache("invalid binary record"); }

}  // namespace

// ---------------------------------------------------------------------------
// ShardReaderCache

FileIdentity file_identity(const struct stat& st) {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<uint64_t>(st.st_size),
                      int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec};
}

std::string shard_reader_key(const std::filesystem::path& path) {
  std::string key;
  bool first = true;
  for (const std::filesystem::path& part : path) {
    const std::string& text = part.native();
    if (text.empty() || (text == "." && !first)) continue;  // "a//b", "a/./b", "a/b/"
    if (!key.empty() && key.back() != '/') key += '/';
    key += text;  // the root "/" itself stands first and ends in '/'
    first = false;
  }
  return key;
}

Result<ShardReader*> ShardReaderCache::get_or_open(const ShardFile& shard) {
  auto found = by_key_.find(shard.key);
  if (found != by_key_.end()) {
    Order::iterator slot = found->second;
    if (!shard.identity.known() || slot->reader.identity == shard.identity) {
      order_.splice(order_.end(), order_, slot);
      return &slot->reader;
    }
    // The path now names another file than the one this reader holds.
    order_.erase(slot);
    by_key_.erase(found);
  }
  return open_slot(shard.path, shard.key);
}

Result<ShardReader*> ShardReaderCache::get_or_open(const std::filesystem::path& path) {
  return get_or_open(ShardFile{path, shard_reader_key(path), FileIdentity{}});
}

void ShardReaderCache::mark_recent(const std::filesystem::path& path) {
  auto found = by_key_.find(shard_reader_key(path));
  if (found != by_key_.end()) order_.splice(order_.end(), order_, found->second);
}

Result<ShardReader*> ShardReaderCache::open_slot(const std::filesystem::path& path,
                                                 std::string key) {
  // Close the least recently used readers first, so that opening never takes
  // this thread past kMaxOpen files.
  while (by_key_.size() >= kMaxOpen && !order_.empty()) {
    by_key_.erase(order_.front().key);
    order_.pop_front();
  }
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, open_read_only(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Err(last_os_error());
  order_.push_back(Slot{key, ShardReader{std::move(fd), file_identity(st)}});
  by_key_.emplace(std::move(key), std::prev(order_.end()));
  return &order_.back().reader;
}

ShardReaderCache& thread_shard_readers() {
  thread_local ShardReaderCache readers;
  return readers;
}

// ---------------------------------------------------------------------------
// Records

Result<SampleRecordParts> split_sample_record(std::span<const uint8_t> record) {
  if (record.size() < kRecordHeaderSize) return Err(invalid_record());
  const uint64_t json_len = load_u64_le(record.data());
  if (json_len > UINT64_MAX - kRecordHeaderSize) {
    return Err(CacheError::invalid_cache("metadata record length overflowed"));
  }
  if (kRecordHeaderSize + json_len > record.size()) return Err(invalid_record());
  const size_t payload_at = static_cast<size_t>(kRecordHeaderSize + json_len);
  return SampleRecordParts{
      std::string_view(reinterpret_cast<const char*>(record.data()) + kRecordHeaderSize,
                       static_cast<size_t>(json_len)),
      record.subspan(payload_at)};
}

Result<MetadataRow> metadata_object_to_row(const MetadataSchema& schema, MetadataMap map) {
  MetadataRow row;
  row.reserve(schema.size());
  for (const MetadataField& field : schema) {
    auto found = map.find(field.name);
    if (found == map.end()) {
      return Err(CacheError::invalid_cache("embedded metadata field '" + field.name +
                                           "' is missing"));
    }
    if (kind_of(found->second) != field.kind) {
      return Err(CacheError::invalid_cache(
          "embedded metadata field '" + field.name + "' expected " +
          std::string(to_string(field.kind)) + ", got " +
          std::string(to_string(kind_of(found->second)))));
    }
    row.push_back(std::move(found->second));
  }
  return row;
}

// ---------------------------------------------------------------------------
// Reading one sample

Result<IndexEntry> checked_record_entry(const LoadedCache& cache, size_t sample_index) {
  if (sample_index >= cache.index.size()) {
    return Err(CacheError::invalid_cache("sample index " + std::to_string(sample_index) +
                                         " is out of range"));
  }
  const IndexEntry entry = cache.index[sample_index];
  if (entry.shard_id >= cache.manifest.shards.size()) {
    return Err(CacheError::invalid_cache("shard id " + std::to_string(entry.shard_id) +
                                         " is out of range"));
  }
  // A record must lie inside its shard as the loader measured it; this also
  // refuses lengths that could not be allocated, before anything is.
  const ShardManifest& shard = cache.manifest.shards[entry.shard_id];
  if (entry.offset > shard.byte_len || entry.length > shard.byte_len - entry.offset) {
    return Err(invalid_record());
  }
  return entry;
}

Result<CheckedRecord> check_sample_record(const LoadedCache& cache, size_t sample_index,
                                          std::span<const uint8_t> record) {
  ZR_ASSIGN_OR_RETURN(SampleRecordParts parts, split_sample_record(record));
  ZR_ASSIGN_OR_RETURN(MetadataMap map, parse_metadata_object(parts.metadata_json));
  const MetadataSchema& schema = cache.manifest.metadata_schema;
  if (map.size() != schema.size()) {
    return Err(CacheError::invalid_cache("embedded metadata keys do not match schema"));
  }
  ZR_ASSIGN_OR_RETURN(MetadataRow row, metadata_object_to_row(schema, std::move(map)));

  if (cache.validate_cache) {
    const bool same = cache.with_metadata_rows([&](const auto& rows) {
      return rows.has_value() && sample_index < rows->size() && (*rows)[sample_index] == row;
    });
    if (!same) {
      return Err(CacheError::invalid_cache("embedded metadata does not match metadata.arrow "
                                           "for sample " +
                                           std::to_string(sample_index)));
    }
  }
  return CheckedRecord{std::move(row), static_cast<size_t>(parts.payload.data() - record.data()),
                       parts.payload.size()};
}

Result<LoadedSample> LoadedCache::read_sample_with_cache(size_t sample_index,
                                                         ShardReaderCache& readers) const {
  ZR_ASSIGN_OR_RETURN(const IndexEntry entry, checked_record_entry(*this, sample_index));
  const size_t length = static_cast<size_t>(entry.length);
  SharedBuffer buffer;
  try {
    buffer = std::make_shared<ByteBuffer>(length);
  } catch (const std::bad_alloc&) {
    return Err(invalid_record());
  }
  ZR_ASSIGN_OR_RETURN(ShardReader * reader, readers.get_or_open(shard_files[entry.shard_id]));
  if (length == 0) return Err(invalid_record());
  // One positioned read; the descriptor keeps no position between reads.
  ZR_RETURN_IF_ERROR(read_exact_at(reader->fd.get(), entry.offset, {buffer->data(), length}));
  ZR_ASSIGN_OR_RETURN(CheckedRecord record,
                      check_sample_record(*this, sample_index, {buffer->data(), length}));

  LoadedSample sample;
  if (manifest.shards[entry.shard_id].compression.algo == CompressionAlgo::kNone) {
    sample.data = SampleData(std::move(buffer), record.payload_at, record.payload_size);
  } else {
    const std::span<const uint8_t> payload(buffer->data() + record.payload_at,
                                           record.payload_size);
    ZR_ASSIGN_OR_RETURN(const size_t capacity, compression::lz4_output_capacity(payload));
    SharedBuffer out;
    try {
      out = std::make_shared<ByteBuffer>(capacity);
    } catch (const std::bad_alloc&) {
      return Err(invalid_record());
    }
    ZR_ASSIGN_OR_RETURN(const size_t decoded,
                        compression::decompress_lz4_into(payload, {out->data(), capacity}));
    sample.data = SampleData(std::move(out), 0, decoded);
  }
  sample.metadata = std::move(record.metadata);
  sample.sample_index = sample_index;
  return sample;
}

}  // namespace zandrel::storage
