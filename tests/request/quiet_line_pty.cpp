#include "quiet_line.h"

#include "platform/devicemap.h"
#include "platform/pty.h"
#include "platform/serial.h"

namespace vb::request::testing {

struct QuietLine::FarEnd {
  platform::PseudoTerminal pty;
  platform::SerialDevice master;
};

QuietLine::QuietLine() : farEnd_(std::make_unique<FarEnd>()) {}
QuietLine::~QuietLine() = default;

bool QuietLine::open() {
  if (!farEnd_->pty.open()) return false;
  farEnd_->pty.closeSlave();
  return farEnd_->master.adopt(farEnd_->pty.master()) &&
         platform::setComDevicePath(1, farEnd_->pty.slavePath());
}

uint32_t QuietLine::bytesSent() {
  uint32_t count = 0;
  return farEnd_->master.bytesQueued(&count) ? count : 0;
}

}  // namespace vb::request::testing
