#include "zandrel/writer/progress.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>

namespace zandrel::writer {
namespace {

TEST(ProgressText, RatesAndEta) {
  // 2,000,000 bytes in 2 s; a sample within the first millisecond divides by 1 ms.
  EXPECT_EQ(spinner_message(1, 2'000'000, 2.0), "1 items | 0.5 items/s | 1.0 MB/s");
  EXPECT_EQ(spinner_message(3, 0, 0.0), "3 items | 3000.0 items/s | 0.0 MB/s");
  EXPECT_EQ(fixed1(0.25), "0.2");  // ties to even
  EXPECT_EQ(fixed1(0.35), "0.3");  // 0.35 is a little below its decimal text
  // 1e-10 s short of a minute rounds up to it; beyond 2^64 s is capped.
  const std::pair<double, std::string> etas[] = {
      {59.5, "59s"}, {60.0 - 1e-10, "1m 00s"}, {60.0, "1m 00s"}, {61.0, "1m 01s"},
      {3725.0, "1h 02m"}, {0.0, "0s"}, {1e30, "5124095576030431h 00m"}};
  for (const auto& [seconds, text] : etas) EXPECT_EQ(eta_text(seconds), text) << seconds;
  EXPECT_EQ(source_list_message(0, 10, 4.0), "ETA --");
  EXPECT_EQ(source_list_message(2, 10, 4.0), "0.5 sources/s | ETA 16s");
  EXPECT_EQ(source_list_message(10, 10, 4.0), "2.5 sources/s | ETA 0s");
}

TEST(ProgressText, Lines) {
  ProgressLine spinner{.prefix = "writing a", .message = "1 items", .ticks = 9};
  EXPECT_EQ(render_spinner_line(spinner, 80, true), "\x1b[32m⠂\x1b[0m writing a 1 items");
  EXPECT_EQ(render_spinner_line(spinner, 9, false), "⠂ writing");  // cut to the width
  // "sources 1/4 ETA --" is 18 columns; the bar takes 30 - 18 - 1 = 11.
  ProgressLine bar{.kind = ProgressLine::Kind::kBar, .prefix = "sources", .message = "ETA --",
                   .pos = 1, .len = 4};
  EXPECT_EQ(render_bar_line(bar, 30, true),
            "\x1b[36m==>\x1b[0m\x1b[34m--------\x1b[0m sources 1/4 ETA --");
  bar.pos = bar.len = 0;  // an empty list shows a full bar
  EXPECT_EQ(render_bar_line(bar, 30, false), "=========== sources 0/0 ETA --");
}

TEST(Progress, CountersSaturateAndHiddenDisplaysStartNoThread) {
  auto progress = WriteProgress::create(false, "a");
  progress.record_sample(UINT64_MAX);
  progress.record_sample(5);
  EXPECT_EQ(progress.items(), 2u);
  EXPECT_EQ(progress.bytes(), UINT64_MAX);
  EXPECT_FALSE(progress.has_spinner() || progress.ticking());

  EXPECT_EQ(ProgressDisplay::for_stderr()->visible(), ::isatty(STDERR_FILENO) == 1);
  auto list = SourceListProgress::create(true, 3, ProgressDisplay::hidden());
  auto inner = WriteProgress::create(true, "b", &list);
  EXPECT_TRUE(inner.has_spinner() && inner.in_multi());
  EXPECT_FALSE(inner.ticking());
}

// What `draw` writes on a display of `width` columns over a temporary file,
// and the rows a terminal shows afterwards (interpreting "\n", ESC[nA and
// ESC[2K; every row is written whole from column 0).
std::pair<std::string, std::vector<std::string>> drawn(
    size_t width, const std::function<void(std::shared_ptr<ProgressDisplay>)>& draw) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
  const int fd = fileno(file.get());
  draw(ProgressDisplay::for_fd(fd, width, /*color=*/false));
  std::string out(static_cast<size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
  std::vector<std::string> rows(1);
  size_t row = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\x1b') {
      const size_t end = out.find_first_of("AK", i);
      if (out[end] == 'A') row -= std::stoul(out.substr(i + 2, end - i - 2));
      if (out[end] == 'K') rows[row].clear();
      i = end;
    } else if (out[i] == '\n') {
      if (++row == rows.size()) rows.emplace_back();
    } else if (out[i] != '\r') {
      rows[row] += out[i];
    }
  }
  return {out, rows};
}

TEST(ProgressThread, LoneSpinnerStaysAndListSpinnersAreCleared) {
  const auto [lone, lone_rows] = drawn(100, [](std::shared_ptr<ProgressDisplay> display) {
    auto progress = WriteProgress::create(true, "src", nullptr, std::move(display));
    ASSERT_TRUE(progress.ticking());
    progress.record_sample(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // at least one tick
    progress.record_sample(1000);
    progress.finish();
    EXPECT_FALSE(progress.ticking());
  });
  EXPECT_NE(lone.find("⠂ writing src 1 items | "), std::string::npos) << lone;  // ticked
  ASSERT_EQ(lone_rows.size(), 2u) << lone;  // the final line, and the cursor below it
  EXPECT_EQ(lone_rows[0].rfind("  writing src 2 items | ", 0), 0u) << lone_rows[0];

  const auto [list, list_rows] = drawn(60, [](std::shared_ptr<ProgressDisplay> display) {
    auto sources = SourceListProgress::create(true, 2, std::move(display));
    auto a = WriteProgress::create(true, "a", &sources);
    auto b = WriteProgress::create(true, "b", &sources);  // two tickers on one display
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    a.finish();
    sources.record_result();
    b.finish();
    sources.record_result();
    sources.finish();
  });
  EXPECT_EQ(list.rfind("\r\x1b[2K------", 0), 0u) << list;  // the bar is drawn at once
  EXPECT_NE(list.find("writing b"), std::string::npos);  // spinners join the bar's display
  ASSERT_EQ(list_rows.size(), 3u) << list;  // only the full bar stays
  EXPECT_EQ(list_rows[0].rfind("=========", 0), 0u) << list_rows[0];
  EXPECT_NE(list_rows[0].find(" sources 2/2 "), std::string::npos) << list_rows[0];
  EXPECT_EQ(list_rows[1] + list_rows[2], "");
}

}  // namespace
}  // namespace zandrel::writer
