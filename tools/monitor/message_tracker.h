// Reassembles the messages of one direction from its data frames, as the
// receiving end would: each piece at its position, gaps noted when a frame
// lands past the expected position, resent pieces noted when it lands before.
// A long reply broken off by a lost call is kept aside while the control
// exchanges of the resume run, and completed by the frames that resume it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "event.h"

namespace vb::monitor {

class MessageTracker {
 public:
  using Deliver = std::function<void(uint64_t timeMs, const std::vector<uint8_t>& message)>;

  MessageTracker(Direction direction, EventSink events, Deliver deliver);

  // A data frame that passed its checks, with its un-stuffed bytes.
  void addFrame(uint64_t timeMs, uint32_t position, const uint8_t* bytes, size_t count,
                bool first, bool last);

 private:
  struct Assembly {
    bool active = false;
    bool delivered = false;
    bool endKnown = false;
    uint32_t end = 0;
    uint32_t expected = 0;
    std::vector<uint8_t> bytes;
    std::map<uint32_t, uint32_t> held;  // ranges [start, end) that have come

    void hold(uint32_t from, uint32_t to);
    uint32_t heldBytes() const;
    bool complete() const;
    // Missing ranges below the end (or below the highest byte held).
    std::vector<std::pair<uint32_t, uint32_t>> gaps() const;
  };

  void emit(uint64_t timeMs, const char* kind, std::string text, nlohmann::ordered_json fields);
  void startMessage(uint64_t timeMs, uint32_t position, bool first);

  Direction direction_;
  EventSink events_;
  Deliver deliver_;
  Assembly current_;
  Assembly suspended_;
};

}  // namespace vb::monitor
