// CacheBuilder write throughput: 100,000 samples of 1 KiB and 1,000 samples
// of 1 MiB, stored raw and with lz4, under the temporary directory (removed
// after each run). MB/s counts the samples' data bytes over create..finish.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "zandrel/storage/builder.hpp"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> make_data(size_t n, uint32_t seed) {
  std::vector<uint8_t> data(n);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    if (i % 16 == 0) state = state * 1664525u + 1013904223u;
    data[i] = static_cast<uint8_t>((state >> 24) % 32 + 'a');  // compressible but not trivially
  }
  return data;
}

void run(size_t count, size_t sample_size, CompressionAlgo algo) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                     ("zandrel_write_bench_" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  const std::vector<uint8_t> base = make_data(sample_size + 4096, 3);
  std::chrono::nanoseconds compress{0}, encode{0}, disk{0};

  auto start = Clock::now();
  auto builder = storage::CacheBuilder::create(root, "bench", 64ull << 20, ShardCompression{algo, 1.0});
  if (!builder) return;
  for (size_t i = 0; i < count; ++i) {
    // Each sample is a shifted window of one buffer, so payloads differ.
    const size_t shift = (i * 97) % 4096;
    std::vector<uint8_t> data(base.begin() + static_cast<ptrdiff_t>(shift),
                              base.begin() + static_cast<ptrdiff_t>(shift + sample_size));
    MetadataMap metadata{{"id", static_cast<int64_t>(i)}, {"label", std::string("class_") + std::to_string(i % 10)},
                         {"score", 0.5 * static_cast<double>(i)}};
    auto stats = builder->push_sample(std::move(data), std::move(metadata));
    if (!stats) {
      std::printf("push failed: %s\n", stats.error().to_string().c_str());
      return;
    }
    compress += stats->compression;
    encode += stats->record_encode;
    disk += stats->disk_write;
  }
  auto finished = std::move(*builder).finish();
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  if (!finished) {
    std::printf("finish failed: %s\n", finished.error().to_string().c_str());
    return;
  }
  uint64_t stored = 0;
  for (const auto& shard : finished->manifest.shards) stored += shard.byte_len;
  const double mb = static_cast<double>(count * sample_size) / 1e6;
  auto ms = [](std::chrono::nanoseconds d) { return static_cast<double>(d.count()) / 1e6; };
  std::printf("%7zu x %7zu B %-4s: %7.0f MB/s, %.2f s, %zu shards, stored %.0f MB "
              "(compression %.0f ms, record_encode %.0f ms, disk_write %.0f ms)\n",
              count, sample_size, std::string(to_string(algo)).c_str(), mb / s, s,
              finished->manifest.shards.size(), static_cast<double>(stored) / 1e6, ms(compress), ms(encode),
              ms(disk));
  std::filesystem::remove_all(root);
}

}  // namespace

int main() {
  for (CompressionAlgo algo : {CompressionAlgo::kNone, CompressionAlgo::kLz4}) {
    run(100000, 1024, algo);
    run(1000, 1 << 20, algo);
  }
  return 0;
}
