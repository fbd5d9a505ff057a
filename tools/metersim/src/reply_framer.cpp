#include "reply_framer.h"

#include <algorithm>

#include "frame.h"
#include "link_constants.h"

namespace vb::metersim {

ReplyFrame frameAt(const std::vector<uint8_t>& message, uint32_t from, uint32_t longFrameSize) {
  ReplyFrame frame;
  frame.position = from;
  frame.end = from;
  if (from >= message.size()) return frame;
  const auto available = static_cast<uint32_t>(message.size() - from);
  frame.bytes.resize(kFrameBufferSize);
  size_t length = 0;
  if (longFrameSize != 0 && available >= longFrameSize - longFrameSize / kLongFrameMarginShare) {
    length = link::BuildLongFrame(message.data() + from, available, longFrameSize, &frame.end,
                                  frame.bytes.data(), frame.bytes.size());
  } else {
    length = link::BuildFrame(message.data() + from, std::min(available, kShortFrameOffer),
                              &frame.end, link::FrameKind::kData, frame.bytes.data(),
                              frame.bytes.size());
  }
  frame.bytes.resize(length);
  return frame;
}

std::vector<ReplyFrame> frameReply(const std::vector<uint8_t>& message, uint32_t from,
                                   uint32_t longFrameSize) {
  std::vector<ReplyFrame> frames;
  uint32_t position = from;
  while (position < message.size()) {
    ReplyFrame frame = frameAt(message, position, longFrameSize);
    // A position beyond what frames carry ends the reply there.
    if (frame.bytes.empty() || frame.end == position) break;
    position = frame.end;
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<uint8_t> controlFrame(uint8_t character, uint32_t argument) {
  std::vector<uint8_t> frame(link::kMaxBuiltFrame);
  frame.resize(link::BuildControlFrame(character, argument, frame.data(), frame.size()));
  return frame;
}

}  // namespace vb::metersim
