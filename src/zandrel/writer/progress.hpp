// The writer's progress display: one spinner per source being written, with
// its running count and rates, and, for a list of sources, one bar over the
// sources with a rate and an estimated time to completion.
//
// With show_progress unset no display line exists, nothing is drawn and no
// thread starts; the records only keep their counters. With show_progress set
// the lines draw on standard error when it is a terminal (nothing otherwise),
// and every spinner that draws has a ticker thread redrawing it every 100 ms.
//
// Lines of text (render_spinner_line, render_bar_line) and messages
// (spinner_message, source_list_message, eta_text) are plain functions, so
// they can be checked without a terminal; ProgressDisplay::for_fd points a
// display at any file descriptor.
//
// Threads: WriteProgress and SourceListProgress belong to the write call's
// calling thread. A ProgressDisplay is shared by its lines and their tickers;
// its mutex guards every line's state and every write to the descriptor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zandrel::writer {

using ProgressClock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Texts

// A float with one digit after the point, the nearest such decimal to the
// double's exact value, ties to even ("{:.1}").
std::string fixed1(double value);

// Whole seconds E of a duration of `seconds` rounded to the nearest
// nanosecond: "{E}s" below a minute, "{m}m {ss}s" below an hour, "{h}h {mm}m"
// from an hour on. A value beyond 2^64 - 1 s shows as that many seconds.
std::string eta_text(double seconds);

// "{items} items | {items/s:.1} items/s | {MB/s:.1} MB/s" with the elapsed
// time raised to at least 1 ms; a megabyte is 10^6 bytes.
std::string spinner_message(uint64_t items, uint64_t bytes, double elapsed_seconds);

// "ETA --" before the first result, then "{rate:.1} sources/s | ETA {eta}"
// with rate = completed / max(elapsed, 1 ms) and eta = remaining / rate.
std::string source_list_message(uint64_t completed, uint64_t total, double elapsed_seconds);

// Seconds from `from` to `to` as a double (whole seconds plus nanoseconds).
double seconds_between(ProgressClock::time_point from, ProgressClock::time_point to);

// ---------------------------------------------------------------------------
// Lines

// The state of one drawn line. Guarded by its display's mutex.
struct ProgressLine {
  enum class Kind : uint8_t { kSpinner, kBar };
  Kind kind = Kind::kSpinner;
  std::string prefix;
  std::string message;
  uint64_t pos = 0;        // spinner: samples; bar: sources done
  uint64_t len = 0;        // bar length
  uint64_t ticks = 0;      // spinner frames shown so far
  bool finished = false;   // a finished spinner shows its final frame
};

// "{spinner:.green} {prefix} {msg}": the frame for `ticks` (eight braille
// dots, a blank once finished), green when `color`; cut to `width` columns.
std::string render_spinner_line(const ProgressLine& line, size_t width, bool color);

// "{wide_bar:.cyan/blue} {prefix} {pos}/{len} {msg}": the bar takes what is
// left of `width` columns, filled with '=', its head '>', the rest '-'
// (filled part cyan, rest blue when `color`). A bar of length 0 is full.
std::string render_bar_line(const ProgressLine& line, size_t width, bool color);

// Where lines are drawn: a file descriptor (standard error), or nowhere.
// Lines are drawn in the order they were added; each redraw moves the cursor
// back over the lines drawn before and rewrites them. When the display goes,
// the cursor is moved below the lines left on screen.
class ProgressDisplay {
 public:
  // Standard error when it is a terminal (its width, colours on); a hidden
  // display otherwise.
  static std::shared_ptr<ProgressDisplay> for_stderr();
  // Draws on `fd` (not owned) with a fixed width; for tests and tools.
  static std::shared_ptr<ProgressDisplay> for_fd(int fd, size_t width, bool color);
  // Draws nothing.
  static std::shared_ptr<ProgressDisplay> hidden();

  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  bool visible() const { return fd_ >= 0; }

  std::shared_ptr<ProgressLine> add(ProgressLine line);
  // Takes the line off the display; the next redraw clears its row.
  void remove(const std::shared_ptr<ProgressLine>& line);

  // Runs `change` on the line under the display's lock, then redraws when
  // `redraw` is set.
  template <typename F>
  void update(ProgressLine& line, F&& change, bool redraw) {
    std::lock_guard lock(mutex_);
    change(line);
    if (redraw) draw_locked();
  }

  void redraw();

 private:
  ProgressDisplay(int fd, size_t width, bool color) : fd_(fd), width_(width), color_(color) {}
  void draw_locked();

  const int fd_;        // -1: hidden
  const size_t width_;  // terminal columns
  const bool color_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<ProgressLine>> lines_;  // guarded by mutex_
  size_t drawn_rows_ = 0;                             // rows of the last draw
};

// Redraws one display every `period` on its own thread, advancing a spinner's
// frame each time, until stopped. Stopping joins the thread.
class Ticker {
 public:
  Ticker(std::shared_ptr<ProgressDisplay> display, std::shared_ptr<ProgressLine> line,
         std::chrono::milliseconds period);
  ~Ticker() { stop(); }
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

  void stop();

 private:
  void run(std::shared_ptr<ProgressDisplay> display, std::shared_ptr<ProgressLine> line,
           std::chrono::milliseconds period);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Records

class SourceListProgress;

// The progress of one source being written.
class WriteProgress {
 public:
  // A spinner "writing {name}" exists exactly when show_progress is set. It
  // draws inside `container`'s display when one is given (and shown), else
  // on `display`, else on standard error; its ticker starts only when that
  // display is visible.
  static WriteProgress create(bool show_progress, std::string_view name,
                              SourceListProgress* container = nullptr,
                              std::shared_ptr<ProgressDisplay> display = nullptr);

  WriteProgress(WriteProgress&&) noexcept = default;
  WriteProgress& operator=(WriteProgress&&) noexcept = default;
  ~WriteProgress();

  // Counts one committed sample of `bytes` data bytes (saturating) and, with
  // a spinner, advances it and sets its message.
  void record_sample(uint64_t bytes);

  // The source was written: a spinner inside a list is finished and cleared;
  // a lone spinner is finished with its final message and stays on screen.
  // A record released without finish() leaves its spinner as last drawn.
  void finish();

  // The spinner's message as of `now`.
  std::string message(ProgressClock::time_point now) const;

  uint64_t items() const { return items_; }
  uint64_t bytes() const { return bytes_; }
  bool in_multi() const { return in_multi_; }
  bool has_spinner() const { return line_ != nullptr; }
  bool ticking() const { return ticker_ != nullptr; }

 private:
  WriteProgress() = default;

  ProgressClock::time_point start_;
  std::shared_ptr<ProgressDisplay> display_;  // null without a spinner
  std::shared_ptr<ProgressLine> line_;        // the spinner, if any
  std::unique_ptr<Ticker> ticker_;            // its ticker, when drawn
  uint64_t items_ = 0;
  uint64_t bytes_ = 0;
  bool in_multi_ = false;
};

// The progress over a list of sources.
class SourceListProgress {
 public:
  // The "sources" bar of length `total` exists exactly when show_progress is
  // set; it draws on `display`, or on standard error when none is given, and
  // is drawn at once with "ETA --".
  static SourceListProgress create(bool show_progress, uint64_t total,
                                   std::shared_ptr<ProgressDisplay> display = nullptr);

  SourceListProgress(SourceListProgress&&) noexcept = default;
  SourceListProgress& operator=(SourceListProgress&&) noexcept = default;

  // One source has its result: completed += 1 (saturating); the bar, if
  // any, advances by one, takes message() and is redrawn at once.
  void record_result();

  // Finishes the bar, if any, with message() as its final message.
  void finish();

  // message() as of now, or as of `now`.
  std::string message() const { return message(ProgressClock::now()); }
  std::string message(ProgressClock::time_point now) const;

  uint64_t completed() const { return completed_; }
  uint64_t total() const { return total_; }
  bool has_bar() const { return bar_ != nullptr; }
  // The display the sources' spinners join; null without a bar.
  const std::shared_ptr<ProgressDisplay>& display() const { return display_; }

 private:
  SourceListProgress() = default;

  std::shared_ptr<ProgressDisplay> display_;  // the container; null when not shown
  std::shared_ptr<ProgressLine> bar_;
  uint64_t completed_ = 0;
  uint64_t total_ = 0;
  ProgressClock::time_point start_;
};

}  // namespace zandrel::writer
