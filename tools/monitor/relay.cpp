#include "relay.h"

#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/terminal.h"
#include "platform/thread.h"

namespace vb::monitor {

namespace {

// A read ends once the line has been quiet this long after a byte came: a
// chunk is passed on no later than this after its last byte.
constexpr uint32_t kReadIntervalMs = 1;
// A read with nothing to return ends after this, so stop() and quiet sides
// are noticed.
constexpr uint32_t kReadWaitMs = 100;
// A write that cannot go out in this time has lost its receiver.
constexpr uint32_t kWriteTimeoutMs = 2000;
// Pause before trying a closed host side again.
constexpr uint32_t kClosedSidePollMs = 20;
constexpr size_t kChunkCapacity = 4096;
// Joining the direction threads after stop(): reads end within kReadWaitMs.
constexpr uint32_t kJoinWaitMs = 10000;

}  // namespace

Relay::Relay(platform::SerialDevice& meterLine, platform::SerialDevice& hostLine,
             RelayObserver& observer)
    : meterLine_(meterLine), hostLine_(hostLine), observer_(observer),
      startMs_(platform::realClock().nowMs()) {
  platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = kReadIntervalMs;
  timeouts.readTotalConstantMs = kReadWaitMs;
  timeouts.writeTotalConstantMs = kWriteTimeoutMs;
  meterLine_.setTimeouts(timeouts);
  hostLine_.setTimeouts(timeouts);
}

uint64_t Relay::elapsedMs() const { return platform::realClock().nowMs() - startMs_; }

bool Relay::pass(Direction from, platform::SerialDevice& source, platform::SerialDevice& sink,
                 bool sourceMayClose) {
  std::vector<uint8_t> chunk(kChunkCapacity);
  while (!stopping_.load() && !platform::interruptRequested()) {
    size_t got = 0;
    const bool read = source.read(chunk.data(), chunk.size(), &got);
    if (got > 0) {
      size_t written = 0;
      sink.write(chunk.data(), got, &written);
      std::lock_guard<std::mutex> lock(observerMutex_);
      const uint64_t now = elapsedMs();
      observer_.relayed(from, now, chunk.data(), got);
      if (written < got) observer_.undelivered(from, now, got - written);
    } else if (read) {
      std::lock_guard<std::mutex> lock(observerMutex_);
      observer_.quiet(elapsedMs());
    }
    if (read || stopping_.load()) continue;
    if (platform::lastFailure() == platform::FailureKind::Cancelled) continue;
    if (!sourceMayClose) return false;
    platform::realClock().sleepMs(kClosedSidePollMs);
  }
  return true;
}

bool Relay::run() {
  platform::Thread toMeter;
  if (!toMeter.start([this] { pass(Direction::FromHost, hostLine_, meterLine_, true); })) {
    return false;
  }
  const bool meterLineHeld = pass(Direction::FromMeter, meterLine_, hostLine_, false);
  stop();
  toMeter.joinFor(kJoinWaitMs);
  return meterLineHeld;
}

void Relay::stop() {
  stopping_ = true;
  meterLine_.purge();
  hostLine_.purge();
}

}  // namespace vb::monitor
