// Frames built from arbitrary message bytes must read back: header and
// payload checks pass, the header gives the position and length the frame
// was built with, and un-stuffing gives back exactly the bytes that went in.
// The frame buffer has exactly the room the builder asks for.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame.h"
#include "fuzz_input.h"

using namespace vb::link;

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Reads back a frame of `built` bytes that should carry message[0, consumed).
void ReadBack(const std::vector<uint8_t>& frame, size_t built, const uint8_t* message,
              uint32_t consumed, uint32_t position, bool data) {
  Require(built >= kMinFrameLength);
  const bool terminated = built <= kTerminatedBelow && frame[built - 1] == kTerminator;
  const auto length = static_cast<uint32_t>(terminated ? built - 1 : built);
  Require(terminated == (length < kTerminatedBelow));
  Require(frame[0] == kStartByte);
  Require(CheckHeader(frame.data()));
  const FrameHeader header = DecodeHeader(frame.data());
  Require(header.length == length);
  Require(header.position == position);
  Require(header.data == data);
  Require(header.first == (data ? position == 0 : true));
  std::vector<uint8_t> rest(frame.begin() + kHeaderSize, frame.begin() + length);
  Require(CheckPayload(rest.data(), length));
  std::vector<uint8_t> out(length);
  const UnstuffResult unstuffed = Unstuff(rest.data(), length - kFrameOverhead, out.data(), out.size());
  Require(!unstuffed.truncated);
  Require(unstuffed.written == consumed);
  Require(std::equal(out.begin(), out.begin() + consumed, message));
}

uint32_t ChooseOffer(uint8_t selector, uint8_t small) {
  switch (selector % 8) {
    case 0: return 512;
    case 1: return 1024;
    case 2: return 2048;
    case 3: return 129 + small % 128;
    default: return 1 + small % kFrameDataSize;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const uint8_t mode = input.u8();
  const uint8_t small = input.u8();
  const uint32_t position = input.u32() % (kMaxPosition + 1);

  if (mode % 4 == 0) {
    // A control frame.
    const uint8_t character = small;
    std::vector<uint8_t> frame(kMaxBuiltFrame);
    const size_t built = BuildControlFrame(character, position, frame.data(), frame.size());
    ReadBack(frame, built, &character, 1, position, false);
    return 0;
  }
  if (mode % 4 == 1) {
    // A long frame as the meter sends it, padded to its size.
    const uint32_t frameLength = kLongFrameSizes[small % kLongFrameSizes.size()];
    const std::vector<uint8_t> message = input.rest();
    std::vector<uint8_t> frame(frameLength);
    uint32_t advanced = position;
    const size_t built = BuildLongFrame(message.data(), static_cast<uint32_t>(message.size()),
                                        frameLength, &advanced, frame.data(), frame.size());
    Require(built == frameLength);
    ReadBack(frame, built, message.data(), advanced - position, position, true);
    return 0;
  }

  const uint32_t offered = ChooseOffer(mode >> 2, small);
  std::vector<uint8_t> message = input.bytes(offered);
  message.resize(offered);
  std::vector<uint8_t> frame(std::max(offered, kMaxBuiltFrame));
  uint32_t advanced = position;
  const size_t built = BuildFrame(message.data(), offered, &advanced, FrameKind::kData,
                                  frame.data(), frame.size());
  Require(built > 0);
  // Every frame carries at least one message byte, so a message always ends.
  Require(advanced > position);
  ReadBack(frame, built, message.data(), advanced - position, position, true);
  return 0;
}
