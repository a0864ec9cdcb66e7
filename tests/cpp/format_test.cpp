// Cache format helpers: shard names, index rows, SHA-256 of files against
// digests computed independently (sha256sum), and the buffered file writer.
#include "zandrel/storage/format.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zandrel::storage {
namespace {

namespace fs = std::filesystem;

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zandrel_format_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path dir_;
};

TEST_F(FormatTest, ShardNamesAndIndexRows) {
  EXPECT_EQ(shard_file_name(0), "000000.bin");
  EXPECT_EQ(shard_file_name(41), "000041.bin");
  EXPECT_EQ(shard_file_name(999999), "999999.bin");
  EXPECT_EQ(shard_file_name(1000000), "1000000.bin");

  std::vector<uint8_t> row;
  append_index_entry(row, {3, 0x0102030405060708ull, 22});
  ASSERT_EQ(row.size(), INDEX_ROW_SIZE);
  EXPECT_EQ(row[8], 0x08);  // little-endian
  EXPECT_EQ(row[15], 0x01);
  row.push_back(0xEE);  // extra bytes after the first 24 are ignored
  auto entry = read_index_entry(row);
  ASSERT_TRUE(entry);
  EXPECT_EQ(*entry, (IndexEntry{3, 0x0102030405060708ull, 22}));

  auto short_row = read_index_entry(std::span(row).first(23));
  ASSERT_FALSE(short_row);
  EXPECT_EQ(short_row.error(), CacheError::invalid_cache("invalid binary record"));
}

TEST_F(FormatTest, HashFileMatchesKnownDigests) {
  const fs::path empty = write_file("empty.bin", {});
  auto empty_hash = hash_file(empty);
  ASSERT_TRUE(empty_hash);
  EXPECT_EQ(*empty_hash, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // 200 KiB spans several 64 KiB reads and ends in a partial one.
  std::vector<uint8_t> bytes(200 * 1024);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  const fs::path big = write_file("big.bin", bytes);
  const std::string digest = "b3cb6c687966c0bc6205a1aef0d0c25bf0f690e8fcad0dbdbf304bcc5f177aad";
  auto big_hash = hash_file(big);
  ASSERT_TRUE(big_hash);
  EXPECT_EQ(*big_hash, digest);

  // The streaming digest fed in uneven pieces agrees.
  Sha256 hasher;
  hasher.update(std::span(bytes).first(1));
  hasher.update(std::span(bytes).subspan(1, 70000));
  hasher.update(std::span(bytes).subspan(70001));
  EXPECT_EQ(hasher.finish_hex(), digest);

  EXPECT_TRUE(verify_file_checksum(big, digest));
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(verify_file_checksum(big, upper).error(),
            CacheError::invalid_cache("checksum mismatch for " + big.string()));
  EXPECT_FALSE(verify_file_checksum(big, digest + " "));

  auto missing = hash_file(dir_ / "missing.bin");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), CacheError::Kind::kIo);
}

TEST_F(FormatTest, BufferedWriterWritesEveryByteInOrder) {
  const fs::path path = write_file("out.bin", std::vector<uint8_t>(50000, 0xFF));  // truncated below
  std::vector<uint8_t> expected;
  {
    auto writer = BufferedWriter::create(path);
    ASSERT_TRUE(writer);
    // Small writes, one that overflows the buffer, one of exactly its size and
    // one larger than it; the last small write is left for the destructor.
    for (size_t size : {size_t{10}, size_t{8190}, size_t{8192}, size_t{20000}, size_t{3}, size_t{5}}) {
      std::vector<uint8_t> chunk(size);
      for (size_t i = 0; i < size; ++i) chunk[i] = static_cast<uint8_t>(expected.size() + i);
      ASSERT_TRUE(writer->write(chunk));
      expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
  }
  EXPECT_EQ(read_file(path), expected);

  // New files are created 0666 less the umask.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const fs::path fresh = dir_ / "fresh.bin";
  ASSERT_TRUE(BufferedWriter::create(fresh));
  struct stat st;
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  auto fd = open_read_only(path);
  ASSERT_TRUE(fd);
  std::vector<uint8_t> tail(10);
  ASSERT_TRUE(read_exact_at(fd->get(), expected.size() - 10, tail));
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), expected.end() - 10));
  EXPECT_EQ(read_exact_at(fd->get(), expected.size() - 5, tail).error(),
            CacheError::io_message("failed to fill whole buffer"));

  auto bad = BufferedWriter::create(dir_ / "no" / "such" / "dir.bin");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), CacheError::io(ENOENT));
}

}  // namespace
}  // namespace zandrel::storage
