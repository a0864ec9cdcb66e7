#include "zandrel/writer/inputs.hpp"

#include <gtest/gtest.h>

namespace zandrel::writer {
namespace {

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

}  // namespace
}  // namespace zandrel::writer
