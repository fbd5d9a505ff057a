#include "frame_reader.h"

#include "frame.h"
#include "link_constants.h"
#include "wakeup.h"

namespace vb::metersim {

void FrameReader::feed(const uint8_t* bytes, size_t count, uint64_t nowMs) {
  if (nowMs - lastFeedMs_ > kStaleFrameMs) pending_.clear();
  lastFeedMs_ = nowMs;
  for (size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<char>(bytes[i]);
    if (byte == link::kWakeupText[wakeupMatched_]) {
      if (++wakeupMatched_ == link::kWakeupTextLength) {
        ++wakeups_;
        wakeupMatched_ = 0;
      }
    } else {
      // The text has no repeated prefix, so a mismatch can only restart it.
      wakeupMatched_ = byte == link::kWakeupText[0] ? 1 : 0;
    }
  }
  pending_.insert(pending_.end(), bytes, bytes + count);
  parse();
}

void FrameReader::parse() {
  size_t start = 0;
  for (;;) {
    while (start < pending_.size() && pending_[start] != link::kStartByte) ++start;
    const size_t available = pending_.size() - start;
    if (available < link::kHeaderSize) break;
    const uint8_t* header = pending_.data() + start;
    const link::FrameHeader decoded = link::DecodeHeader(header);
    if (!link::CheckHeader(header) || decoded.length == 0) {
      // Only a start byte can begin a frame: look for the next one.
      ++badFrames_;
      ++start;
      continue;
    }
    if (available < decoded.length) break;
    if (!link::CheckPayload(header + link::kHeaderSize, decoded.length)) {
      ++badFrames_;
      ++start;
      continue;
    }
    HostFrame frame;
    frame.data = decoded.data;
    frame.first = decoded.first;
    frame.last = decoded.last;
    frame.position = decoded.position;
    const size_t rawCount = decoded.length - link::kFrameOverhead;
    frame.payload.resize(rawCount);
    const link::UnstuffResult unstuffed = link::Unstuff(header + link::kHeaderSize, rawCount,
                                                        frame.payload.data(), rawCount);
    frame.payload.resize(unstuffed.written);
    frames_.push_back(std::move(frame));
    start += decoded.length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
}

std::vector<HostFrame> FrameReader::takeFrames() {
  std::vector<HostFrame> frames;
  frames.swap(frames_);
  return frames;
}

uint32_t FrameReader::takeWakeups() {
  const uint32_t count = wakeups_;
  wakeups_ = 0;
  return count;
}

void FrameReader::reset() {
  pending_.clear();
  wakeupMatched_ = 0;
}

}  // namespace vb::metersim
