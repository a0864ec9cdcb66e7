#include "zandrel/compression.hpp"

#include <lz4.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace zandrel::compression {
namespace {

// Data lengths the 32-bit prefix can hold.
constexpr uint64_t kMaxLz4DataLen = 0xFFFF'FFFFull;
// Every LZ4 match copies at least this many bytes.
constexpr size_t kMinMatch = 4;
// Most output bytes one block byte can produce: a match of 19 + 255k bytes
// costs at least 3 + k block bytes, and a literal byte gives one.
constexpr uint64_t kMaxExpansion = 255;

CacheError lz4_error(std::string_view decoder_text) {
  return CacheError::invalid_cache("failed to decompress lz4 payload: " + std::string(decoder_text));
}

// An LZ4 block of one literal run holding all of `data`: valid for any length,
// used where liblz4's int-sized API cannot take the data.
size_t write_literal_block(std::span<const uint8_t> data, uint8_t* out) {
  uint8_t* op = out;
  const size_t n = data.size();
  if (n < 15) {
    *op++ = static_cast<uint8_t>(n << 4);
  } else {
    *op++ = 0xF0;
    size_t rest = n - 15;
    for (; rest >= 255; rest -= 255) *op++ = 255;
    *op++ = static_cast<uint8_t>(rest);
  }
  if (n != 0) std::memcpy(op, data.data(), n);
  return static_cast<size_t>(op - out) + n;
}

// The decoder's error, or none. `needed` is set for the output-too-small case.
enum class DecodeError { kNone, kExpectedByte, kLiteralOutOfBounds, kZeroOffset, kOffsetOutOfBounds, kOutputTooSmall };

struct DecodeResult {
  DecodeError error = DecodeError::kNone;
  size_t decoded = 0;  // output bytes produced (on success)
  size_t needed = 0;   // output length the failing run or match needed
};

// Copies exactly N bytes; the caller makes sure both ranges have room.
template <size_t N>
inline void copy_fixed(uint8_t* dst, const uint8_t* src) {
  std::memcpy(dst, src, N);
}

// Bounds-checked LZ4 block decoder into `out` of `capacity` bytes. Every
// check comes before the copy it guards, so the first error found is the
// error of the block. Where both sides have room to spare, short literal
// runs and matches are copied in fixed 16- or 8-byte steps that may write
// a few bytes past the run: those bytes lie inside `out` and are overwritten
// by the following sequences or cut off with the unused tail.
DecodeResult decode_block(std::span<const uint8_t> in, uint8_t* out, size_t capacity) {
  const uint8_t* ip = in.data();
  const uint8_t* const iend = ip + in.size();
  size_t pos = 0;
  // Reads the 255-continued length extension onto `length`.
  auto read_extension = [&](size_t& length) {
    for (;;) {
      if (ip == iend) return false;
      const uint8_t b = *ip++;
      length += b;
      if (b != 255) return true;
    }
  };
  for (;;) {
    if (ip == iend) return {DecodeError::kExpectedByte};
    const uint8_t token = *ip++;
    size_t literal_len = token >> 4;
    if (literal_len < 15 && iend - ip >= 16 && capacity - pos >= 16) {
      copy_fixed<16>(out + pos, ip);  // at most 14 literals, all in bounds
    } else {
      if (literal_len == 15 && !read_extension(literal_len)) return {DecodeError::kExpectedByte};
      if (literal_len > static_cast<size_t>(iend - ip)) return {DecodeError::kLiteralOutOfBounds};
      if (literal_len > capacity - pos) return {DecodeError::kOutputTooSmall, 0, pos + literal_len};
      if (literal_len != 0) std::memcpy(out + pos, ip, literal_len);
    }
    ip += literal_len;
    pos += literal_len;
    if (ip == iend) break;  // the last sequence has literals only

    if (iend - ip < 2) return {DecodeError::kExpectedByte};
    const size_t offset = static_cast<size_t>(ip[0]) | (static_cast<size_t>(ip[1]) << 8);
    ip += 2;
    size_t match_len = kMinMatch + (token & 0x0F);
    if ((token & 0x0F) == 15 && !read_extension(match_len)) return {DecodeError::kExpectedByte};
    if (offset == 0) return {DecodeError::kZeroOffset};
    if (offset > pos) return {DecodeError::kOffsetOutOfBounds};
    if (match_len > capacity - pos) return {DecodeError::kOutputTooSmall, 0, pos + match_len};

    uint8_t* dst = out + pos;
    const uint8_t* src = dst - offset;
    const size_t spare = capacity - pos - match_len;
    if (offset >= 16 && spare >= 16) {
      // Each step reads bytes at least 16 behind the ones it writes.
      for (size_t i = 0; i < match_len; i += 16) copy_fixed<16>(dst + i, src + i);
    } else if (offset >= match_len) {
      std::memcpy(dst, src, match_len);
    } else if (offset == 1) {
      std::memset(dst, *src, match_len);
    } else if (offset >= 8 && spare >= 8) {
      for (size_t i = 0; i < match_len; i += 8) copy_fixed<8>(dst + i, src + i);
    } else {
      for (size_t i = 0; i < match_len; ++i) dst[i] = src[i];  // short overlapping run
    }
    pos += match_len;
  }
  return {DecodeError::kNone, pos, 0};
}

// `length_field` is the payload's uncompressed length, the "actual" output size.
CacheError to_cache_error(const DecodeResult& result, size_t length_field) {
  switch (result.error) {
    case DecodeError::kExpectedByte:
      return lz4_error("expected another byte, found none");
    case DecodeError::kLiteralOutOfBounds:
      return lz4_error("literal is out of bounds of the input");
    case DecodeError::kZeroOffset:
      return lz4_error("0 is not a valid match offset");
    case DecodeError::kOffsetOutOfBounds:
      return lz4_error("the offset to copy is not contained in the decompressed buffer");
    case DecodeError::kOutputTooSmall:
    case DecodeError::kNone:
      break;
  }
  return lz4_error("provided output is too small for the decompressed data, actual " +
                   std::to_string(length_field) + ", expected " + std::to_string(result.needed));
}

// The uncompressed length stored in front of an lz4 block.
// REQUIRES: payload.size() >= kLz4PrefixSize.
size_t lz4_prefix(std::span<const uint8_t> payload) {
  return static_cast<size_t>(payload[0]) | (static_cast<size_t>(payload[1]) << 8) |
         (static_cast<size_t>(payload[2]) << 16) | (static_cast<size_t>(payload[3]) << 24);
}

}  // namespace

Result<std::vector<uint8_t>> compress_payload(std::vector<uint8_t> data,
                                              const ShardCompression& compression) {
  if (compression.algo == CompressionAlgo::kNone) return data;

  const uint64_t n = data.size();
  if (n > kMaxLz4DataLen) {
    return Err(CacheError::invalid_argument("sample data of " + std::to_string(n) +
                                            " bytes is too large for lz4 compression (limit is "
                                            "4294967295 bytes)"));
  }
  // Worst-case block size for n bytes plus the 4-byte prefix.
  std::vector<uint8_t> out(static_cast<size_t>(n * 110 / 100 + 24));
  out[0] = static_cast<uint8_t>(n);
  out[1] = static_cast<uint8_t>(n >> 8);
  out[2] = static_cast<uint8_t>(n >> 16);
  out[3] = static_cast<uint8_t>(n >> 24);
  uint8_t* block = out.data() + kLz4PrefixSize;
  const size_t block_capacity = out.size() - kLz4PrefixSize;
  size_t block_len = 0;
  if (n <= LZ4_MAX_INPUT_SIZE) {
    const int written = LZ4_compress_default(reinterpret_cast<const char*>(data.data()),
                                             reinterpret_cast<char*>(block), static_cast<int>(n),
                                             static_cast<int>(std::min<size_t>(block_capacity, INT_MAX)));
    // The capacity covers LZ4_compressBound(n), so the compressor does not
    // fail; should it ever, a literal block still reads back.
    block_len = written > 0 ? static_cast<size_t>(written) : write_literal_block(data, block);
  } else {
    block_len = write_literal_block(data, block);
  }
  out.resize(kLz4PrefixSize + block_len);
  out.shrink_to_fit();
  return out;
}

Result<size_t> lz4_output_capacity(std::span<const uint8_t> payload) {
  if (payload.size() < kLz4PrefixSize) return Err(lz4_error("expected another byte, found none"));
  const size_t expected_len = lz4_prefix(payload);
  // Never more than the block could fill: a damaged prefix must not make one
  // read allocate up to 4 GiB. The result is the same either way, since it is
  // cut to the decoded length, and output-too-small can only arise when the
  // prefix is below the bound.
  const uint64_t block_len = payload.size() - kLz4PrefixSize;
  return static_cast<size_t>(std::min<uint64_t>(expected_len, kMaxExpansion * block_len));
}

Result<size_t> decompress_lz4_into(std::span<const uint8_t> payload, std::span<uint8_t> out) {
  if (payload.size() < kLz4PrefixSize) return Err(lz4_error("expected another byte, found none"));
  const size_t expected_len = lz4_prefix(payload);
  const DecodeResult result = decode_block(payload.subspan(kLz4PrefixSize), out.data(), out.size());
  if (result.error != DecodeError::kNone) return Err(to_cache_error(result, expected_len));
  return result.decoded;
}

Result<std::vector<uint8_t>> decompress_payload(std::span<const uint8_t> payload,
                                                const ShardCompression& compression) {
  if (compression.algo == CompressionAlgo::kNone) {
    return std::vector<uint8_t>(payload.begin(), payload.end());
  }
  ZR_ASSIGN_OR_RETURN(const size_t capacity, lz4_output_capacity(payload));
  std::vector<uint8_t> out(capacity);
  ZR_ASSIGN_OR_RETURN(const size_t decoded, decompress_lz4_into(payload, out));
  out.resize(decoded);
  return out;
}

}  // namespace zandrel::compression
