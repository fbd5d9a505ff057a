// A line that COM1 points at and that nobody answers on: tells whether
// anything was sent to the meter (opening a link sends the wake-up text).
// On Linux COM1 is a pseudo-terminal whose master side counts what is
// queued; under Wine COM1 and COM2 are the two ends of a pseudo-terminal
// pair (tests/windows/wine-session --quiet-line) and COM2 reads what came.
#pragma once

#include <cstdint>
#include <memory>

namespace vb::request::testing {

class QuietLine {
 public:
  QuietLine();
  ~QuietLine();
  QuietLine(const QuietLine&) = delete;
  QuietLine& operator=(const QuietLine&) = delete;

  bool open();
  // Bytes sent to COM1 since open().
  uint32_t bytesSent();

 private:
  struct FarEnd;
  std::unique_ptr<FarEnd> farEnd_;
};

}  // namespace vb::request::testing
