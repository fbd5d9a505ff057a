// Cuts a reply into the data frames the meter sends: short frames of up to
// 128 message bytes, or in long-frame mode long frames of a fixed size while
// enough of the reply remains to fill one, then short frames for the rest.
#pragma once

#include <cstdint>
#include <vector>

namespace vb::metersim {

struct ReplyFrame {
  uint32_t position = 0;  // message offset of the frame's first byte
  uint32_t end = 0;       // message offset after its last byte
  std::vector<uint8_t> bytes;  // as sent on the line
};

// Frames of message from `from` to its end. longFrameSize 0 gives short
// frames only; otherwise 256, 512, 1024 or 2048, the size of the long ones.
std::vector<ReplyFrame> frameReply(const std::vector<uint8_t>& message, uint32_t from,
                                   uint32_t longFrameSize);

// The one frame that starts at `from` (a resend request's answer).
ReplyFrame frameAt(const std::vector<uint8_t>& message, uint32_t from, uint32_t longFrameSize);

// A control frame carrying `character`, with `argument` in its position.
std::vector<uint8_t> controlFrame(uint8_t character, uint32_t argument);

}  // namespace vb::metersim
