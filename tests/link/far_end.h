// The meter's end of a test line: speaks link frames on the master side of a
// pseudo-terminal, so that tests can script what the meter sends and check
// what the link put on the line.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial.h"

namespace vb::link::test {

using Bytes = std::vector<uint8_t>;

struct ReceivedFrame {
  bool data = false;
  bool first = false;
  bool last = false;
  uint32_t position = 0;
  Bytes payload;  // un-stuffed message bytes, or the control character
};

// One outgoing data frame as the meter would send it.
struct OutgoingFrame {
  uint32_t position = 0;
  uint32_t count = 0;  // message bytes it carries
  Bytes bytes;         // the frame on the line
};

class FarEnd {
 public:
  explicit FarEnd(platform::LineHandle line);

  bool send(const Bytes& bytes);
  // Reads exactly count raw bytes; fewer when the line stays quiet.
  Bytes readRaw(size_t count, uint32_t timeoutMs);
  // True when no byte arrives within quietMs.
  bool staysQuiet(uint32_t quietMs);

  // Reads the next frame that passes its checks, skipping anything before a
  // start byte. False when none comes within timeoutMs.
  bool readFrame(ReceivedFrame* frame, uint32_t timeoutMs);
  // Reads data frames until one carries the last flag; the message they
  // make. False on a time-out or a control frame.
  bool readMessage(Bytes* message, uint32_t timeoutMs);

  // The short data frames (at most 117 message bytes each) of a message,
  // from a position on.
  static std::vector<OutgoingFrame> dataFrames(const Bytes& message, uint32_t from = 0);
  // Long data frames of the given size (256 .. 2048) carrying the message
  // from its start until at least upTo bytes have gone.
  static std::vector<OutgoingFrame> longFrames(const Bytes& message, uint32_t frameLength,
                                               uint32_t upTo);
  static Bytes controlFrame(uint8_t character, uint32_t argument);

  bool sendFrames(const std::vector<OutgoingFrame>& frames);
  bool sendMessage(const Bytes& message) { return sendFrames(dataFrames(message)); }
  bool sendControl(uint8_t character, uint32_t argument = 0) {
    return send(controlFrame(character, argument));
  }

 private:
  bool readByte(uint8_t* byte, uint64_t deadlineMs);

  platform::SerialDevice line_;
  std::deque<uint8_t> pending_;
};

// A message of the given size with varied bytes, some of which need
// stuffing; it starts like a meter message: the 0xFF marker and, from offset
// 6, its own length as a 32-bit little-endian number.
Bytes sampleMessage(size_t size, uint8_t seed = 7);

}  // namespace vb::link::test
