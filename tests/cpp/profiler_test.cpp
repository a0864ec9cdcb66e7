#include "zandrel/writer/profiler.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <regex>
#include <sstream>

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;
using std::chrono::nanoseconds;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

fs::path fresh_dir(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("zandrel_profiler_" + name + "_" +
                                              std::to_string(::getpid()));
  fs::remove_all(dir);
  return dir;
}

TEST(WriterProfiler, ProfileTextOrdersSourcesAndStagesByName) {
  ProfileSources sources;
  StageStats& shard_flush = sources["b"].stages[stage_name(WriterStage::kShardFlush)];
  add_record(shard_flush, 7, 0);
  StageStats& compression = sources["b"].stages[stage_name(WriterStage::kCompression)];
  add_record(compression, 10, 100);
  add_record(compression, 5, 50);
  sources["a\"\n"].stages[stage_name(WriterStage::kPythonNext)];  // zero stats
  EXPECT_EQ(render_profile({}, 3),
            "{\n  \"format_version\": 1,\n  \"elapsed_ns\": 3,\n  \"sources\": []\n}");

  const Uint128 big = (Uint128{1} << 64) * 5;  // beyond u64
  EXPECT_EQ(render_profile(sources, big),
            R"({
  "format_version": 1,
  "elapsed_ns": 92233720368547758080,
  "sources": [
    {
      "source_name": "a\"\n",
      "stages": [
        {
          "name": "python_next",
          "calls": 0,
          "total_ns": 0,
          "bytes": 0
        }
      ]
    },
    {
      "source_name": "b",
      "stages": [
        {
          "name": "compression",
          "calls": 2,
          "total_ns": 15,
          "bytes": 150
        },
        {
          "name": "shard_flush",
          "calls": 1,
          "total_ns": 7,
          "bytes": 0
        }
      ]
    }
  ]
})");
}

TEST(WriterProfiler, CountersSaturate) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  StageStats stats{.total_ns = ~Uint128{0} - 1, .calls = kMax, .bytes = kMax - 1};
  add_record(stats, 5, 5);
  EXPECT_EQ(stats.total_ns, ~Uint128{0});
  EXPECT_EQ(stats.calls, kMax);
  EXPECT_EQ(stats.bytes, kMax);
  EXPECT_EQ(u128_to_string(~Uint128{0}), "340282366920938463463374607431768211455");
  EXPECT_EQ(u128_to_string(0), "0");
}

TEST(WriterProfiler, RecordsBuilderStatsAndWritesFile) {
  const fs::path dir = fresh_dir("write");
  const fs::path path = dir / "out" / "prof" / "run.json";  // parents are created
  auto profiler = WriterProfiler::create(true, path);
  auto copy = profiler;  // handles share one state
  copy.record_sample("src", storage::SampleWriteStats{
                                .data_len = 10,
                                .record_len = 30,
                                .metadata_validate = nanoseconds(1),
                                .compression = nanoseconds(2),
                                .record_encode = nanoseconds(3),
                                .disk_write = std::chrono::seconds(2) + nanoseconds(4),
                            });
  profiler.record_finish("src", storage::CacheFinishStats{nanoseconds(5), nanoseconds(6),
                                                          nanoseconds(7), nanoseconds(8)});
  profiler.record_bytes("src", WriterStage::kPublish, nanoseconds(-3), 0);  // counts as 0
  ASSERT_TRUE(profiler.finish());

  // Everything but the wall time is fixed.
  const std::string text =
      std::regex_replace(read_text(path), std::regex("\"elapsed_ns\": [0-9]+"), "\"elapsed_ns\": N");
  const std::vector<std::string> expected = {
      "compression 1 2 10",     "disk_write 1 2000000004 30", "finish_index 1 7 0",
      "finish_manifest 1 8 0",  "finish_metadata 1 6 0",      "metadata_validate 1 1 0",
      "publish 1 0 0",          "record_encode 1 3 30",       "shard_flush 1 5 0",
  };
  const std::regex stage_re(
      R"re("name": "([a-z_]+)",\n +"calls": (\d+),\n +"total_ns": (\d+),\n +"bytes": (\d+)\n)re");
  std::vector<std::string> got;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), stage_re);
       it != std::sregex_iterator(); ++it) {
    got.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str() + " " +
                  (*it)[4].str());
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(text.rfind("{\n  \"format_version\": 1,\n  \"elapsed_ns\": N,\n", 0), 0u) << text;
  EXPECT_EQ(text.back(), '}');

  // A second run truncates the longer profile it replaces.
  ASSERT_TRUE(WriterProfiler::create(true, path).finish());
  EXPECT_EQ(std::regex_replace(read_text(path), std::regex("[0-9]+,"), "N,"),
            "{\n  \"format_version\": N,\n  \"elapsed_ns\": N,\n  \"sources\": []\n}");
  fs::remove_all(dir);
}

TEST(WriterProfiler, DisabledTouchesNothingAndErrorsAreReported) {
  const fs::path dir = fresh_dir("errors");
  auto disabled = WriterProfiler::create(false, dir / "p.json");
  disabled.record_bytes("s", WriterStage::kPythonNext, nanoseconds(1), 1);
  EXPECT_TRUE(disabled.finish());
  EXPECT_FALSE(fs::exists(dir));

  fs::create_directories(dir);
  std::ofstream(dir / "file") << "x";
  auto result = WriterProfiler::create(true, dir / "file" / "p.json").finish();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kIo);

  result = WriterProfiler::create(true, dir).finish();  // a directory cannot be opened
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), CacheError::Kind::kIo);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zandrel::writer
