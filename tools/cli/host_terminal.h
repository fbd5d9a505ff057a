// The host's side of a relay when no --host line is given: a new
// pseudo-terminal whose other side the host opens as a serial port. Only the
// Linux build has pseudo-terminals; the Windows build relays between two
// lines (--host) only.
#pragma once

#include <memory>
#include <string>

#include "platform/serial.h"

namespace vb::cli {

class HostTerminal {
 public:
  HostTerminal();
  ~HostTerminal();
  HostTerminal(const HostTerminal&) = delete;
  HostTerminal& operator=(const HostTerminal&) = delete;

  // Creates the pseudo-terminal and lets hostLine use this side of it. The
  // path the host opens is path(). False with the reason in failure().
  bool open(platform::SerialDevice& hostLine);
  const std::string& path() const { return path_; }
  const std::string& failure() const { return failure_; }

 private:
  struct Terminal;
  std::unique_ptr<Terminal> terminal_;
  std::string path_;
  std::string failure_;
};

}  // namespace vb::cli
