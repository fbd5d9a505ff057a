#include "quiet_line.h"

#include <cstddef>

#include "platform/devicemap.h"
#include "platform/serial.h"

namespace vb::request::testing {

namespace {

constexpr int kFarEndPort = 2;
// The pair's relay passes bytes on asynchronously: a read waits this long
// for anything still on its way before counting.
constexpr uint32_t kRelayAllowanceMs = 250;

}  // namespace

struct QuietLine::FarEnd {
  platform::SerialDevice line;
  uint32_t received = 0;
};

QuietLine::QuietLine() : farEnd_(std::make_unique<FarEnd>()) {}
QuietLine::~QuietLine() = default;

bool QuietLine::open() {
  platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = kRelayAllowanceMs;
  timeouts.readTotalConstantMs = kRelayAllowanceMs;
  return farEnd_->line.open(platform::comDevicePath(kFarEndPort)) &&
         farEnd_->line.setTimeouts(timeouts);
}

uint32_t QuietLine::bytesSent() {
  unsigned char buffer[512];
  size_t got = 0;
  do {
    if (!farEnd_->line.read(buffer, sizeof buffer, &got)) break;
    farEnd_->received += static_cast<uint32_t>(got);
  } while (got > 0);
  return farEnd_->received;
}

}  // namespace vb::request::testing
