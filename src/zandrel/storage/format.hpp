// The cache directory format shared by the cache builder (writer) and the
// cache loader and sample reader: file names, the 24-byte index row, SHA-256
// digests of files, and the small POSIX file helpers both sides use.
//
// Layout of a cache root (all integers little-endian):
//   shards/000000.bin ...  sample records back to back, no header or padding;
//                          a record is u64 M, M bytes of compact metadata
//                          JSON, then the payload (see compression.hpp)
//   metadata.arrow         every sample's metadata, Arrow IPC file format
//   index.bin              one 24-byte row per sample: u64 shard_id,
//                          u64 offset, u64 length (see IndexEntry)
//   manifest.json          the Manifest (manifest.hpp), written last
//
// Everything here is free of shared state: any thread may call any function;
// a Sha256, UniqueFd or BufferedWriter object belongs to one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zandrel/types.hpp"

// OpenSSL's digest context, kept out of this header.
struct evp_md_ctx_st;

namespace zandrel::storage {

// ---------------------------------------------------------------------------
// Names and sizes

inline constexpr std::string_view kManifestFileName = "manifest.json";
inline constexpr std::string_view kIndexFileName = "index.bin";
inline constexpr std::string_view kMetadataFileName = "metadata.arrow";
inline constexpr std::string_view kShardsDirName = "shards";

// Bytes per index.bin row: three u64 fields.
inline constexpr size_t INDEX_ROW_SIZE = 24;
// The only manifest "format_version" written and accepted.
inline constexpr uint32_t MANIFEST_FORMAT_VERSION = 2;

// Buffer size of every BufferedWriter (the side files and the write profile;
// shard files go through a ShardSink).
inline constexpr size_t kWriteBufferSize = 8192;
// Buffer size of hash_file's reads.
inline constexpr size_t kHashBufferSize = 65536;

// The shard's file name inside "shards": the id in decimal, zero-padded to at
// least six digits, then ".bin" (0 -> "000000.bin", 1000000 -> "1000000.bin").
std::string shard_file_name(uint64_t shard_id);

// ---------------------------------------------------------------------------
// index.bin rows

// One index.bin row: where sample i's record lies.
struct IndexEntry {
  uint64_t shard_id;  // position of the shard in the manifest's "shards"
  uint64_t offset;    // first byte of the record in the shard file
  uint64_t length;    // whole record length, 8 + M + P

  bool operator==(const IndexEntry&) const = default;
};

// The entry held in the first 24 bytes of `row`; fewer bytes give
// InvalidCache "invalid binary record".
Result<IndexEntry> read_index_entry(std::span<const uint8_t> row);

// The 24-byte little-endian row of `entry`.
std::array<uint8_t, INDEX_ROW_SIZE> encode_index_entry(const IndexEntry& entry);

// Little-endian u64 helpers.
void store_u64_le(uint8_t* out, uint64_t value);
uint64_t load_u64_le(const uint8_t* in);

// ---------------------------------------------------------------------------
// SHA-256

// A streaming SHA-256 digest over OpenSSL EVP. Move-only.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&& other) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const uint8_t> bytes);
  // The digest of everything fed so far as 64 lowercase hex characters.
  // REQUIRES: called at most once; the object is only destroyed afterwards.
  std::string finish_hex();

 private:
  evp_md_ctx_st* ctx_;  // owned; null only after a move
};

// The SHA-256 of the whole file as 64 lowercase hex characters, read with one
// 65,536-byte buffer. Open and read failures are Io errors.
Result<std::string> hash_file(const std::filesystem::path& path);

// hash_file of `path` compared exactly (case-sensitive, untrimmed) with
// `expected`; a mismatch is InvalidCache "checksum mismatch for <path>".
Status verify_file_checksum(const std::filesystem::path& path, std::string_view expected);

// ---------------------------------------------------------------------------
// POSIX file helpers

// CacheError::io of the calling thread's current errno.
CacheError last_os_error();

// An owned file descriptor, closed when the object goes. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  // Closes the descriptor (errors ignored) and holds -1.
  void reset();

 private:
  int fd_ = -1;
};

// Opens `path` read-only (O_CLOEXEC). Failure: Io.
Result<UniqueFd> open_read_only(const std::filesystem::path& path);

// Creates or truncates `path` write-only with permission bits 0666 before the
// umask. Failure: Io.
Result<UniqueFd> create_truncated(const std::filesystem::path& path);

// Size of an open file (fstat). Failure: Io.
Result<uint64_t> file_size(int fd);

// One read(2) into `buffer`, retried on EINTR; 0 means end of file.
Result<size_t> read_some(int fd, std::span<uint8_t> buffer);

// Fills `buffer` from `offset` with positioned reads. End of file before the
// buffer is full is Io "failed to fill whole buffer".
Status read_exact_at(int fd, uint64_t offset, std::span<uint8_t> buffer);

// Writes every byte of `bytes` to `fd`, retrying partial writes and EINTR.
Status write_all(int fd, std::span<const uint8_t> bytes);

// Writes every byte of `bytes` to `fd` from `offset` with positioned writes,
// retrying partial writes and EINTR; the file position is not used.
Status write_all_at(int fd, uint64_t offset, std::span<const uint8_t> bytes);

// A write-only file behind an 8192-byte buffer. Writes smaller than the free
// space are buffered; larger ones go out after the buffer, directly when they
// do not fit in an empty buffer. Dropping the writer writes out the buffer
// (errors ignored) and closes the file. Move-only; one thread at a time.
class BufferedWriter {
 public:
  // create_truncated(path) behind a fresh buffer.
  static Result<BufferedWriter> create(const std::filesystem::path& path);
  explicit BufferedWriter(UniqueFd fd);
  ~BufferedWriter();
  BufferedWriter(BufferedWriter&&) noexcept = default;
  BufferedWriter& operator=(BufferedWriter&&) noexcept;
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  Status write(std::span<const uint8_t> bytes);
  Status write(std::string_view text) {
    return write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  // Writes out the buffered bytes. On failure the buffer is dropped, so a
  // later flush or the destructor does not write them again.
  Status flush();
  // flush(), then closes the file whatever flush returned.
  Status close();

  bool is_open() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
  std::vector<uint8_t> buffer_;  // capacity kWriteBufferSize; size = pending bytes
};

}  // namespace zandrel::storage
