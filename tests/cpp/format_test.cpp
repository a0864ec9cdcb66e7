// Cache format helpers: shard names, index rows, SHA-256 of files against
// digests computed independently (sha256sum), and the buffered file writer.
#include "zandrel/storage/format.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace zandrel::storage {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A scratch directory per test process (ctest runs each test on its own).
class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::remove_all(dir_), fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write_file(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return dir_ / name;
  }

  const fs::path dir_ = fs::temp_directory_path() / ("zandrel_format_test_" + std::to_string(::getpid()));
};

TEST_F(FormatTest, NamesIndexRowsAndDigests) {
  EXPECT_EQ(shard_file_name(0), "000000.bin");
  EXPECT_EQ(shard_file_name(1000000), "1000000.bin");

  const IndexEntry entry{3, 0x0102030405060708ull, 22};
  const auto row = encode_index_entry(entry);
  EXPECT_EQ(row[8], 0x08);  // little-endian
  EXPECT_EQ(row[15], 0x01);
  Bytes longer(row.begin(), row.end());
  longer.push_back(0xEE);  // bytes after the first 24 are ignored
  EXPECT_EQ(*read_index_entry(longer), entry);
  EXPECT_EQ(read_index_entry(std::span(row).first(23)).error(),
            CacheError::invalid_cache("invalid binary record"));

  EXPECT_EQ(*hash_file(write_file("empty.bin", {})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // 200 KiB spans several 64 KiB reads and ends in a partial one.
  Bytes bytes(200 * 1024);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  const fs::path big = write_file("big.bin", bytes);
  const std::string digest = "b3cb6c687966c0bc6205a1aef0d0c25bf0f690e8fcad0dbdbf304bcc5f177aad";
  EXPECT_EQ(*hash_file(big), digest);

  // The comparison is exact: case-sensitive and untrimmed.
  EXPECT_TRUE(verify_file_checksum(big, digest));
  EXPECT_EQ(verify_file_checksum(big, "B3CB6C687966C0BC6205A1AEF0D0C25BF0F690E8FCAD0DBDBF304BCC5F177AAD").error(),
            CacheError::invalid_cache("checksum mismatch for " + big.string()));
  EXPECT_FALSE(verify_file_checksum(big, digest + " "));
  EXPECT_EQ(hash_file(dir_ / "missing.bin").error(), CacheError::io(ENOENT));
}

// Write order through the buffer is checked byte for byte by the builder's
// tests; here, how files are created.
TEST_F(FormatTest, BufferedWriterCreatesFiles) {
  const fs::path old = write_file("old.bin", Bytes(50000, 0xFF));
  ASSERT_TRUE(BufferedWriter::create(old)->write(std::string_view("abc")));  // flushed when dropped
  EXPECT_EQ(fs::file_size(old), 3u);

  const mode_t mask = ::umask(0);
  ::umask(mask);
  ASSERT_TRUE(BufferedWriter::create(dir_ / "new.bin"));
  EXPECT_EQ(fs::status(dir_ / "new.bin").permissions(), static_cast<fs::perms>(0666 & ~mask));
  EXPECT_EQ(BufferedWriter::create(dir_ / "no" / "dir.bin").error(), CacheError::io(ENOENT));
}

}  // namespace
}  // namespace zandrel::storage
