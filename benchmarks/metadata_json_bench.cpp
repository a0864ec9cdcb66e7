// Sample-record metadata objects written and read per second, for a typical
// four-field object (bool, int, float, string) and for one the direct reader
// leaves to the general reader (an escaped string).
// Usage: metadata_json_bench [iterations]   (default 1,000,000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zandrel/metadata_json.hpp"

namespace {

template <typename F>
double per_second(int iterations, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < iterations; ++i) body(i);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return iterations / elapsed.count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zandrel;
  const int kIterations = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  MetadataMap map{{"flag", true},
                  {"label", int64_t{123456}},
                  {"score", 0.8125},
                  {"path", std::string("images/train/000123.jpg")}};

  std::string text;
  size_t checksum = 0;
  const double writes = per_second(kIterations, [&](int i) {
    map["label"] = int64_t{i};
    text.clear();
    write_metadata_map(text, map);
    checksum += text.size();
  });

  const double reads = per_second(kIterations, [&](int) {
    auto parsed = parse_metadata_object(text);
    checksum += parsed ? parsed->size() : 0;
  });

  const std::string escaped = text.substr(0, text.size() - 1) + R"(,"z":"a\tb"})";
  const double general_reads = per_second(kIterations, [&](int) {
    auto parsed = parse_metadata_object(escaped);
    checksum += parsed ? parsed->size() : 0;
  });

  std::printf("metadata object: %s (%zu bytes)\n", text.c_str(), text.size());
  std::printf("write_metadata_map:               %.0f objects/s\n", writes);
  std::printf("parse_metadata_object:            %.0f objects/s\n", reads);
  std::printf("parse_metadata_object (escaped):  %.0f objects/s\n", general_reads);
  std::printf("(checksum %zu)\n", checksum);
  return 0;
}
