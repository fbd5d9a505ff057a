// The progress bar on standard error and the user's abort, both driven by the
// link's progress callback.
//
// The link library calls the callback on its receiver thread, often (also
// while it waits for a reply), so the callback only reads two atomics unless
// the percentage changed. It answers 1 once the user interrupted (Ctrl-C),
// which makes the link abort the reception and the request end with code 24.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace vb::cli {

class ProgressBar {
 public:
  // How progress is shown: a bar redrawn in place, one line per change, or
  // not at all. The abort works either way.
  enum class Style { Off, Bar, Lines };
  static void setStyle(Style style);

  // A request starts: its label goes in front of the bar.
  static void begin(const std::string& label);
  // The request ended: the bar, if one was drawn, is finished with a line
  // break so later output starts on a line of its own.
  static void end();

  // The callback for RequestRecord::progressCallback.
  static int callback(int percent);

 private:
  static void draw(int percent);
};

}  // namespace vb::cli
