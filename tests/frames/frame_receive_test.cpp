#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame.h"

namespace vb::link {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(FrameReceive, HeaderSynchronisation) {
  struct Case {
    const char* name;
    Bytes filled;
    Bytes expected;  // the valid bytes at the front afterwards
  };
  const Case cases[] = {
      {"start byte first", {0x01, 0x4C, 0x7F}, {0x01, 0x4C, 0x7F}},
      {"previous terminator and junk before the start",
       {0x0D, 0x55, 0x01, 0x4C, 0x7F},
       {0x01, 0x4C, 0x7F}},
      {"start byte last of nine",
       {0x0D, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x01},
       {0x01}},
      {"nine bytes without a start", {0x0D, 0x20, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}, {}},
      {"only the first start byte counts", {0x33, 0x01, 0x01, 0x4C}, {0x01, 0x01, 0x4C}},
      {"nothing read", {}, {}},
  };
  for (const Case& c : cases) {
    uint8_t header[kHeaderSize] = {};
    std::copy(c.filled.begin(), c.filled.end(), header);
    const size_t valid = SyncHeader(header, c.filled.size());
    EXPECT_EQ(Bytes(header, header + valid), c.expected) << c.name;
  }
}

TEST(FrameReceive, SynchronisationNeverLooksPastTheHeaderBuffer) {
  uint8_t buffer[kHeaderSize + 1] = {0x0D, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x01};
  EXPECT_EQ(SyncHeader(buffer, sizeof buffer), 0u);
}

TEST(FrameReceive, LengthDecoding) {
  struct Case {
    uint8_t lengthByte;
    uint8_t flags;
    uint32_t length;
  };
  const uint8_t shifted = FLAG_SET | FLAG_LEN_SHIFTED;
  const Case cases[] = {
      {0x40, shifted, 256},  {0x41, shifted, 512},   {0x42, shifted, 1024},
      {0x43, shifted, 2048}, {0x44, shifted, 0},     {0x4B, shifted, 0},
      {0x4C, shifted, 12},   {0x50, shifted, 16},    {0x5F, shifted, 31},
      {0x20, FLAG_SET, 32},  {0x7F, FLAG_SET, 127},  {0x80, FLAG_SET, 128},
      {0xDF, shifted, 159},  {0xA0, FLAG_SET, 160},  {0xFF, FLAG_SET, 255},
      {0x04, FLAG_SET, 0},   {0x0B, FLAG_SET, 0},    {0x00, FLAG_SET, 256},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeLength(c.lengthByte, c.flags), c.length)
        << std::hex << "byte 0x" << int{c.lengthByte} << " flags 0x" << int{c.flags};
  }
}

TEST(FrameReceive, Unstuffing) {
  struct Case {
    const char* name;
    Bytes raw;
    size_t capacity;
    Bytes message;
    bool truncated;
  };
  const Case cases[] = {
      {"run of escapes marks only the next byte", {0x1C, 0x1C, 0x41}, 8, {0x01}, false},
      {"trailing escape produces nothing", {0x41, 0x1C}, 8, {0x41}, false},
      {"every stuffed byte", {0x1C, 0x41, 0x1C, 0x4D, 0x1C, 0x50, 0x1C, 0x51, 0x1C, 0x53, 0x1C,
                              0x5C, 0x1C, 0xCD, 0x1C, 0xD0, 0x1C, 0xD3},
       16, {0x01, 0x0D, 0x10, 0x11, 0x13, 0x1C, 0x8D, 0x90, 0x93}, false},
      {"other control bytes pass as they are", {0x00, 0x02, 0x7F}, 8, {0x00, 0x02, 0x7F}, false},
      {"long-frame padding", {0x41, 0x1C, 0x1C, 0x1C, 0x1C}, 8, {0x41}, false},
      {"stops at the destination's capacity", {0x41, 0x42, 0x43}, 2, {0x41, 0x42}, true},
      {"trailing escape does not overflow", {0x41, 0x42, 0x1C}, 2, {0x41, 0x42}, false},
      {"zero capacity", {0x41}, 0, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A guard byte after the capacity shows any write past it.
    Bytes dest(c.capacity + 1, 0xEE);
    const UnstuffResult result = Unstuff(c.raw.data(), c.raw.size(), dest.data(), c.capacity);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + static_cast<long>(result.written)), c.message);
    EXPECT_EQ(result.truncated, c.truncated);
    EXPECT_EQ(dest[c.capacity], 0xEE);
  }
}

// Every single-byte corruption of a frame fails its header or payload check.
TEST(FrameReceive, CorruptionIsDetected) {
  const Bytes message = {0xFF, 0x01, 0x02, 0x03, 0x0D, 0x1C, 'x', 'y'};
  Bytes frame(kMaxBuiltFrame);
  uint32_t position = 0x010203;
  frame.resize(BuildFrame(message.data(), static_cast<uint32_t>(message.size()), &position,
                          FrameKind::kData, frame.data(), frame.size()));
  const uint32_t length = DecodeHeader(frame.data()).length;
  ASSERT_EQ(length + 1, frame.size());
  ASSERT_TRUE(CheckHeader(frame.data()));
  ASSERT_TRUE(CheckPayload(frame.data() + kHeaderSize, length));

  for (size_t i = 0; i < length; ++i) {
    for (uint8_t flip : {0x01, 0x40, 0x80, 0xFF}) {
      Bytes bad = frame;
      bad[i] ^= flip;
      const bool headerOk = CheckHeader(bad.data());
      const bool payloadOk = CheckPayload(bad.data() + kHeaderSize, length);
      EXPECT_FALSE(headerOk && payloadOk) << "byte " << i << " flipped with 0x" << std::hex
                                          << int{flip};
    }
  }
}

TEST(FrameReceive, PayloadCheckRefusesLengthsWithoutAFrame) {
  const Bytes rest(4096, 0x20);
  for (uint32_t length : {0u, 4u, 11u, 300u, 2049u}) {
    EXPECT_FALSE(CheckPayload(rest.data(), length)) << length;
  }
}

}  // namespace
}  // namespace vb::link
