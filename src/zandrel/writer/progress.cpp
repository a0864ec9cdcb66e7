#include "zandrel/writer/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

namespace zandrel::writer {
namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(100);
constexpr size_t kDefaultWidth = 80;

// Spinner frames; a finished spinner shows the blank.
constexpr std::array<std::string_view, 8> kSpinnerFrames = {"⠁", "⠂", "⠄", "⡀",
                                                            "⢀", "⠠", "⠐", "⠈"};
constexpr std::string_view kSpinnerDone = " ";

constexpr std::string_view kGreen = "\x1b[32m";
constexpr std::string_view kCyan = "\x1b[36m";
constexpr std::string_view kBlue = "\x1b[34m";
constexpr std::string_view kReset = "\x1b[0m";

uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<uint64_t>::max() : sum;
}

// Columns of UTF-8 text, one per code point.
size_t columns(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `cols` code points of `text`.
std::string_view cut_to_columns(std::string_view text, size_t cols) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == cols) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

void write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a display never fails the write it shows
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

size_t terminal_width(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultWidth;
}

}  // namespace

// ---------------------------------------------------------------------------
// Texts

std::string fixed1(double value) {
  // std::to_chars rounds exactly and, unlike printf, ignores the C locale,
  // whose decimal point may be a comma. A double has at most 309 digits
  // before the point.
  char buffer[320];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
  return std::string(buffer, result.ptr);
}

std::string eta_text(double seconds) {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  uint64_t whole_seconds;
  if (!(seconds > 0)) {
    whole_seconds = 0;
  } else if (seconds >= kTwoTo64) {
    whole_seconds = std::numeric_limits<uint64_t>::max();
  } else {
    const double whole = std::floor(seconds);
    whole_seconds = static_cast<uint64_t>(whole);
    // Rounding to the nearest nanosecond may carry into the next second.
    if (std::llround((seconds - whole) * 1e9) >= 1'000'000'000) {
      whole_seconds = saturating_add(whole_seconds, 1);
    }
  }
  char buffer[64];
  const auto e = static_cast<unsigned long long>(whole_seconds);
  if (e < 60) {
    std::snprintf(buffer, sizeof buffer, "%llus", e);
  } else if (e < 3600) {
    std::snprintf(buffer, sizeof buffer, "%llum %02llus", e / 60, e % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lluh %02llum", e / 3600, (e % 3600) / 60);
  }
  return buffer;
}

std::string spinner_message(uint64_t items, uint64_t bytes, double elapsed_seconds) {
  const double s = std::max(elapsed_seconds, 0.001);
  const double items_per_s = static_cast<double>(items) / s;
  const double mb_per_s = (static_cast<double>(bytes) / 1e6) / s;
  return std::to_string(items) + " items | " + fixed1(items_per_s) + " items/s | " +
         fixed1(mb_per_s) + " MB/s";
}

std::string source_list_message(uint64_t completed, uint64_t total, double elapsed_seconds) {
  if (completed == 0) return "ETA --";
  const double s = std::max(elapsed_seconds, 0.001);
  const double rate = static_cast<double>(completed) / s;
  const uint64_t remaining = total > completed ? total - completed : 0;
  const double eta = static_cast<double>(remaining) / rate;
  return fixed1(rate) + " sources/s | ETA " + eta_text(eta);
}

double seconds_between(ProgressClock::time_point from, ProgressClock::time_point to) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

// ---------------------------------------------------------------------------
// Lines

std::string render_spinner_line(const ProgressLine& line, size_t width, bool color) {
  const std::string_view frame =
      line.finished ? kSpinnerDone : kSpinnerFrames[line.ticks % kSpinnerFrames.size()];
  std::string rest = line.prefix + " " + line.message;
  std::string out;
  if (color) out += kGreen;
  out += frame;
  if (color) out += kReset;
  out += " ";
  out += cut_to_columns(rest, width > 2 ? width - 2 : 0);
  return out;
}

std::string render_bar_line(const ProgressLine& line, size_t width, bool color) {
  const std::string rest = line.prefix + " " + std::to_string(line.pos) + "/" +
                           std::to_string(line.len) + " " + line.message;
  const size_t rest_cols = columns(rest);
  const size_t bar_cols = width > rest_cols + 1 ? width - rest_cols - 1 : 0;
  const double fraction =
      line.len == 0 ? 1.0
                    : std::min(1.0, static_cast<double>(line.pos) / static_cast<double>(line.len));
  const auto filled = static_cast<size_t>(std::floor(fraction * static_cast<double>(bar_cols)));
  const size_t head = (fraction > 0.0 && filled < bar_cols) ? 1 : 0;
  const size_t empty = bar_cols - filled - head;

  std::string out;
  if (color) out += kCyan;
  out.append(filled, '=');
  out.append(head, '>');
  if (color) out += kReset;
  if (color && empty > 0) out += kBlue;
  out.append(empty, '-');
  if (color && empty > 0) out += kReset;
  if (bar_cols > 0) out += " ";
  out += cut_to_columns(rest, width);
  return out;
}

std::shared_ptr<ProgressDisplay> ProgressDisplay::for_stderr() {
  if (::isatty(STDERR_FILENO) != 1) return hidden();
  return std::shared_ptr<ProgressDisplay>(
      new ProgressDisplay(STDERR_FILENO, terminal_width(STDERR_FILENO), /*color=*/true));
}

std::shared_ptr<ProgressDisplay> ProgressDisplay::for_fd(int fd, size_t width, bool color) {
  return std::shared_ptr<ProgressDisplay>(new ProgressDisplay(fd, width, color));
}

std::shared_ptr<ProgressDisplay> ProgressDisplay::hidden() {
  return std::shared_ptr<ProgressDisplay>(new ProgressDisplay(-1, 0, false));
}

ProgressDisplay::~ProgressDisplay() {
  // Leave the cursor below the lines that stay on screen.
  if (fd_ >= 0 && drawn_rows_ > 0) write_fully(fd_, "\n");
}

std::shared_ptr<ProgressLine> ProgressDisplay::add(ProgressLine line) {
  auto shared = std::make_shared<ProgressLine>(std::move(line));
  std::lock_guard lock(mutex_);
  lines_.push_back(shared);
  return shared;
}

void ProgressDisplay::remove(const std::shared_ptr<ProgressLine>& line) {
  std::lock_guard lock(mutex_);
  std::erase(lines_, line);
}

void ProgressDisplay::redraw() {
  std::lock_guard lock(mutex_);
  draw_locked();
}

// Moves to the first row drawn last time, rewrites every row (clearing rows
// whose line has gone) and leaves the cursor on the last line drawn.
void ProgressDisplay::draw_locked() {
  if (fd_ < 0) return;
  const size_t width = width_ > 1 ? width_ - 1 : 1;  // keep clear of the last column
  const size_t lines = lines_.size();
  const size_t rows = std::max(lines, drawn_rows_);
  std::string out = "\r";
  if (drawn_rows_ > 1) out += "\x1b[" + std::to_string(drawn_rows_ - 1) + "A";
  for (size_t i = 0; i < rows; ++i) {
    if (i > 0) out += "\n";
    out += "\x1b[2K";
    if (i >= lines) continue;
    const ProgressLine& line = *lines_[i];
    out += line.kind == ProgressLine::Kind::kBar ? render_bar_line(line, width, color_)
                                                 : render_spinner_line(line, width, color_);
  }
  const size_t up = rows - std::max<size_t>(lines, 1);
  if (rows > 0 && up > 0) out += "\x1b[" + std::to_string(up) + "A";
  drawn_rows_ = lines;
  write_fully(fd_, out);
}

// ---------------------------------------------------------------------------
// Ticker

Ticker::Ticker(std::shared_ptr<ProgressDisplay> display, std::shared_ptr<ProgressLine> line,
               std::chrono::milliseconds period)
    : thread_(&Ticker::run, this, std::move(display), std::move(line), period) {}

void Ticker::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Ticker::run(std::shared_ptr<ProgressDisplay> display, std::shared_ptr<ProgressLine> line,
                 std::chrono::milliseconds period) {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
    lock.unlock();
    try {
      display->update(*line, [](ProgressLine& l) { ++l.ticks; }, /*redraw=*/true);
    } catch (...) {
      // A redraw that cannot allocate is skipped; nothing may leave the thread.
    }
    lock.lock();
  }
}

// ---------------------------------------------------------------------------
// WriteProgress

WriteProgress WriteProgress::create(bool show_progress, std::string_view name,
                                    SourceListProgress* container,
                                    std::shared_ptr<ProgressDisplay> display) {
  WriteProgress progress;
  if (show_progress) {
    if (container != nullptr && container->display() != nullptr) {
      display = container->display();
    } else if (display == nullptr) {
      display = ProgressDisplay::for_stderr();
    }
    ProgressLine spinner;
    spinner.kind = ProgressLine::Kind::kSpinner;
    spinner.prefix = "writing " + std::string(name);
    progress.line_ = display->add(std::move(spinner));
    progress.display_ = std::move(display);
    if (progress.display_->visible()) {
      progress.display_->redraw();
      try {
        progress.ticker_ =
            std::make_unique<Ticker>(progress.display_, progress.line_, kTickPeriod);
      } catch (const std::system_error&) {
        // No thread to spare: the spinner still redraws with the source bar.
      }
    }
  }
  progress.start_ = ProgressClock::now();
  progress.in_multi_ = container != nullptr;
  return progress;
}

WriteProgress::~WriteProgress() = default;

std::string WriteProgress::message(ProgressClock::time_point now) const {
  return spinner_message(items_, bytes_, seconds_between(start_, now));
}

void WriteProgress::record_sample(uint64_t bytes) {
  items_ = saturating_add(items_, 1);
  bytes_ = saturating_add(bytes_, bytes);
  if (line_ == nullptr) return;
  std::string text = message(ProgressClock::now());
  display_->update(
      *line_,
      [&](ProgressLine& line) {
        line.pos = saturating_add(line.pos, 1);
        line.message = std::move(text);
      },
      /*redraw=*/false);
}

void WriteProgress::finish() {
  if (line_ == nullptr) return;
  ticker_.reset();  // no tick may redraw the line after its final state
  if (in_multi_) {
    display_->remove(line_);
    display_->redraw();
    return;
  }
  std::string text = message(ProgressClock::now());
  display_->update(
      *line_,
      [&](ProgressLine& line) {
        line.finished = true;
        line.message = std::move(text);
      },
      /*redraw=*/true);
}

// ---------------------------------------------------------------------------
// SourceListProgress

SourceListProgress SourceListProgress::create(bool show_progress, uint64_t total,
                                              std::shared_ptr<ProgressDisplay> display) {
  SourceListProgress progress;
  if (show_progress) {
    progress.display_ = display != nullptr ? std::move(display) : ProgressDisplay::for_stderr();
    ProgressLine bar;
    bar.kind = ProgressLine::Kind::kBar;
    bar.prefix = "sources";
    bar.len = total;
    progress.bar_ = progress.display_->add(std::move(bar));
  }
  progress.start_ = ProgressClock::now();
  progress.total_ = total;
  if (progress.bar_ != nullptr) {
    std::string text = progress.message(progress.start_);
    progress.display_->update(
        *progress.bar_, [&](ProgressLine& line) { line.message = std::move(text); }, true);
  }
  return progress;
}

std::string SourceListProgress::message(ProgressClock::time_point now) const {
  return source_list_message(completed_, total_, seconds_between(start_, now));
}

void SourceListProgress::record_result() {
  completed_ = saturating_add(completed_, 1);
  if (bar_ == nullptr) return;
  std::string text = message();
  display_->update(
      *bar_,
      [&](ProgressLine& line) {
        line.pos = saturating_add(line.pos, 1);
        line.message = std::move(text);
      },
      /*redraw=*/true);
}

void SourceListProgress::finish() {
  if (bar_ == nullptr) return;
  std::string text = message();
  display_->update(
      *bar_,
      [&](ProgressLine& line) {
        line.finished = true;
        line.message = std::move(text);
      },
      /*redraw=*/true);
}

}  // namespace zandrel::writer
