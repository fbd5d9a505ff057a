// Test helper: takes a byte stream apart into frames the way a receiver
// reads it: header synchronisation, header check, length, payload check,
// un-stuffing.
#pragma once

#include <cstdint>
#include <vector>

#include "frame.h"

namespace vb::link::test {

struct ReceivedFrame {
  FrameHeader header;
  bool payloadOk;
  std::vector<uint8_t> message;  // un-stuffed payload
};

struct StreamReading {
  std::vector<ReceivedFrame> frames;
  int badHeaders = 0;
};

StreamReading ReadFrames(const std::vector<uint8_t>& stream);

}  // namespace vb::link::test
