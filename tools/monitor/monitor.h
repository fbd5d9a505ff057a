// The monitor's decoding of both directions of one line: the line decoders,
// the message trackers and the command context that lets a reply be read
// against the command that asked for it. Fed in the order the bytes were
// relayed (or captured); not thread-safe: the relay feeds it one chunk at a
// time.
#pragma once

#include <cstdint>

#include "event.h"
#include "line_decoder.h"
#include "message_tracker.h"
#include "meter_messages.h"

namespace vb::monitor {

// Text without a line end (a PAD prompt, a modem escape) is reported once its
// side has been quiet this long.
inline constexpr uint64_t kQuietMs = 100;

class Monitor {
 public:
  explicit Monitor(EventSink sink);
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  void observe(Direction direction, uint64_t timeMs, const uint8_t* bytes, size_t count);
  // Time has passed without bytes: reports text that waits for a line end on
  // a side quiet for kQuietMs.
  void tick(uint64_t timeMs);
  // End of the watch: what is still pending, then one summary per side.
  void finish(uint64_t timeMs);

 private:
  struct Side {
    Side(Monitor& monitor, Direction direction);
    MessageTracker messages;
    LineDecoder line;
    uint64_t lastMs = 0;
  };

  void deliver(Direction direction, uint64_t timeMs, const std::vector<uint8_t>& message);
  Side& side(Direction direction) { return direction == Direction::FromHost ? host_ : meter_; }

  EventSink sink_;
  CommandContext lastCommand_;
  CommandContext lastMeterCommand_;  // the last of class 2: meter commands
  Side host_;
  Side meter_;
};

}  // namespace vb::monitor
