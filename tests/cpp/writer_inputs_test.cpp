#include "zandrel/writer/inputs.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace zandrel::writer {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(WriterInputs, SourceNamesAndDestinations) {
  auto name_error = [](std::string_view name) {
    Status status = check_source_name(name);
    return status ? std::string() : status.error().to_string();
  };
  for (std::string_view ok : {"a", "a/", "a//", "a/.", ".hidden", "..a", "caché"}) {
    EXPECT_EQ(name_error(ok), "") << ok;
  }
  for (std::string_view bad : {"./a", "a/b", "a/..", "/a", "/", ".", "..", "//", "a/./b"}) {
    EXPECT_EQ(name_error(bad), "CacheSource.name must be a plain path segment") << bad;
  }
  EXPECT_EQ(name_error(""), "CacheSource.name must not be empty");

  EXPECT_EQ(final_cache_path("out/", "x").native(), "out/x");
  EXPECT_EQ(final_cache_path("", "x/").native(), "x/");
  EXPECT_EQ(temp_cache_path_for_source("out", "x").native(), "out/tmp/x");
  // Destinations compare by component: a, a/ and a/. are one path; case counts.
  EXPECT_EQ(path_components("out//a/"), path_components("out/a/."));
  EXPECT_EQ(path_components("./out/../a"), (std::vector<std::string>{".", "out", "..", "a"}));
  EXPECT_NE(path_components("out/a"), path_components("out/A"));
  EXPECT_NE(path_components("/out/a"), path_components("out/a"));
}

// What prepare_cache_paths finds at a temporary path, and paths that name no
// file: removal as a directory tree takes a tree or a link, never a file.
TEST(WriterInputs, StaleBuildsAndPathsThatNameNoFile) {
  const fs::path base = fs::path(::testing::TempDir()) / ("inputs_" + std::to_string(getpid()));
  fs::remove_all(base);
  fs::create_directories(base / "tmp/tree/shards");
  fs::create_directories(base / "target");
  std::ofstream(base / "target/keep") << "k";
  std::ofstream(base / "tmp/file") << "stale";
  fs::create_directory_symlink(base / "target", base / "tmp/link");
  auto prepare = [&](const std::string& name) {
    Status status = prepare_cache_paths(base / name, base / "tmp" / name);
    return status ? std::string() : status.error().to_string();
  };

  EXPECT_EQ(prepare("tree"), "");
  EXPECT_EQ(prepare("link"), "");
  EXPECT_FALSE(fs::exists(base / "tmp/tree") || fs::is_symlink(base / "tmp/link"));
  EXPECT_TRUE(fs::exists(base / "target/keep"));
  EXPECT_EQ(prepare("file"), "I/O error: Not a directory (os error 20)");
  EXPECT_TRUE(fs::is_regular_file(base / "tmp/file"));

  // The system would see only the bytes before a NUL, here the stale tree
  // tmp/ab; the whole path names no file, so it is neither found nor removed.
  fs::create_directories(base / "tmp/ab");
  const fs::path temp = (base / "tmp/ab").native() + "\0cd"s;
  EXPECT_FALSE(path_exists(temp));
  EXPECT_EQ(prepare("ab\0cd"s), "I/O error: Invalid argument (os error 22) for " + temp.native());
  EXPECT_TRUE(fs::is_directory(base / "tmp/ab"));
  fs::remove_all(base);
}

}  // namespace
}  // namespace zandrel::writer
