#include "zandrel/storage/format.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <new>

namespace zandrel::storage {

std::string shard_file_name(uint64_t shard_id) {
  char name[32];
  const int n = std::snprintf(name, sizeof name, "%06llu.bin", static_cast<unsigned long long>(shard_id));
  return std::string(name, static_cast<size_t>(n));
}

// ---------------------------------------------------------------------------
// index.bin rows

void store_u64_le(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t load_u64_le(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

Result<IndexEntry> read_index_entry(std::span<const uint8_t> row) {
  if (row.size() < INDEX_ROW_SIZE) return Err(CacheError::invalid_cache("invalid binary record"));
  return IndexEntry{load_u64_le(row.data()), load_u64_le(row.data() + 8), load_u64_le(row.data() + 16)};
}

std::array<uint8_t, INDEX_ROW_SIZE> encode_index_entry(const IndexEntry& entry) {
  std::array<uint8_t, INDEX_ROW_SIZE> row;
  store_u64_le(row.data(), entry.shard_id);
  store_u64_le(row.data() + 8, entry.offset);
  store_u64_le(row.data() + 16, entry.length);
  return row;
}

// ---------------------------------------------------------------------------
// SHA-256

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  // Only an allocation failure can make either call fail.
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

Sha256::Sha256(Sha256&& other) noexcept : ctx_(other.ctx_) { other.ctx_ = nullptr; }

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    EVP_MD_CTX_free(ctx_);
    ctx_ = other.ctx_;
    other.ctx_ = nullptr;
  }
  return *this;
}

void Sha256::update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(ctx_, bytes.data(), bytes.size());
}

std::string Sha256::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_, digest, &len);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(2 * len, '\0');
  for (unsigned int i = 0; i < len; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return hex;
}

Result<std::string> hash_file(const std::filesystem::path& path) {
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, open_read_only(path));
  std::vector<uint8_t> buffer(kHashBufferSize);
  Sha256 hasher;
  for (;;) {
    ZR_ASSIGN_OR_RETURN(size_t n, read_some(fd.get(), buffer));
    if (n == 0) break;
    hasher.update(std::span(buffer.data(), n));
  }
  return hasher.finish_hex();
}

Status verify_file_checksum(const std::filesystem::path& path, std::string_view expected) {
  ZR_ASSIGN_OR_RETURN(std::string actual, hash_file(path));
  if (actual != expected) {
    return Err(CacheError::invalid_cache("checksum mismatch for " + path.string()));
  }
  return {};
}

// ---------------------------------------------------------------------------
// POSIX file helpers

CacheError last_os_error() { return CacheError::io(errno); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() {
  // close(2) releases the descriptor even when it reports EINTR, so it is
  // never retried.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<UniqueFd> open_read_only(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Err(last_os_error());
  return UniqueFd(fd);
}

Result<UniqueFd> create_truncated(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Err(last_os_error());
  return UniqueFd(fd);
}

Result<uint64_t> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Err(last_os_error());
  return static_cast<uint64_t>(st.st_size);
}

Result<size_t> read_some(int fd, std::span<uint8_t> buffer) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Err(last_os_error());
  }
}

Status read_exact_at(int fd, uint64_t offset, std::span<uint8_t> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::pread(fd, buffer.data() + done, buffer.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(last_os_error());
    }
    if (n == 0) return Err(CacheError::io_message("failed to fill whole buffer"));
    done += static_cast<size_t>(n);
  }
  return {};
}

Status write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(last_os_error());
    }
    if (n == 0) return Err(CacheError::io_message("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return {};
}

Status write_all_at(int fd, uint64_t offset, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err(last_os_error());
    }
    if (n == 0) return Err(CacheError::io_message("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return {};
}

Result<BufferedWriter> BufferedWriter::create(const std::filesystem::path& path) {
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, create_truncated(path));
  return BufferedWriter(std::move(fd));
}

BufferedWriter::BufferedWriter(UniqueFd fd) : fd_(std::move(fd)) { buffer_.reserve(kWriteBufferSize); }

BufferedWriter::~BufferedWriter() { (void)close(); }

BufferedWriter& BufferedWriter::operator=(BufferedWriter&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = std::move(other.fd_);
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

Status BufferedWriter::write(std::span<const uint8_t> bytes) {
  if (bytes.size() <= kWriteBufferSize - buffer_.size()) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return {};
  }
  ZR_RETURN_IF_ERROR(flush());
  if (bytes.size() >= kWriteBufferSize) return write_all(fd_.get(), bytes);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Status BufferedWriter::flush() {
  if (buffer_.empty()) return {};
  Status status = write_all(fd_.get(), buffer_);
  buffer_.clear();
  return status;
}

Status BufferedWriter::close() {
  if (!fd_.valid()) return {};
  Status status = flush();
  fd_.reset();
  return status;
}

}  // namespace zandrel::storage
