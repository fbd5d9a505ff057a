#include "progress_bar.h"

#include <cstdio>

#include "platform/terminal.h"

namespace vb::cli {

namespace {

constexpr int kNoPercent = -1;
constexpr int kMinBarWidth = 10;
constexpr int kMaxBarWidth = 50;
constexpr int kDefaultColumns = 80;

std::atomic<ProgressBar::Style> style{ProgressBar::Style::Off};
std::atomic<int> lastPercent{kNoPercent};
// True once a value between 0 and 100 was seen in this request: the idle
// polls (which repeat the last value, 0 at first) and replies that arrive in
// one go (100 at once) draw nothing.
std::atomic<bool> barVisible{false};
std::mutex drawLock;  // orders the receiver's drawing against end()
std::string label;    // under drawLock

}  // namespace

void ProgressBar::setStyle(Style newStyle) { style = newStyle; }

void ProgressBar::begin(const std::string& requestLabel) {
  std::lock_guard<std::mutex> guard(drawLock);
  label = requestLabel;
  lastPercent = kNoPercent;
  barVisible = false;
}

void ProgressBar::end() {
  std::lock_guard<std::mutex> guard(drawLock);
  if (barVisible.exchange(false) && style == Style::Bar) std::fputs("\n", stderr);
  lastPercent = kNoPercent;
}

int ProgressBar::callback(int percent) {
  if (platform::interruptRequested()) return 1;
  if (style.load(std::memory_order_relaxed) == Style::Off) return 0;
  if (lastPercent.exchange(percent, std::memory_order_relaxed) == percent) return 0;
  if (percent > 0 && percent < 100) barVisible = true;
  if (barVisible) draw(percent);
  return 0;
}

void ProgressBar::draw(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  std::lock_guard<std::mutex> guard(drawLock);
  if (!barVisible) return;
  if (style == Style::Lines) {
    std::fprintf(stderr, "progress %s %d%%\n", label.c_str(), percent);
    std::fflush(stderr);
    return;
  }
  int columns = platform::terminalColumns(platform::StandardStream::Error);
  if (columns <= 0) columns = kDefaultColumns;
  int width = columns - static_cast<int>(label.size()) - 10;
  if (width > kMaxBarWidth) width = kMaxBarWidth;
  if (width < kMinBarWidth) width = kMinBarWidth;
  int filled = percent * width / 100;
  std::string line = "\r" + label + " [";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(width - filled), '.');
  char tail[16];
  std::snprintf(tail, sizeof tail, "] %3d%%", percent);
  line += tail;
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace vb::cli
