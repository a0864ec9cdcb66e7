// Single-thread sample read throughput from the page cache.
//
//   read_bench [rounds]         all figures
//   read_bench small-plain N    only N reads of 1 KiB samples, unvalidated
//                               (for profiling under perf or callgrind)
//
// Writes its caches under $TMPDIR (or /tmp) and removes them afterwards.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "zandrel/storage/builder.hpp"
#include "zandrel/storage/loader.hpp"

namespace {

namespace fs = std::filesystem;
using namespace zandrel;
using namespace zandrel::storage;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "read_bench: %s failed\n", what);
    std::exit(1);
  }
}

// `count` samples of `size` bytes each, with an int and a string field.
void build(const fs::path& root, size_t count, size_t size) {
  auto builder = CacheBuilder::create(root, "bench", 64u << 20, ShardCompression{});
  check(builder.has_value(), "create");
  for (size_t i = 0; i < count; ++i) {
    std::vector<uint8_t> data(size, static_cast<uint8_t>(i));
    MetadataMap meta{{"label", static_cast<int64_t>(i % 1000)},
                     {"path", "images/train/" + std::to_string(i) + ".jpg"}};
    check(builder->push_sample(std::move(data), std::move(meta)).has_value(), "push");
  }
  check(std::move(*builder).finish().has_value(), "finish");
}

// Reads every sample `rounds` times; returns seconds.
double read_all(const LoadedCache& cache, size_t rounds) {
  ShardReaderCache& readers = thread_shard_readers();
  auto start = std::chrono::steady_clock::now();
  for (size_t r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < cache.index.size(); ++i) {
      check(cache.read_sample_with_cache(i, readers).has_value(), "read");
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

LoadedCache load(const fs::path& root, bool validate) {
  auto cache = load_cache(root, validate);
  check(cache.has_value(), "load");
  return std::move(*cache);
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const fs::path base =
      fs::path(tmp ? tmp : "/tmp") / ("zandrel_read_bench_" + std::to_string(::getpid()));
  fs::remove_all(base);

  constexpr size_t kSmallCount = 20000;
  build(base / "small", kSmallCount, 1024);

  if (argc >= 2 && std::string(argv[1]) == "small-plain") {
    size_t n = argc >= 3 ? std::stoul(argv[2]) : 100000;
    LoadedCache cache = load(base / "small", false);
    read_all(cache, 1);  // warm the page cache
    read_all(cache, (n + kSmallCount - 1) / kSmallCount);
    fs::remove_all(base);
    return 0;
  }

  const size_t rounds = argc >= 2 ? std::stoul(argv[1]) : 10;
  for (bool validate : {false, true}) {
    LoadedCache cache = load(base / "small", validate);
    read_all(cache, 1);
    double s = read_all(cache, rounds);
    std::printf("1 KiB samples, %s: %.0f samples/s (%.2f us/sample)\n",
                validate ? "validated" : "unvalidated", kSmallCount * rounds / s,
                s * 1e6 / (kSmallCount * rounds));
  }

  constexpr size_t kBigCount = 256;
  build(base / "big", kBigCount, 1 << 20);
  LoadedCache big = load(base / "big", false);
  read_all(big, 1);
  double s = read_all(big, rounds);
  std::printf("1 MiB samples, unvalidated: %.0f MB/s (%.0f samples/s)\n",
              kBigCount * rounds * double(1 << 20) / 1e6 / s, kBigCount * rounds / s);

  fs::remove_all(base);
  return 0;
}
