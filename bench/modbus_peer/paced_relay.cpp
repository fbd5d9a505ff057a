#include "paced_relay.h"

#include <algorithm>
#include <vector>

#include "pacer.h"
#include "platform/clock.h"

namespace vb::bench {
namespace {

// A read returns after this long without bytes, so the threads see a stop.
constexpr uint32_t kReadWaitMs = 50;
// Bytes a read takes at most; a burst ends after a millisecond of quiet.
constexpr size_t kChunk = 512;
constexpr uint32_t kQuietMs = 1;

bool setReadTimeouts(platform::SerialDevice& device) {
  platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = kQuietMs;
  timeouts.readTotalConstantMs = kReadWaitMs;
  return device.setTimeouts(timeouts);
}

}  // namespace

PacedRelay::~PacedRelay() { stop(); }

bool PacedRelay::start() {
  if (!client_.open() || !server_.open()) return false;
  // Only the programs at the two ends open the devices.
  client_.closeSlave();
  server_.closeSlave();
  if (!clientSide_.adopt(client_.master()) || !serverSide_.adopt(server_.master())) {
    return false;
  }
  if (!setReadTimeouts(clientSide_) || !setReadTimeouts(serverSide_)) return false;
  requests_ = std::thread([this] { forwardRequests(); });
  replies_ = std::thread([this] { forwardRepliesPaced(); });
  return true;
}

void PacedRelay::stop() {
  stopping_.store(true);
  if (requests_.joinable()) requests_.join();
  if (replies_.joinable()) replies_.join();
  clientSide_.close();
  serverSide_.close();
}

void PacedRelay::forwardRequests() {
  std::vector<uint8_t> chunk(kChunk);
  while (!stopping_.load()) {
    size_t got = 0;
    if (!clientSide_.read(chunk.data(), chunk.size(), &got) || got == 0) continue;
    size_t written = 0;
    serverSide_.write(chunk.data(), got, &written);
  }
}

void PacedRelay::forwardRepliesPaced() {
  metersim::Pacer pacer(baud_);
  std::vector<uint8_t> chunk(kChunk);
  while (!stopping_.load()) {
    size_t got = 0;
    if (!serverSide_.read(chunk.data(), chunk.size(), &got) || got == 0) continue;
    // A line that has been idle starts a new schedule, so the idle time is
    // not spent later as a burst.
    if (pacer.allowance(platform::nowMs(), chunk.size()) > 1) pacer.restart(platform::nowMs());
    size_t sent = 0;
    while (sent < got && !stopping_.load()) {
      const size_t allowed = pacer.allowance(platform::nowMs(), got - sent);
      if (allowed == 0) {
        platform::sleepMs(pacer.waitMs(platform::nowMs()));
        continue;
      }
      size_t written = 0;
      clientSide_.write(chunk.data() + sent, allowed, &written);
      pacer.sent(allowed);
      sent += allowed;
    }
  }
}

}  // namespace vb::bench
