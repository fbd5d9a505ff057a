// Relays bytes both ways between the meter's line and the host's line,
// unchanged and as soon as a read returns them, and shows each chunk to an
// observer after it has been passed on. One thread per direction; the
// observer is called one chunk at a time, in the order the chunks were
// passed on.
//
// The host's side may be a pseudo-terminal that the host opens and closes
// for every request: while it is closed, reads find the line down and are
// tried again after a short pause, and bytes the meter sends meanwhile
// cannot be delivered (the observer is told how many).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "event.h"
#include "platform/serial.h"

namespace vb::monitor {

class RelayObserver {
 public:
  virtual ~RelayObserver() = default;
  // Bytes passed on from `from` to the other side, at timeMs since the start.
  virtual void relayed(Direction from, uint64_t timeMs, const uint8_t* bytes, size_t count) = 0;
  // Bytes that could not be passed on: the receiving side is closed or failed.
  virtual void undelivered(Direction from, uint64_t timeMs, size_t count) = 0;
  // A side has been quiet for a while (called now and then, never while
  // another call runs).
  virtual void quiet(uint64_t timeMs) = 0;
};

class Relay {
 public:
  // Both devices must be open; the relay sets their time-outs.
  Relay(platform::SerialDevice& meterLine, platform::SerialDevice& hostLine,
        RelayObserver& observer);

  // Relays until stop() (or an interrupt of the program) and returns true,
  // or returns false when the meter's line fails, with the OS error recorded.
  bool run();
  // Ends run() from any thread.
  void stop();

 private:
  // One direction: reads `from`, writes `to`. False when `from` failed for good.
  bool pass(Direction from, platform::SerialDevice& source, platform::SerialDevice& sink,
            bool sourceMayClose);
  uint64_t elapsedMs() const;

  platform::SerialDevice& meterLine_;
  platform::SerialDevice& hostLine_;
  RelayObserver& observer_;
  std::mutex observerMutex_;
  std::atomic<bool> stopping_{false};
  uint64_t startMs_;
};

}  // namespace vb::monitor
