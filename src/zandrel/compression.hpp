// Payload compression: how a sample's data bytes are stored in its record.
//
// Algo none stores the data unchanged. Algo lz4 stores the uncompressed
// length as an unsigned 32-bit little-endian integer followed by one raw LZ4
// block (no frame, no dictionary, no checksum); each payload stands alone.
// The setting's ratio plays no part here.
//
// Both functions are pure; any thread may call them at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zandrel/types.hpp"

namespace zandrel::compression {

// Size of the little-endian uncompressed-length prefix of an lz4 payload.
inline constexpr size_t kLz4PrefixSize = 4;

// Returns the stored payload of `data`. Algo none moves `data` through
// unchanged (no copy). Algo lz4 fails with InvalidArgument only when the data
// is 2^32 bytes or longer, since the length prefix could not hold its size and
// the record would not read back.
Result<std::vector<uint8_t>> compress_payload(std::vector<uint8_t> data,
                                              const ShardCompression& compression);

// Returns a new buffer with the data of a stored payload. Algo none copies the
// bytes. Algo lz4 allocates the prefix's length up front (capped at what the
// block could decode to) and decodes the block with bounds checks; a block
// that decodes to fewer bytes than the prefix says yields the shorter data.
// Every failure is InvalidCache "failed to decompress lz4 payload: <decoder
// error>".
Result<std::vector<uint8_t>> decompress_payload(std::span<const uint8_t> payload,
                                                const ShardCompression& compression);

// The two steps of decompress_payload for lz4, for a caller that brings its
// own output buffer: the capacity to allocate (the prefix's length, capped at
// what the block could decode to), then the decoding into `out` of that
// capacity, giving the decoded length. Errors as decompress_payload's.
Result<size_t> lz4_output_capacity(std::span<const uint8_t> payload);
Result<size_t> decompress_lz4_into(std::span<const uint8_t> payload, std::span<uint8_t> out);

}  // namespace zandrel::compression
