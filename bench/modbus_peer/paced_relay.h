// Two pseudo-terminals joined back to back: what a program writes to the
// first one's device the second one's device delivers, and the other way
// round, paced at a line rate with the simulated meter's own pacer (10 bits
// a byte) in the direction from the second to the first, where a server's
// replies travel; requests go unpaced, as they do to the simulated meter.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/pty.h"
#include "platform/serial.h"

namespace vb::bench {

class PacedRelay {
 public:
  explicit PacedRelay(uint32_t baud) : baud_(baud) {}
  ~PacedRelay();
  PacedRelay(const PacedRelay&) = delete;
  PacedRelay& operator=(const PacedRelay&) = delete;

  bool start();
  void stop();
  // The device the client opens, and the device the server opens.
  const std::string& clientPath() const { return client_.slavePath(); }
  const std::string& serverPath() const { return server_.slavePath(); }

 private:
  void forwardRequests();
  void forwardRepliesPaced();

  uint32_t baud_;
  platform::PseudoTerminal client_;
  platform::PseudoTerminal server_;
  platform::SerialDevice clientSide_;
  platform::SerialDevice serverSide_;
  std::atomic<bool> stopping_{false};
  std::thread requests_;
  std::thread replies_;
};

}  // namespace vb::bench
