#include "line.h"


#include "platform/error.h"

namespace vb::metersim {
namespace {

// A read ends once the line has been quiet this long after a byte came.
constexpr uint32_t kReadIntervalMs = 2;
// A write that cannot go out in this time returns what went; the rest is
// offered again on the next turn of the serving loop.
constexpr uint32_t kWriteTimeoutMs = 200;

}  // namespace

bool Line::openPseudoTerminal(std::string* error) {
  if (!pty_.open()) {
    *error = "cannot create a pseudo-terminal: " + platform::lastErrorText();
    return false;
  }
  // The host opens the slave side itself, exclusively.
  pty_.closeSlave();
  if (!device_.adopt(pty_.master())) {
    *error = "cannot use the pseudo-terminal: " + platform::lastErrorText();
    pty_.close();
    return false;
  }
  devicePath_ = pty_.slavePath();
  platform::SerialTimeouts timeouts;
  timeouts.writeTotalConstantMs = kWriteTimeoutMs;
  device_.setTimeouts(timeouts);
  readWaitMs_ = UINT32_MAX;
  return true;
}

bool Line::openDevice(const std::string& path, uint32_t baud, std::string* error) {
  if (!device_.open(path)) {
    *error = "cannot open " + path + ": " + platform::lastErrorText();
    return false;
  }
  platform::SerialSettings settings;
  if (baud != 0) settings.baud = baud;
  if (!device_.setSettings(settings)) {
    *error = "cannot set up " + path + ": " + platform::lastErrorText();
    device_.close();
    return false;
  }
  platform::SerialTimeouts timeouts;
  timeouts.writeTotalConstantMs = kWriteTimeoutMs;
  device_.setTimeouts(timeouts);
  readWaitMs_ = UINT32_MAX;
  devicePath_ = path;
  return true;
}

bool Line::setReadWait(uint32_t waitMs) {
  if (waitMs == readWaitMs_) return true;
  platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = kReadIntervalMs;
  timeouts.readTotalConstantMs = waitMs;
  timeouts.writeTotalConstantMs = kWriteTimeoutMs;
  if (!device_.setTimeouts(timeouts)) return false;
  readWaitMs_ = waitMs;
  return true;
}

size_t Line::read(uint8_t* buffer, size_t capacity, uint32_t waitMs, bool* down) {
  *down = false;
  size_t want = capacity;
  if (waitMs == 0) {
    uint32_t queued = 0;
    if (!device_.bytesQueued(&queued)) {
      *down = true;
      return 0;
    }
    if (queued == 0) return 0;
    want = queued < capacity ? queued : capacity;
    waitMs = 1;
  }
  size_t got = 0;
  if (!setReadWait(waitMs)) {
    *down = true;
    return 0;
  }
  if (!device_.read(buffer, want, &got)) {
    *down = platform::lastFailure() != platform::FailureKind::Cancelled;
  }
  return got;
}

size_t Line::write(const uint8_t* bytes, size_t count, bool* down) {
  *down = false;
  size_t written = 0;
  if (!device_.write(bytes, count, &written)) {
    const platform::FailureKind failure = platform::lastFailure();
    *down = failure != platform::FailureKind::TimedOut &&
            failure != platform::FailureKind::Cancelled;
  }
  return written;
}

void Line::interrupt() {
  if (device_.isOpen()) device_.purge();
}

void Line::close() {
  device_.close();
  pty_.close();
  devicePath_.clear();
}

}  // namespace vb::metersim
