// A pseudo-terminal that COM1 points at and that nobody answers on: tells
// whether anything was sent to the meter (opening a link sends the wake-up
// text).
#pragma once

#include <cstdint>

#include "platform/devicemap.h"
#include "platform/pty.h"
#include "platform/serial.h"

namespace vb::request::testing {

class QuietLine {
 public:
  bool open() {
    if (!pty_.open()) return false;
    pty_.closeSlave();
    return master_.adopt(pty_.master()) && platform::setComDevicePath(1, pty_.slavePath());
  }
  uint32_t bytesSent() {
    uint32_t count = 0;
    return master_.bytesQueued(&count) ? count : 0;
  }

 private:
  platform::PseudoTerminal pty_;
  platform::SerialDevice master_;
};

}  // namespace vb::request::testing
