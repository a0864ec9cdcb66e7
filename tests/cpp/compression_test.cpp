// Payload compression: round trips through both algorithms and every error
// of the bounds-checked LZ4 decoder.
#include "zandrel/compression.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zandrel::compression {
namespace {

const ShardCompression kNone{CompressionAlgo::kNone, 1.0};
const ShardCompression kLz4{CompressionAlgo::kLz4, 2.0};

// Data that compresses somewhat: runs of a slowly changing pattern.
std::vector<uint8_t> mixed_data(size_t n) {
  std::vector<uint8_t> data(n);
  uint32_t state = 12345;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    data[i] = (i % 7 == 0) ? static_cast<uint8_t>(state >> 24) : static_cast<uint8_t>(i / 64);
  }
  return data;
}

// A payload of a length prefix and a hand-made block.
std::vector<uint8_t> payload(uint32_t len, std::vector<uint8_t> block) {
  std::vector<uint8_t> out{static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                           static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 24)};
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

std::string decode_error(const std::vector<uint8_t>& stored) {
  auto result = decompress_payload(stored, kLz4);
  if (result) return "<no error>";
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kInvalidCache);
  return result.error().message();
}

TEST(CompressionTest, NoneStoresDataUnchanged) {
  std::vector<uint8_t> data{1, 2, 3};
  const uint8_t* original = data.data();
  auto stored = compress_payload(std::move(data), kNone);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->data(), original);  // moved through, not copied
  for (size_t n = 0; n <= 3; ++n) {
    std::vector<uint8_t> bytes(n, 0xAB);
    auto back = decompress_payload(bytes, kNone);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, bytes);
  }
}

TEST(CompressionTest, Lz4RoundTrips) {
  auto empty = compress_payload({}, kLz4);
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, (std::vector<uint8_t>{0, 0, 0, 0, 0}));
  auto empty_back = decompress_payload(*empty, kLz4);
  ASSERT_TRUE(empty_back);
  EXPECT_TRUE(empty_back->empty());

  // Both sides of liblz4's switch from 16-bit to 32-bit table positions.
  for (size_t n : {size_t{65534}, size_t{65535}, size_t{65536}}) {
    const std::vector<uint8_t> data = mixed_data(n);
    auto stored = compress_payload(data, kLz4);
    ASSERT_TRUE(stored);
    EXPECT_EQ((*stored)[0] | ((*stored)[1] << 8) | ((*stored)[2] << 16), static_cast<int>(n));
    auto back = decompress_payload(*stored, kLz4);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, data) << n;
  }

  // A run of one byte (offset-1 matches) and a 1 MiB repeated 8-byte word.
  const std::vector<uint8_t> zeros(100000, 0);
  auto zero_back = decompress_payload(*compress_payload(zeros, kLz4), kLz4);
  ASSERT_TRUE(zero_back);
  EXPECT_EQ(*zero_back, zeros);
  std::vector<uint8_t> repetitive(1 << 20);
  for (size_t i = 0; i < repetitive.size(); ++i) repetitive[i] = "zandrel!"[i % 8];
  auto stored = compress_payload(repetitive, kLz4);
  ASSERT_TRUE(stored);
  EXPECT_LT(stored->size(), repetitive.size() / 100);
  auto back = decompress_payload(*stored, kLz4);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, repetitive);
}

TEST(CompressionTest, Lz4AcceptsValidBlocksLiblz4Refuses) {
  // A short final literal run after a match breaks liblz4's end-of-block
  // rules but is a well-formed block: 'a', a 4-byte match at offset 1, 'z'.
  auto back = decompress_payload(payload(6, {0x10, 'a', 0x01, 0x00, 0x10, 'z'}), kLz4);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(std::string(back->begin(), back->end()), "aaaaaz");

  // An overlapping match at offset 3, then a final literal.
  back = decompress_payload(payload(14, {0x36, 'a', 'b', 'c', 0x03, 0x00, 0x10, 'z'}), kLz4);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(std::string(back->begin(), back->end()), "abcabcabcabcaz");
}

TEST(CompressionTest, Lz4LengthFieldMismatch) {
  const std::vector<uint8_t> data = mixed_data(1000);
  auto stored = compress_payload(data, kLz4);
  ASSERT_TRUE(stored);

  // A larger length field yields the true, shorter data without an error.
  std::vector<uint8_t> larger = *stored;
  larger[0] = static_cast<uint8_t>(2000 & 0xFF);
  larger[1] = static_cast<uint8_t>(2000 >> 8);
  auto back = decompress_payload(larger, kLz4);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, data);

  // A smaller one fails with the output-too-small text.
  std::vector<uint8_t> smaller = *stored;
  smaller[0] = 10;
  smaller[1] = 0;
  EXPECT_TRUE(decode_error(smaller).starts_with(
      "failed to decompress lz4 payload: provided output is too small for the decompressed data, "
      "actual 10, expected "));
}

TEST(CompressionTest, Lz4DecoderErrors) {
  const std::string prefix = "failed to decompress lz4 payload: ";
  const std::string no_byte = prefix + "expected another byte, found none";
  for (size_t n = 0; n < 4; ++n) EXPECT_EQ(decode_error(std::vector<uint8_t>(n, 0)), no_byte);
  EXPECT_EQ(decode_error(payload(0, {})), no_byte);                        // empty block
  EXPECT_EQ(decode_error(payload(100, {0xF0})), no_byte);                  // in a length byte
  EXPECT_EQ(decode_error(payload(100, {0xF0, 0xFF})), no_byte);            // length continues
  EXPECT_EQ(decode_error(payload(100, {0x10, 'a', 0x01})), no_byte);       // in the offset
  EXPECT_EQ(decode_error(payload(100, {0x1F, 'a', 0x01, 0x00})), no_byte); // in the match length
  EXPECT_EQ(decode_error(payload(100, {0x10, 'a', 0x01, 0x00})), no_byte); // ends after a match

  EXPECT_EQ(decode_error(payload(100, {0x30, 'a', 'b'})), prefix + "literal is out of bounds of the input");
  EXPECT_EQ(decode_error(payload(100, {0x10, 'a', 0x00, 0x00, 0x50, 'b', 'c', 'd', 'e', 'f'})),
            prefix + "0 is not a valid match offset");
  EXPECT_EQ(decode_error(payload(100, {0x10, 'a', 0x02, 0x00, 0x50, 'b', 'c', 'd', 'e', 'f'})),
            prefix + "the offset to copy is not contained in the decompressed buffer");
  EXPECT_EQ(decode_error(payload(2, {0x30, 'a', 'b', 'c'})),
            prefix + "provided output is too small for the decompressed data, actual 2, expected 3");
  EXPECT_EQ(decode_error(payload(3, {0x10, 'a', 0x01, 0x00, 0x10, 'z'})),
            prefix + "provided output is too small for the decompressed data, actual 3, expected 5");
}

}  // namespace
}  // namespace zandrel::compression
