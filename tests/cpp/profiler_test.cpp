#include "zandrel/writer/profiler.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;
using std::chrono::nanoseconds;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(WriterProfiler, ProfileTextAndSaturation) {
  EXPECT_EQ(render_profile({}, 3),
            "{\n  \"format_version\": 1,\n  \"elapsed_ns\": 3,\n  \"sources\": []\n}");

  ProfileSources sources;
  StageStats& flush = sources["b"].stages[stage_name(WriterStage::kShardFlush)];
  flush = {.total_ns = ~Uint128{0} - 1, .calls = UINT64_MAX, .bytes = UINT64_MAX - 1};
  add_record(flush, 5, 5);  // every counter stays at its maximum
  StageStats& compression = sources["a\"\n"].stages[stage_name(WriterStage::kCompression)];
  add_record(compression, 10, 100);
  add_record(compression, 5, 50);
  EXPECT_EQ(render_profile(sources, (Uint128{1} << 64) * 5), R"({
  "format_version": 1,
  "elapsed_ns": 92233720368547758080,
  "sources": [
    {
      "source_name": "a\"\n",
      "stages": [
        {
          "name": "compression",
          "calls": 2,
          "total_ns": 15,
          "bytes": 150
        }
      ]
    },
    {
      "source_name": "b",
      "stages": [
        {
          "name": "shard_flush",
          "calls": 18446744073709551615,
          "total_ns": 340282366920938463463374607431768211455,
          "bytes": 18446744073709551615
        }
      ]
    }
  ]
})");
}

TEST(WriterProfiler, WritesRecordedStagesToFile) {
  const fs::path dir = fs::temp_directory_path() / ("zandrel_profiler_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const fs::path path = dir / "out" / "prof" / "run.json";  // parents are created

  auto disabled = WriterProfiler::create(false, path);
  disabled.record_bytes("s", WriterStage::kPythonNext, nanoseconds(1), 1);
  EXPECT_TRUE(disabled.finish());
  EXPECT_FALSE(fs::exists(dir));

  auto profiler = WriterProfiler::create(true, path);
  WriterProfiler(profiler).record_sample(  // copies share one state
      "src", {.data_len = 10, .record_len = 30,
                             .metadata_validate = nanoseconds(1), .compression = nanoseconds(2),
                             .record_encode = nanoseconds(3),
                             .disk_write = std::chrono::seconds(2) + nanoseconds(4)});
  profiler.record_finish("src", {nanoseconds(5), nanoseconds(6), nanoseconds(7), nanoseconds(8)});
  profiler.record_bytes("src", WriterStage::kPublish, nanoseconds(9), 0);
  ASSERT_TRUE(profiler.finish());

  // Stages in name order, each "name calls total_ns bytes".
  const std::string text = read_text(path);
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(^\{\n  "format_version": 1,\n  "elapsed_ns": \d+,)")));
  const std::regex stage_re(
      R"re("name": "([a-z_]+)",\n +"calls": 1,\n +"total_ns": (\d+),\n +"bytes": (\d+)\n)re");
  std::string got;
  for (std::sregex_iterator it(text.begin(), text.end(), stage_re), end; it != end; ++it) {
    got += it->format("$1 $2 $3; ");
  }
  EXPECT_EQ(got,
            "compression 2 10; disk_write 2000000004 30; finish_index 7 0; finish_manifest 8 0; "
            "finish_metadata 6 0; metadata_validate 1 0; publish 9 0; record_encode 3 30; "
            "shard_flush 5 0; ");

  // A second run truncates the longer profile it replaces.
  ASSERT_TRUE(WriterProfiler::create(true, path).finish());
  EXPECT_TRUE(read_text(path).ends_with(",\n  \"sources\": []\n}"));

  auto result = WriterProfiler::create(true, path / "p.json").finish();  // parent is a file
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kIo);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zandrel::writer
