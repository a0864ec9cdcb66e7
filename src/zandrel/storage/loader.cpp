#include "zandrel/storage/loader.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include <arrow/array.h>
#include <arrow/io/file.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/memory_pool.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/type.h>

#include "zandrel/storage/metadata_arrow.hpp"

namespace zandrel::storage {
namespace {

CacheError arrow_error(const arrow::Status& status) {
  return CacheError::arrow(status.ToString());
}

// See refusing_memory_pool.
class RefusingPool final : public arrow::MemoryPool {
 public:
  arrow::Status Allocate(int64_t, int64_t, uint8_t**) override { return refused(); }
  arrow::Status Reallocate(int64_t, int64_t, int64_t, uint8_t**) override { return refused(); }
  void Free(uint8_t*, int64_t, int64_t) override {}
  int64_t bytes_allocated() const override { return 0; }
  int64_t total_bytes_allocated() const override { return 0; }
  int64_t num_allocations() const override { return 0; }
  std::string backend_name() const override { return "refusing"; }

 private:
  static arrow::Status refused() {
    return arrow::Status::NotImplemented("compressed IPC buffers are not supported");
  }
};

// stat(2) of `path`, following symbolic links. Failure: Io.
Result<struct stat> stat_path(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Err(last_os_error());
  return st;
}

// The whole contents of an open file, read until end of file.
Result<std::vector<uint8_t>> read_to_end(int fd) {
  std::vector<uint8_t> bytes;
  ZR_ASSIGN_OR_RETURN(uint64_t size_hint, file_size(fd));
  bytes.resize(size_hint + 1);  // one spare byte lets a full buffer see end of file
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    ZR_ASSIGN_OR_RETURN(size_t n, read_some(fd, std::span(bytes).subspan(filled)));
    if (n == 0) break;
    filled += n;
  }
  bytes.resize(filled);
  return bytes;
}

Result<std::vector<uint8_t>> read_whole_file(const std::filesystem::path& path) {
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, open_read_only(path));
  return read_to_end(fd.get());
}

// manifest.json: opening fails with Io; reading or parsing it with Json.
Result<Manifest> read_manifest(const std::filesystem::path& path) {
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, open_read_only(path));
  auto bytes = read_to_end(fd.get());
  if (!bytes) return Err(CacheError::json(bytes.error().message()));
  return parse_manifest_json(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

// An Arrow IPC file reader over the whole file behind `fd` (which it takes),
// read into memory in one go and closed before this returns. Arrow reads the
// footer of a plain file through its own I/O thread pool; from memory it
// reads on the calling thread, and in place.
arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchFileReader>> open_ipc_in_memory(int fd) {
  ARROW_ASSIGN_OR_RAISE(auto file, arrow::io::ReadableFile::Open(fd));
  ARROW_ASSIGN_OR_RAISE(const int64_t size, file->GetSize());
  ARROW_ASSIGN_OR_RAISE(auto bytes, file->Read(size));
  auto options = arrow::ipc::IpcReadOptions::Defaults();
  options.use_threads = false;  // one small file; no work for Arrow's pool
  options.memory_pool = &refusing_memory_pool();
  return arrow::ipc::RecordBatchFileReader::Open(
      std::make_shared<arrow::io::BufferReader>(std::move(bytes)), options);
}

// Opens an Arrow IPC file reader on `path`. Opening the file fails with Io;
// reading it, or Arrow refusing its footer or schema, with Arrow.
Result<std::shared_ptr<arrow::ipc::RecordBatchFileReader>> open_ipc_file(
    const std::filesystem::path& path) {
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, open_read_only(path));
  auto reader = open_ipc_in_memory(fd.release());
  if (!reader.ok()) return Err(arrow_error(reader.status()));
  return *std::move(reader);
}

// Value `row` of a column already checked to have `kind`'s Arrow type. The
// validity bitmap is not consulted.
MetadataValue read_value(const arrow::Array& column, MetadataKind kind, int64_t row) {
  switch (kind) {
    case MetadataKind::kBool:
      return static_cast<const arrow::BooleanArray&>(column).Value(row);
    case MetadataKind::kInt:
      return static_cast<const arrow::Int64Array&>(column).Value(row);
    case MetadataKind::kFloat:
      return static_cast<const arrow::DoubleArray&>(column).Value(row);
    case MetadataKind::kString:
      break;
  }
  return std::string(static_cast<const arrow::StringArray&>(column).GetView(row));
}

// The column checks of one validated batch, field by field in schema order,
// which reports the same field a row-by-row reading would; a batch without
// rows is not looked at.
Status check_batch_columns(const arrow::RecordBatch& batch, const MetadataSchema& schema) {
  if (batch.num_rows() == 0) return {};
  for (size_t i = 0; i < schema.size(); ++i) {
    if (i >= static_cast<size_t>(batch.num_columns())) {
      return Err(CacheError::invalid_cache("metadata.arrow has fewer columns than the schema"));
    }
    if (batch.column(static_cast<int>(i))->type_id() != arrow_type(schema[i].kind)->id()) {
      return Err(CacheError::invalid_cache("metadata '" + schema[i].name + "' is not " +
                                           std::string(to_string(schema[i].kind))));
    }
  }
  return {};
}

// Appends the rows of one validated batch whose columns passed
// check_batch_columns.
void append_batch_rows(const arrow::RecordBatch& batch, const MetadataSchema& schema,
                       std::vector<MetadataRow>& rows) {
  rows.reserve(rows.size() + static_cast<size_t>(batch.num_rows()));
  for (int64_t r = 0; r < batch.num_rows(); ++r) {
    MetadataRow row;
    row.reserve(schema.size());
    for (size_t i = 0; i < schema.size(); ++i) {
      row.push_back(read_value(*batch.column(static_cast<int>(i)), schema[i].kind, r));
    }
    rows.push_back(std::move(row));
  }
}

// The rows of a metadata.arrow file and the number of rows its batches hold.
struct CountedRows {
  std::vector<MetadataRow> rows;  // all of them, or none when there are more than asked for
  size_t count = 0;               // saturates at SIZE_MAX
};

// read_metadata_file, keeping the rows only while there are at most
// `max_rows`. Past that the batches are still read and checked, with the same
// errors in the same order, but only counted: a batch's row count comes from
// the file, and a few bytes can claim billions of rows.
Result<CountedRows> read_metadata_rows(const std::filesystem::path& path,
                                       const MetadataSchema& schema, size_t max_rows) {
  ZR_ASSIGN_OR_RETURN(auto reader, open_ipc_file(path));
  CountedRows out;
  for (int i = 0; i < reader->num_record_batches(); ++i) {
    ZR_ASSIGN_OR_RETURN(auto batch, read_metadata_batch(*reader, i));
    ZR_RETURN_IF_ERROR(check_batch_columns(*batch, schema));
    if (__builtin_add_overflow(out.count, static_cast<size_t>(batch->num_rows()), &out.count)) {
      out.count = SIZE_MAX;
    }
    if (out.count <= max_rows) {
      append_batch_rows(*batch, schema, out.rows);
    } else {
      out.rows = {};
    }
  }
  return out;
}

// Step 6 of loading: each shard's size, and its checksum when validating, one
// shard after the other. Returns the shards' resolved paths and identities.
Result<std::vector<ShardFile>> check_shards(const std::filesystem::path& root,
                                            const Manifest& manifest, bool validate) {
  std::vector<ShardFile> files;
  files.reserve(manifest.shards.size());
  for (const ShardManifest& shard : manifest.shards) {
    // Joined as paths join: the name is not checked.
    std::filesystem::path path = root / kShardsDirName / shard.name;
    ZR_ASSIGN_OR_RETURN(struct stat st, stat_path(path));
    if (static_cast<uint64_t>(st.st_size) != shard.byte_len) {
      return Err(CacheError::invalid_cache("shard length mismatch for " + path.string()));
    }
    if (validate) ZR_RETURN_IF_ERROR(verify_file_checksum(path, shard.sha256));
    std::string key = shard_reader_key(path);
    files.push_back(ShardFile{std::move(path), std::move(key), file_identity(st)});
  }
  return files;
}

// Steps 7 to 9: index.bin read whole and cut into 24-byte rows.
Result<std::vector<IndexEntry>> read_index_file(const std::filesystem::path& path) {
  ZR_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_whole_file(path));
  if (bytes.size() % INDEX_ROW_SIZE != 0) {
    return Err(CacheError::invalid_cache("index length is not divisible by row size"));
  }
  std::vector<IndexEntry> index;
  index.reserve(bytes.size() / INDEX_ROW_SIZE);
  for (size_t at = 0; at < bytes.size(); at += INDEX_ROW_SIZE) {
    ZR_ASSIGN_OR_RETURN(IndexEntry entry,
                        read_index_entry(std::span(bytes).subspan(at, INDEX_ROW_SIZE)));
    index.push_back(entry);
  }
  return index;
}

}  // namespace

LoadedCache::LoadedCache(LoadedCache&& other) noexcept
    : manifest(std::move(other.manifest)),
      index(std::move(other.index)),
      root(std::move(other.root)),
      validate_cache(other.validate_cache),
      shard_files(std::move(other.shard_files)),
      metadata_rows_(std::move(other.metadata_rows_)) {}

Result<LoadedCache> load_cache(std::filesystem::path root, bool validate) {
  // 1-4: the manifest, which must be there and of the one known version.
  // A path holding a NUL names no file (the system would see only the bytes
  // before it), so its query fails; every later path extends this one.
  const std::filesystem::path manifest_path = root / kManifestFileName;
  if (manifest_path.native().contains('\0') || !stat_path(manifest_path)) {
    return Err(CacheError::invalid_cache("missing manifest: " + manifest_path.string()));
  }
  ZR_ASSIGN_OR_RETURN(Manifest manifest, read_manifest(manifest_path));
  if (manifest.format_version != MANIFEST_FORMAT_VERSION) {
    return Err(CacheError::invalid_cache("unsupported format version " +
                                         std::to_string(manifest.format_version)));
  }

  // 5: the side files' checksums.
  const std::filesystem::path metadata_path = root / kMetadataFileName;
  const std::filesystem::path index_path = root / kIndexFileName;
  if (validate) {
    ZR_RETURN_IF_ERROR(verify_file_checksum(metadata_path, manifest.metadata_sha256));
    ZR_RETURN_IF_ERROR(verify_file_checksum(index_path, manifest.index_sha256));
  }

  // 6: the shard files.
  ZR_ASSIGN_OR_RETURN(std::vector<ShardFile> shard_files, check_shards(root, manifest, validate));

  // 7-9: the index.
  ZR_ASSIGN_OR_RETURN(std::vector<IndexEntry> index, read_index_file(index_path));

  // 10: the metadata rows, or only the file's presence. A batch's row count
  // comes from the file, so rows are kept only up to the length of the index
  // already in memory, and only when that matches the manifest (else step 11
  // fails whatever the rows); past that they are only counted, for step 11.
  std::optional<std::vector<MetadataRow>> rows;
  std::optional<size_t> row_count;
  if (validate) {
    const size_t max_rows = index.size() == manifest.sample_count ? index.size() : 0;
    ZR_ASSIGN_OR_RETURN(CountedRows read,
                        read_metadata_rows(metadata_path, manifest.metadata_schema, max_rows));
    rows = std::move(read.rows);
    row_count = read.count;
  } else {
    ZR_RETURN_IF_ERROR(stat_path(metadata_path));
  }

  // 11: counts and shard references.
  ZR_RETURN_IF_ERROR(validate_loaded_shapes(manifest.shards.size(), manifest.sample_count,
                                            row_count, index));

  LoadedCache cache;
  cache.manifest = std::move(manifest);
  cache.index = std::move(index);
  cache.root = std::move(root);
  cache.validate_cache = validate;
  cache.shard_files = std::move(shard_files);
  cache.metadata_rows_ = std::move(rows);
  return cache;
}

Result<std::vector<MetadataRow>> read_metadata_file(const std::filesystem::path& path,
                                                    const MetadataSchema& schema) {
  ZR_ASSIGN_OR_RETURN(CountedRows read, read_metadata_rows(path, schema, SIZE_MAX));
  return std::move(read.rows);
}

Status validate_loaded_shapes(size_t shard_count, uint64_t sample_count,
                              std::optional<size_t> row_count,
                              std::span<const IndexEntry> index) {
  if (row_count && *row_count != sample_count) {
    return Err(CacheError::invalid_cache("metadata row count does not match manifest"));
  }
  if (index.size() != sample_count) {
    return Err(CacheError::invalid_cache("index row count does not match manifest"));
  }
  for (const IndexEntry& entry : index) {
    if (entry.shard_id >= shard_count) {
      return Err(CacheError::invalid_cache("index references missing shard " +
                                           std::to_string(entry.shard_id)));
    }
  }
  return {};
}

Result<std::shared_ptr<arrow::RecordBatch>> read_metadata_batch(
    arrow::ipc::RecordBatchFileReader& reader, int i) {
  auto batch = reader.ReadRecordBatch(i);
  if (!batch.ok()) return Err(arrow_error(batch.status()));
  // A crafted file can carry offsets or lengths that point outside its
  // buffers; nothing reads a value before the whole batch is checked.
  arrow::Status valid = (*batch)->ValidateFull();
  if (!valid.ok()) return Err(arrow_error(valid));
  return *std::move(batch);
}

arrow::MemoryPool& refusing_memory_pool() {
  // Never destroyed: a reader may be released during exit.
  static RefusingPool* const pool = new RefusingPool();
  return *pool;
}

Result<std::shared_ptr<arrow::ipc::RecordBatchFileReader>> LoadedCache::metadata_batches() const {
  return open_ipc_file(root / kMetadataFileName);
}

}  // namespace zandrel::storage
