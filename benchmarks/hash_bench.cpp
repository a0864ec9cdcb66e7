// hash_file throughput on a 256 MiB file (warm page cache), beside the
// sha256sum tool run on the same file as a child process.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "zandrel/storage/format.hpp"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

int main() {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("zandrel_hash_bench_" + std::to_string(::getpid()) + ".bin");
  const size_t size = 256u << 20;
  {
    auto writer = storage::BufferedWriter::create(path);
    if (!writer) return 1;
    std::vector<uint8_t> chunk(1 << 20);
    for (size_t i = 0; i < size; i += chunk.size()) {
      for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = static_cast<uint8_t>((i + j) * 2654435761u >> 13);
      if (!writer->write(chunk)) return 1;
    }
  }
  const double mb = static_cast<double>(size) / 1e6;
  std::string digest;
  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    digest = *storage::hash_file(path);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("hash_file round %d: %.0f MB/s (%s)\n", round, mb / s, digest.c_str());
  }
  const std::string command = "sha256sum '" + path.string() + "' > /dev/null";
  for (int round = 0; round < 2; ++round) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) std::printf("sha256sum failed\n");
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sha256sum round %d: %.0f MB/s (process start included)\n", round, mb / s);
  }
  std::filesystem::remove(path);
  return 0;
}
