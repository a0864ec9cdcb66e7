// LZ4 payload compression throughput: our compress_payload/decompress_payload
// beside liblz4's block API called directly on the same payloads.
#include <lz4.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "zandrel/compression.hpp"

using namespace zandrel;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Text-like data: words from a small vocabulary with a pseudo-random choice.
std::vector<uint8_t> make_data(size_t n) {
  static const char* kWords[] = {"sample ", "tensor ", "epoch ", "shard ", "cache ", "0.125 ", "label=", "42 "};
  std::vector<uint8_t> data;
  data.reserve(n);
  uint32_t state = 7;
  while (data.size() < n) {
    state = state * 1664525u + 1013904223u;
    for (const char* c = kWords[state >> 29]; *c && data.size() < n; ++c) data.push_back(static_cast<uint8_t>(*c));
    if ((state & 0xFF) < 40 && data.size() < n) data.push_back(static_cast<uint8_t>(state >> 8));
  }
  return data;
}

void run(size_t payload_size, size_t total) {
  const size_t count = total / payload_size;
  const ShardCompression lz4{CompressionAlgo::kLz4, 1.0};
  std::vector<std::vector<uint8_t>> inputs;
  for (size_t i = 0; i < count; ++i) inputs.push_back(make_data(payload_size));
  const double mb = static_cast<double>(count * payload_size) / 1e6;

  // Ours: compress_payload takes the buffer, so hand it copies made beforehand.
  std::vector<std::vector<uint8_t>> copies = inputs;
  std::vector<std::vector<uint8_t>> stored(count);
  auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) stored[i] = *compression::compress_payload(std::move(copies[i]), lz4);
  const double ours_c = seconds_since(start);

  std::vector<std::vector<uint8_t>> direct(count, std::vector<uint8_t>(LZ4_compressBound(static_cast<int>(payload_size))));
  size_t direct_bytes = 0;
  start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    direct_bytes += static_cast<size_t>(LZ4_compress_default(
        reinterpret_cast<const char*>(inputs[i].data()), reinterpret_cast<char*>(direct[i].data()),
        static_cast<int>(payload_size), static_cast<int>(direct[i].size())));
  }
  const double lib_c = seconds_since(start);

  size_t decoded = 0;
  start = Clock::now();
  for (size_t i = 0; i < count; ++i) decoded += compression::decompress_payload(stored[i], lz4)->size();
  const double ours_d = seconds_since(start);

  std::vector<uint8_t> out(payload_size);
  start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    decoded += static_cast<size_t>(LZ4_decompress_safe(
        reinterpret_cast<const char*>(stored[i].data() + 4), reinterpret_cast<char*>(out.data()),
        static_cast<int>(stored[i].size() - 4), static_cast<int>(payload_size)));
  }
  const double lib_d = seconds_since(start);

  std::printf("payload %8zu B x %5zu (ratio %.2f): compress ours %7.0f MB/s liblz4 %7.0f MB/s | "
              "decompress ours %7.0f MB/s liblz4 %7.0f MB/s\n",
              payload_size, count, static_cast<double>(count * payload_size) / static_cast<double>(direct_bytes),
              mb / ours_c, mb / lib_c, mb / ours_d, mb / lib_d);
  if (decoded != 2 * count * payload_size) std::printf("  (decoded byte count mismatch!)\n");
}

}  // namespace

int main() {
  run(1024, 64u << 20);
  run(64 << 10, 256u << 20);
  run(1 << 20, 256u << 20);
  return 0;
}
