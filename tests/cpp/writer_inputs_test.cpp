#include "zandrel/writer/inputs.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;

std::string name_error(std::string_view name) {
  Status status = check_source_name(name);
  return status ? std::string() : status.error().to_string();
}

TEST(WriterInputs, SourceNameMustBeOnePlainSegment) {
  for (std::string_view ok : {"a", "a/", "a//", "a/.", ".hidden", "..a", "a b", "caché"}) {
    EXPECT_EQ(name_error(ok), "") << ok;
  }
  const std::string kNotPlain = "CacheSource.name must be a plain path segment";
  for (std::string_view bad : {"./a", "a/b", "a/..", "/a", "/", ".", "..", "//", "a/./b"}) {
    EXPECT_EQ(name_error(bad), kNotPlain) << bad;
  }
  EXPECT_EQ(name_error(""), "CacheSource.name must not be empty");
}

TEST(WriterInputs, PathsJoinAndCompareByComponent) {
  EXPECT_EQ(final_cache_path("out", "x").native(), "out/x");
  EXPECT_EQ(final_cache_path("out/", "x").native(), "out/x");
  EXPECT_EQ(final_cache_path("", "x").native(), "x");
  EXPECT_EQ(final_cache_path("out", "x/").native(), "out/x/");
  EXPECT_EQ(temp_cache_path_for_source("out", "x").native(), "out/tmp/x");
  EXPECT_EQ(temp_cache_path_for_source("/b/", "x").native(), "/b/tmp/x");

  using V = std::vector<std::string>;
  EXPECT_EQ(path_components("out/a"), (V{"out", "a"}));
  EXPECT_EQ(path_components("out//a/"), path_components("out/a"));
  EXPECT_EQ(path_components("out/a/."), path_components("out/a"));
  EXPECT_EQ(path_components("./out/../a"), (V{".", "out", "..", "a"}));
  EXPECT_EQ(path_components("/./a"), (V{"/", "a"}));
  EXPECT_NE(path_components("out/a"), path_components("out/A"));
  EXPECT_NE(path_components("/out/a"), path_components("out/a"));
}

TEST(WriterInputs, PrepareRefusesFinalPathAndClearsStaleBuild) {
  fs::path base = fs::temp_directory_path() / ("writer_inputs_" + std::to_string(::getpid()));
  fs::remove_all(base);
  fs::path final_path = base / "x", temp_path = base / "tmp" / "x";

  // Nothing there: success, nothing created.
  ASSERT_TRUE(prepare_cache_paths(final_path, temp_path));
  EXPECT_FALSE(fs::exists(base));

  // A stale build directory is removed, contents and all.
  fs::create_directories(temp_path / "shards");
  std::ofstream(temp_path / "shards" / "000000.bin") << "partial";
  ASSERT_TRUE(prepare_cache_paths(final_path, temp_path));
  EXPECT_FALSE(fs::exists(temp_path));
  EXPECT_TRUE(fs::exists(base / "tmp"));

  // A plain file at the final path blocks the write and keeps the stale build.
  fs::create_directories(temp_path);
  std::ofstream(final_path) << "not a cache";
  Status blocked = prepare_cache_paths(final_path, temp_path);
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error().to_string(), "cache path already exists: " + final_path.string());
  EXPECT_TRUE(fs::exists(temp_path));

  // A dangling symbolic link counts as nothing there.
  fs::remove(final_path);
  fs::create_symlink(base / "missing", final_path);
  EXPECT_TRUE(prepare_cache_paths(final_path, temp_path));

  fs::remove_all(base);
}

}  // namespace
}  // namespace zandrel::writer
