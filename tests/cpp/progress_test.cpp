#include "zandrel/writer/progress.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace zandrel::writer {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A temporary file a display can draw on; text() reads what was drawn.
class DrawFile {
 public:
  DrawFile() {
    char name[] = "/tmp/zandrel_progress_XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
  }
  ~DrawFile() { ::close(fd_); }
  int fd() const { return fd_; }
  std::string text() const {
    std::string out(static_cast<size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fd_, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
  }

 private:
  int fd_;
};

// The rows a terminal shows after `out` was written to it: interprets "\r",
// "\n", ESC[nA (up), ESC[2K (clear row) and ESC[..m (colours, ignored).
std::vector<std::string> screen(const std::string& out) {
  std::vector<std::string> rows(1);
  size_t row = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r') continue;  // every row is written whole from column 0
    if (out[i] == '\n') {
      if (++row == rows.size()) rows.emplace_back();
    } else if (out[i] == '\x1b') {
      const size_t end = out.find_first_of("AKm", i);
      const std::string arg = out.substr(i + 2, end - i - 2);
      if (out[end] == 'A') row -= std::stoul(arg);
      if (out[end] == 'K') rows[row].clear();
      i = end;
    } else {
      rows[row] += out[i];
    }
  }
  return rows;
}

TEST(ProgressText, RatesAndEta) {
  // 2,000,000 bytes in 2 s; a sample within the first millisecond divides by 1 ms.
  EXPECT_EQ(spinner_message(1, 2'000'000, 2.0), "1 items | 0.5 items/s | 1.0 MB/s");
  EXPECT_EQ(spinner_message(3, 0, 0.0), "3 items | 3000.0 items/s | 0.0 MB/s");
  EXPECT_EQ(fixed1(0.25), "0.2");  // ties to even
  EXPECT_EQ(fixed1(0.35), "0.3");  // 0.35 is a little below its decimal text
  EXPECT_EQ(fixed1(1e20), "100000000000000000000.0");

  EXPECT_EQ(eta_text(59.5), "59s");
  EXPECT_EQ(eta_text(60.0), "1m 00s");
  EXPECT_EQ(eta_text(60.0 - 1e-10), "1m 00s");  // less than half a nanosecond short
  EXPECT_EQ(eta_text(59.9999999), "59s");
  EXPECT_EQ(eta_text(61.0), "1m 01s");
  EXPECT_EQ(eta_text(3599.0), "59m 59s");
  EXPECT_EQ(eta_text(3725.0), "1h 02m");
  EXPECT_EQ(eta_text(3600.0 * 1000 + 59), "1000h 00m");
  EXPECT_EQ(eta_text(0.0), "0s");
  EXPECT_EQ(eta_text(1e30), "5124095576030431h 00m");  // beyond u64 seconds: capped

  EXPECT_EQ(source_list_message(0, 10, 4.0), "ETA --");
  EXPECT_EQ(source_list_message(2, 10, 4.0), "0.5 sources/s | ETA 16s");
  EXPECT_EQ(source_list_message(10, 10, 4.0), "2.5 sources/s | ETA 0s");
  EXPECT_EQ(source_list_message(12, 10, 0.0), "12000.0 sources/s | ETA 0s");
  EXPECT_EQ(seconds_between(ProgressClock::time_point{},
                            ProgressClock::time_point{} + std::chrono::seconds(3) + nanoseconds(5)),
            3.000000005);
}

TEST(ProgressText, Lines) {
  ProgressLine spinner{.kind = ProgressLine::Kind::kSpinner, .prefix = "writing a",
                       .message = "1 items", .ticks = 9};
  EXPECT_EQ(render_spinner_line(spinner, 80, false), "⠂ writing a 1 items");
  EXPECT_EQ(render_spinner_line(spinner, 80, true), "\x1b[32m⠂\x1b[0m writing a 1 items");
  EXPECT_EQ(render_spinner_line(spinner, 9, false), "⠂ writing");
  spinner.finished = true;
  EXPECT_EQ(render_spinner_line(spinner, 80, false), "  writing a 1 items");

  ProgressLine bar{.kind = ProgressLine::Kind::kBar, .prefix = "sources", .message = "ETA --",
                   .pos = 1, .len = 4};
  // "sources 1/4 ETA --" is 18 columns; the bar takes 30 - 18 - 1 = 11.
  EXPECT_EQ(render_bar_line(bar, 30, false), "==>-------- sources 1/4 ETA --");
  EXPECT_EQ(render_bar_line(bar, 30, true),
            "\x1b[36m==>\x1b[0m\x1b[34m--------\x1b[0m sources 1/4 ETA --");
  bar.pos = 0;
  EXPECT_EQ(render_bar_line(bar, 30, false), "----------- sources 0/4 ETA --");
  bar.pos = 4;
  EXPECT_EQ(render_bar_line(bar, 30, false), "=========== sources 4/4 ETA --");
  bar.pos = 0;
  bar.len = 0;
  EXPECT_EQ(render_bar_line(bar, 30, false), "=========== sources 0/0 ETA --");
  EXPECT_EQ(render_bar_line(bar, 10, false), "sources 0/");
}

TEST(Progress, HiddenCountsWithoutDrawing) {
  auto progress = WriteProgress::create(false, "a");
  progress.record_sample(std::numeric_limits<uint64_t>::max());
  progress.record_sample(5);  // saturates
  EXPECT_EQ(progress.items(), 2u);
  EXPECT_EQ(progress.bytes(), std::numeric_limits<uint64_t>::max());
  EXPECT_FALSE(progress.has_spinner());
  EXPECT_FALSE(progress.ticking());
  progress.finish();

  // Shown on a hidden display: a spinner exists, but no ticker runs.
  auto list = SourceListProgress::create(true, 3, ProgressDisplay::hidden());
  auto inner = WriteProgress::create(true, "b", &list);
  EXPECT_TRUE(inner.has_spinner() && inner.in_multi());
  EXPECT_FALSE(inner.ticking());
  EXPECT_EQ(list.message(), "ETA --");
  list.record_result();
  EXPECT_EQ(list.completed(), 1u);
  EXPECT_NE(list.message().find(" sources/s | ETA "), std::string::npos);
}

TEST(ProgressThread, SingleSourceLeavesItsFinalLine) {
  DrawFile file;
  {
    auto display = ProgressDisplay::for_fd(file.fd(), 100, false);
    auto progress = WriteProgress::create(true, "src", nullptr, display);
    ASSERT_TRUE(progress.ticking());
    progress.record_sample(1000);
    std::this_thread::sleep_for(milliseconds(250));  // at least one tick
    progress.record_sample(1000);
    const auto now = ProgressClock::now();
    EXPECT_EQ(progress.message(now).rfind("2 items | ", 0), 0u);
    progress.finish();
    EXPECT_FALSE(progress.ticking());
  }
  const std::string text = file.text();
  EXPECT_NE(text.find("⠂ writing src 1 items | "), std::string::npos) << text;  // ticked
  // The final line stays: the blank frame and both items; the cursor below.
  const auto rows = screen(text);
  ASSERT_EQ(rows.size(), 2u) << text;
  EXPECT_EQ(rows[0].rfind("  writing src 2 items | ", 0), 0u) << rows[0];
  EXPECT_EQ(rows[1], "");
}

TEST(ProgressThread, ListSpinnerIsClearedOnSuccess) {
  DrawFile file;
  {
    auto display = ProgressDisplay::for_fd(file.fd(), 60, false);
    auto list = SourceListProgress::create(true, 2, display);
    auto a = WriteProgress::create(true, "a", &list);
    auto b = WriteProgress::create(true, "b", &list);  // two tickers on one display
    a.record_sample(1);
    b.record_sample(2);
    std::this_thread::sleep_for(milliseconds(150));
    a.finish();
    list.record_result();
    b.finish();
    list.record_result();
    list.finish();
  }
  const std::string text = file.text();
  EXPECT_EQ(text.rfind("\r\x1b[2K------", 0), 0u) << text;  // the bar drawn at once
  EXPECT_NE(text.find("writing a"), std::string::npos);
  EXPECT_NE(text.find("writing b"), std::string::npos);
  // Only the finished bar stays on screen, with the cursor below it.
  const auto rows = screen(text);
  ASSERT_EQ(rows.size(), 3u) << text;
  EXPECT_EQ(rows[0].rfind("=========", 0), 0u) << rows[0];
  EXPECT_NE(rows[0].find(" sources 2/2 "), std::string::npos) << rows[0];
  EXPECT_EQ(rows[0].size(), 59u);
  EXPECT_EQ(rows[1] + rows[2], "");
}

}  // namespace
}  // namespace zandrel::writer
