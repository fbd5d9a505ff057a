#include "far_end.h"

#include <algorithm>

#include "frame.h"
#include "platform/clock.h"

namespace vb::link::test {

FarEnd::FarEnd(platform::LineHandle line) { line_.adopt(line); }

bool FarEnd::send(const Bytes& bytes) {
  size_t written = 0;
  return line_.write(bytes.data(), bytes.size(), &written) && written == bytes.size();
}

bool FarEnd::readByte(uint8_t* byte, uint64_t deadlineMs) {
  while (pending_.empty()) {
    const uint64_t now = platform::nowMs();
    if (now >= deadlineMs) return false;
    platform::SerialTimeouts timeouts;
    timeouts.readIntervalMs = 2;
    timeouts.readTotalConstantMs = static_cast<uint32_t>(deadlineMs - now);
    line_.setTimeouts(timeouts);
    uint8_t chunk[4096];
    size_t got = 0;
    if (!line_.read(chunk, sizeof(chunk), &got) && got == 0) {
      platform::sleepMs(1);
    }
    pending_.insert(pending_.end(), chunk, chunk + got);
  }
  *byte = pending_.front();
  pending_.pop_front();
  return true;
}

Bytes FarEnd::readRaw(size_t count, uint32_t timeoutMs) {
  const uint64_t deadline = platform::nowMs() + timeoutMs;
  Bytes bytes;
  uint8_t byte = 0;
  while (bytes.size() < count && readByte(&byte, deadline)) bytes.push_back(byte);
  return bytes;
}

bool FarEnd::staysQuiet(uint32_t quietMs) {
  uint8_t byte = 0;
  if (!readByte(&byte, platform::nowMs() + quietMs)) return true;
  pending_.push_front(byte);
  return false;
}

bool FarEnd::readFrame(ReceivedFrame* frame, uint32_t timeoutMs) {
  const uint64_t deadline = platform::nowMs() + timeoutMs;
  for (;;) {
    uint8_t header[kHeaderSize];
    do {
      if (!readByte(&header[0], deadline)) return false;
    } while (header[0] != kStartByte);
    size_t filled = 1;
    while (filled < kHeaderSize) {
      if (!readByte(&header[filled], deadline)) return false;
      // A start byte inside the header starts the header again.
      filled = SyncHeader(header, filled + 1);
    }
    if (!CheckHeader(header)) continue;
    const FrameHeader decoded = DecodeHeader(header);
    if (decoded.length < kMinFrameLength) continue;
    Bytes rest(decoded.length - kHeaderSize);
    for (uint8_t& byte : rest) {
      if (!readByte(&byte, deadline)) return false;
    }
    if (!CheckPayload(rest.data(), decoded.length)) continue;
    frame->data = decoded.data;
    frame->first = decoded.first;
    frame->last = decoded.last;
    frame->position = decoded.position;
    frame->payload.assign(rest.size(), 0);
    const UnstuffResult unstuffed = Unstuff(rest.data(), decoded.length - kFrameOverhead,
                                            frame->payload.data(), frame->payload.size());
    frame->payload.resize(unstuffed.written);
    return true;
  }
}

bool FarEnd::readMessage(Bytes* message, uint32_t timeoutMs) {
  const uint64_t deadline = platform::nowMs() + timeoutMs;
  message->clear();
  for (;;) {
    const uint64_t now = platform::nowMs();
    ReceivedFrame frame;
    if (now >= deadline || !readFrame(&frame, static_cast<uint32_t>(deadline - now))) {
      return false;
    }
    if (!frame.data) return false;
    const size_t end = frame.position + frame.payload.size();
    if (message->size() < end) message->resize(end);
    std::copy(frame.payload.begin(), frame.payload.end(), message->begin() + frame.position);
    if (frame.last) return true;
  }
}

std::vector<OutgoingFrame> FarEnd::dataFrames(const Bytes& message, uint32_t from) {
  std::vector<OutgoingFrame> frames;
  uint32_t position = from;
  const uint32_t length = static_cast<uint32_t>(message.size());
  while (position < length) {
    OutgoingFrame frame;
    frame.position = position;
    frame.bytes.resize(kMaxBuiltFrame + 1);
    const uint32_t offered = std::min(length - position, kFrameDataSize);
    const size_t size = BuildFrame(message.data() + position, offered, &position, FrameKind::kData,
                                   frame.bytes.data(), frame.bytes.size());
    frame.bytes.resize(size);
    frame.count = position - frame.position;
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<OutgoingFrame> FarEnd::longFrames(const Bytes& message, uint32_t frameLength,
                                              uint32_t upTo) {
  std::vector<OutgoingFrame> frames;
  uint32_t position = 0;
  const uint32_t length = static_cast<uint32_t>(message.size());
  while (position < std::min(upTo, length)) {
    OutgoingFrame frame;
    frame.position = position;
    frame.bytes.resize(frameLength);
    const size_t size = BuildLongFrame(message.data() + position, length - position, frameLength,
                                       &position, frame.bytes.data(), frame.bytes.size());
    frame.bytes.resize(size);
    frame.count = position - frame.position;
    frames.push_back(std::move(frame));
  }
  return frames;
}

Bytes FarEnd::controlFrame(uint8_t character, uint32_t argument) {
  Bytes frame(kMaxBuiltFrame + 1);
  frame.resize(BuildControlFrame(character, argument, frame.data(), frame.size()));
  return frame;
}

bool FarEnd::sendFrames(const std::vector<OutgoingFrame>& frames) {
  for (const OutgoingFrame& frame : frames) {
    if (!send(frame.bytes)) return false;
  }
  return true;
}

Bytes sampleMessage(size_t size, uint8_t seed) {
  Bytes message(size);
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    message[i] = static_cast<uint8_t>(state >> 16);
  }
  if (size > 0) message[0] = 0xFF;
  for (size_t i = 0; i < 4 && 6 + i < size; ++i)
    message[6 + i] = static_cast<uint8_t>(size >> (8 * i));
  return message;
}

}  // namespace vb::link::test
