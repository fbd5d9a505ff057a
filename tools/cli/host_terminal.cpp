#include "host_terminal.h"

#include "platform/error.h"
#include "platform/pty.h"

namespace vb::cli {

struct HostTerminal::Terminal {
  platform::PseudoTerminal pair;
};

HostTerminal::HostTerminal() : terminal_(std::make_unique<Terminal>()) {}
HostTerminal::~HostTerminal() = default;

bool HostTerminal::open(platform::SerialDevice& hostLine) {
  if (!terminal_->pair.open()) {
    failure_ = "cannot create a pseudo-terminal: " + platform::lastErrorText();
    return false;
  }
  // The host opens the other side itself, exclusively, as a serial port.
  terminal_->pair.closeSlave();
  path_ = terminal_->pair.slavePath();
  if (!hostLine.adopt(terminal_->pair.master())) {
    failure_ = "cannot use the pseudo-terminal: " + platform::lastErrorText();
    return false;
  }
  return true;
}

}  // namespace vb::cli
