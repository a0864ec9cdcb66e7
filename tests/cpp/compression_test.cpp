// Payload compression: round trips through both algorithms and every outcome
// of the bounds-checked LZ4 decoder.
#include "zandrel/compression.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zandrel::compression {
namespace {

using Bytes = std::vector<uint8_t>;

const ShardCompression kNone{CompressionAlgo::kNone, 1.0};
const ShardCompression kLz4{CompressionAlgo::kLz4, 2.0};

// A payload of a little-endian length field and a hand-made block.
Bytes payload(uint32_t len, const Bytes& block) {
  Bytes out(4 + block.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(len >> (8 * i));
  std::copy(block.begin(), block.end(), out.begin() + 4);
  return out;
}

// The decoded bytes as text, or the error message.
std::string decode(const Bytes& stored) {
  auto result = decompress_payload(stored, kLz4);
  if (result) return std::string(result->begin(), result->end());
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kInvalidCache);
  return result.error().message();
}

TEST(CompressionTest, RoundTrips) {
  Bytes data{1, 2, 3};
  const uint8_t* original = data.data();
  EXPECT_EQ(compress_payload(std::move(data), kNone)->data(), original);  // moved, not copied
  for (size_t n = 0; n <= 3; ++n) EXPECT_EQ(*decompress_payload(Bytes(n, 0xAB), kNone), Bytes(n, 0xAB));

  EXPECT_EQ(*compress_payload({}, kLz4), (Bytes{0, 0, 0, 0, 0}));
  Bytes mixed(65535), repetitive(1 << 20);
  for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<uint8_t>(i % 7 ? i / 64 : i * 2654435761u >> 24);
  for (size_t i = 0; i < repetitive.size(); ++i) repetitive[i] = "zandrel!"[i % 8];
  EXPECT_LT(compress_payload(repetitive, kLz4)->size(), repetitive.size() / 100);

  // Both sides of liblz4's switch from 16-bit to 32-bit table positions, a run
  // of one byte (offset-1 matches) and 1 MiB of a repeated word.
  for (const Bytes& data : {Bytes{}, Bytes(mixed.begin(), mixed.end() - 1), mixed,
                            Bytes(100000, 0), repetitive}) {
    auto stored = compress_payload(data, kLz4);
    ASSERT_TRUE(stored);
    const Bytes prefix = payload(static_cast<uint32_t>(data.size()), {});
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), stored->begin()));
    auto back = decompress_payload(*stored, kLz4);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, data) << data.size();
    // A length field above the true length yields the true data.
    std::fill_n(stored->begin(), 4, 0xFF);
    EXPECT_EQ(*decompress_payload(*stored, kLz4), data) << data.size();
  }
}

TEST(CompressionTest, Lz4DecoderOutcomes) {
  const std::string e = "failed to decompress lz4 payload: ";
  const std::string no_byte = e + "expected another byte, found none";
  const std::string too_small = e + "provided output is too small for the decompressed data, ";
  const struct {
    Bytes stored;
    std::string expected;
  } cases[] = {
      // Well-formed blocks that break liblz4's end-of-block rules: a short
      // final literal after a match; an overlapping match at offset 3.
      {payload(6, {0x10, 'a', 0x01, 0x00, 0x10, 'z'}), "aaaaaz"},
      {payload(14, {0x36, 'a', 'b', 'c', 0x03, 0x00, 0x10, 'z'}), "abcabcabcabcaz"},
      {payload(2000, {0x30, 'a', 'b', 'c'}), "abc"},
      {{}, no_byte},
      {{0, 0, 0}, no_byte},
      {payload(0, {}), no_byte},                         // empty block
      {payload(100, {0xF0}), no_byte},                   // in a length byte
      {payload(100, {0xF0, 0xFF}), no_byte},             // the length continues
      {payload(100, {0x10, 'a', 0x01}), no_byte},        // in the offset
      {payload(100, {0x1F, 'a', 0x01, 0x00}), no_byte},  // in the match length
      {payload(100, {0x10, 'a', 0x01, 0x00}), no_byte},  // ends after a match
      {payload(100, {0x30, 'a', 'b'}), e + "literal is out of bounds of the input"},
      {payload(100, {0x10, 'a', 0x00, 0x00, 0x50, 'b', 'c', 'd', 'e', 'f'}),
       e + "0 is not a valid match offset"},
      {payload(100, {0x10, 'a', 0x02, 0x00, 0x50, 'b', 'c', 'd', 'e', 'f'}),
       e + "the offset to copy is not contained in the decompressed buffer"},
      {payload(2, {0x30, 'a', 'b', 'c'}), too_small + "actual 2, expected 3"},
      {payload(3, {0x10, 'a', 0x01, 0x00, 0x10, 'z'}), too_small + "actual 3, expected 5"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.stored), c.expected);
}

}  // namespace
}  // namespace zandrel::compression
