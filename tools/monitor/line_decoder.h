// Decodes the bytes one side sends, as they come: the wake-up text, the
// call set-up dialogue, frames (taken apart with the link's own frame code)
// and the bytes that belong to none of these. Data frames go on to the
// message tracker of the same direction.
//
// A start byte never occurs inside a frame (the payload is stuffed, header
// and check bytes are shifted), so one that comes mid-frame means the frame
// was cut short, and decoding starts again on the new frame at once.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "event.h"
#include "frame.h"
#include "message_tracker.h"

namespace vb::monitor {

// Counters of one direction, for the closing summary.
struct LineCounts {
  uint64_t bytes = 0;
  uint64_t goodFrames = 0;
  uint64_t badFrames = 0;
  uint64_t unframedBytes = 0;
};

class LineDecoder {
 public:
  LineDecoder(Direction direction, EventSink events, MessageTracker& tracker);

  void feed(uint64_t timeMs, const uint8_t* bytes, size_t count);
  // The line has been quiet: text waiting for a line end is reported now
  // (a PAD prompt or a modem escape has none).
  void idle();
  // End of the watch: a frame cut short and waiting text are reported.
  void finish(uint64_t timeMs);

  const LineCounts& counts() const { return counts_; }

 private:
  enum class State { Between, Header, Body };

  void take(uint64_t timeMs, uint8_t byte);
  void startFrame();
  void headerComplete(uint64_t timeMs);
  void bodyComplete(uint64_t timeMs);
  void frameCutShort(uint64_t timeMs);
  void flushText();
  void emit(uint64_t timeMs, const char* kind, std::string text, nlohmann::ordered_json fields);

  Direction direction_;
  EventSink events_;
  MessageTracker& tracker_;
  LineCounts counts_;

  State state_ = State::Between;
  std::array<uint8_t, link::kHeaderSize> header_{};
  size_t headerFilled_ = 0;
  link::FrameHeader decoded_{};
  std::vector<uint8_t> body_;
  std::vector<uint8_t> message_;
  bool terminatorDue_ = false;

  std::string text_;          // bytes between frames not yet reported
  uint64_t textStartMs_ = 0;
};

}  // namespace vb::monitor
