#include "host_terminal.h"

namespace vb::cli {

struct HostTerminal::Terminal {};

HostTerminal::HostTerminal() = default;
HostTerminal::~HostTerminal() = default;

bool HostTerminal::open(platform::SerialDevice&) {
  failure_ = "this build cannot create a pseudo-terminal for the host: give the host's line "
             "with --host DEVICE (the Linux build creates one)";
  return false;
}

}  // namespace vb::cli
