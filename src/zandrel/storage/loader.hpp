// The cache loader: opens one cache directory (see format.hpp for its layout;
// builder.cpp writes it), checks it and returns a LoadedCache, at one of two
// depths:
//   - without validation: the manifest, every shard file's size, index.bin's
//     size and rows, that every row names a listed shard, that metadata.arrow
//     exists. Nothing is hashed and metadata.arrow is not read.
//   - with validation also every SHA-256 of the manifest, and every metadata
//     row of metadata.arrow, kept so that each sample read compares its
//     record's embedded metadata with it.
//
// Threads: load_cache, read_metadata_file and validate_loaded_shapes keep no
// state; any number may run at once. A LoadedCache never changes after
// loading and is shared read-only among threads
// (std::shared_ptr<const LoadedCache>); its metadata rows sit behind a mutex
// that every sample read of a validated cache takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "zandrel/storage/format.hpp"
#include "zandrel/storage/manifest.hpp"
#include "zandrel/storage/sample_reader.hpp"
#include "zandrel/types.hpp"

namespace arrow {
class MemoryPool;
class RecordBatch;
namespace ipc {
class RecordBatchFileReader;
}
}  // namespace arrow

namespace zandrel::storage {

struct LoadedCache;

// Opens and checks the cache at `root`; `validate` picks the depth. Changes
// nothing on disk and leaves no file open. The first failing check, in this
// order, is returned:
//   InvalidCache "missing manifest: <root/manifest.json>" (any failed stat),
//   Io opening it, Json parsing it, InvalidCache "unsupported format version
//   <n>"; validating: the checksums of metadata.arrow then index.bin; for each
//   shard in order: Io (stat), InvalidCache "shard length mismatch for
//   <path>", validating: its checksum; Io reading index.bin, InvalidCache
//   "index length is not divisible by row size"; validating: the errors of
//   read_metadata_file, else Io when metadata.arrow cannot be stat'ed; the
//   errors of validate_loaded_shapes.
Result<LoadedCache> load_cache(std::filesystem::path root, bool validate);

// Every row of a metadata.arrow file: rows in file order over all record
// batches, values in schema order. Column i is schema field i, chosen by
// position and never by name, and must have the field kind's exact Arrow type
// (Boolean, Int64, Float64, Utf8), else InvalidCache "metadata '<name>' is
// not bool" (int, float, string). Columns past the schema are ignored; a
// batch with rows but fewer columns than the schema is InvalidCache
// "metadata.arrow has fewer columns than the schema". Null slots give whatever
// value the array stores. Every batch passes Arrow's full validation before a
// value is read. Errors: Io opening the file, Arrow reading or validating it.
Result<std::vector<MetadataRow>> read_metadata_file(const std::filesystem::path& path,
                                                    const MetadataSchema& schema);

// The count and shard-reference checks, in order: InvalidCache "metadata row
// count does not match manifest" (only when rows were read), "index row count
// does not match manifest", "index references missing shard <id>" (first such
// row).
Status validate_loaded_shapes(size_t shard_count, uint64_t sample_count,
                              std::optional<size_t> row_count,
                              std::span<const IndexEntry> index);

// Record batch `i` of a metadata.arrow reader (see metadata_batches), after
// Arrow's full validation, so that its values may be read without bounds
// checks. Failure: Arrow.
Result<std::shared_ptr<arrow::RecordBatch>> read_metadata_batch(
    arrow::ipc::RecordBatchFileReader& reader, int i);

// The memory pool of Arrow IPC readers over bytes already in memory. Such a
// reader takes uncompressed buffers in place and allocates only to inflate a
// compressed one, at the size the buffer's header claims; this pool refuses
// every request (Arrow error "NotImplemented: compressed IPC buffers are not
// supported"), so compressed files are refused before a crafted header can
// claim any size. Stateless; shared by all threads.
arrow::MemoryPool& refusing_memory_pool();

// One opened cache that passed the loader's checks. Made only by load_cache;
// moved only before it is shared.
struct LoadedCache {
  Manifest manifest;              // exactly as read
  std::vector<IndexEntry> index;  // one per sample; size() == manifest.sample_count
  std::filesystem::path root;     // as given to load_cache, not resolved
  bool validate_cache = false;    // the depth it was loaded at
  // One per manifest shard, in the same order: its path, reader-cache key and
  // the file identity the loader measured.
  std::vector<ShardFile> shard_files;

  LoadedCache(LoadedCache&& other) noexcept;
  LoadedCache& operator=(LoadedCache&&) = delete;

  // Reads sample `sample_index` through the calling thread's `readers`:
  // positioned read of its record, embedded metadata checked against the
  // schema (and, for a validated cache, against the stored row), payload
  // decoded by its own shard's compression. Changes only `readers`. Errors, in
  // order: InvalidCache "sample index <i> is out of range", "shard id <id> is
  // out of range", "invalid binary record" (range outside the shard's
  // byte_len), Io opening the shard, "invalid binary record" (length 0), Io
  // reading ("failed to fill whole buffer" at end of file), the errors of
  // split_sample_record, Json (embedded metadata), "embedded metadata keys do
  // not match schema", the errors of metadata_object_to_row, "embedded
  // metadata does not match metadata.arrow for sample <i>", the errors of
  // decompress_payload. Defined in sample_reader.cpp.
  Result<LoadedSample> read_sample_with_cache(size_t sample_index,
                                              ShardReaderCache& readers) const;

  // Runs `op` on the stored metadata rows (present exactly when the cache was
  // loaded with validation) with their mutex held, and returns its result.
  template <typename Op>
  decltype(auto) with_metadata_rows(Op&& op) const {
    std::lock_guard lock(metadata_rows_mutex_);
    return std::forward<Op>(op)(std::as_const(metadata_rows_));
  }

  // An Arrow IPC file reader over root/"metadata.arrow" (all columns), for the
  // samples metadata table; read its batches with read_metadata_batch. The
  // file is read into memory whole and closed at once; compressed buffers
  // are refused (see refusing_memory_pool). Works at either depth
  // and does not touch the stored rows. Failure: Io opening the file, Arrow
  // reading it or refusing its footer or schema.
  Result<std::shared_ptr<arrow::ipc::RecordBatchFileReader>> metadata_batches() const;

 private:
  friend Result<LoadedCache> load_cache(std::filesystem::path root, bool validate);
  LoadedCache() = default;

  mutable std::mutex metadata_rows_mutex_;
  std::optional<std::vector<MetadataRow>> metadata_rows_;  // guarded by metadata_rows_mutex_
};

}  // namespace zandrel::storage
