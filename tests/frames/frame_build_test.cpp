#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame.h"
#include "frame_stream.h"

namespace vb::link {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Build(const Bytes& message, uint32_t offered, uint32_t* position,
            FrameKind kind = FrameKind::kData) {
  Bytes frame(4096);
  frame.resize(BuildFrame(message.data(), offered, position, kind, frame.data(), frame.size()));
  return frame;
}

Bytes Plain(size_t count) { return Bytes(count, 'A'); }

TEST(FrameBuild, KnownFramesByteForByte) {
  struct Case {
    const char* name;
    FrameKind kind;
    Bytes message;
    uint32_t position;
    Bytes frame;
  };
  const Case cases[] = {
      {"abort request", FrameKind::kControl, {CTRL_ABORT}, 0,
       {0x01, 0x4C, 0x7F, 0x20, 0x40, 0x40, 0x40, 0x2A, 0x22, 0x33, 0xFF, 0x55, 0x0D}},
      {"resend request at 0x001234", FrameKind::kControl, {CTRL_RESEND}, 0x001234,
       {0x01, 0x4C, 0x7D, 0x20, 0x34, 0x52, 0x40, 0x5F, 0x58, 0x32, 0x3E, 0xD5, 0x0D}},
      {"data FF 01 02 03 at 0", FrameKind::kData, {0xFF, 0x01, 0x02, 0x03}, 0,
       {0x01, 0x50, 0xFF, 0x20, 0x40, 0x40, 0x40, 0x29, 0xA0, 0xFF, 0x1C, 0x41, 0x02, 0x03, 0x26,
        0xF1, 0x0D}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t position = c.position;
    const auto offered = static_cast<uint32_t>(c.message.size());
    EXPECT_EQ(Build(c.message, offered, &position, c.kind), c.frame);
    EXPECT_EQ(position, c.position + offered);

    const auto reading = test::ReadFrames(c.frame);
    ASSERT_EQ(reading.frames.size(), 1u);
    const auto& got = reading.frames[0];
    EXPECT_TRUE(got.payloadOk);
    EXPECT_EQ(got.header.data, c.kind == FrameKind::kData);
    EXPECT_TRUE(got.header.first);
    EXPECT_TRUE(got.header.last);
    EXPECT_EQ(got.header.position, c.position);
    EXPECT_EQ(got.header.length, c.frame.size() - 1);
    EXPECT_EQ(got.message, c.message);
  }
}

TEST(FrameBuild, ControlFrameCarriesItsArgumentAsPosition) {
  Bytes frame(kMaxBuiltFrame);
  frame.resize(BuildControlFrame(CTRL_RESEND, 0x001234, frame.data(), frame.size()));
  EXPECT_EQ(frame, (Bytes{0x01, 0x4C, 0x7D, 0x20, 0x34, 0x52, 0x40, 0x5F, 0x58, 0x32, 0x3E, 0xD5,
                          0x0D}));
}

TEST(FrameBuild, TerminatorOnlyBelow128Bytes) {
  uint32_t position = 0;
  const Bytes full = Build(Plain(117), 117, &position);
  ASSERT_EQ(full.size(), 128u);
  EXPECT_NE(full.back(), kTerminator);
  EXPECT_EQ(DecodeHeader(full.data()).length, 128u);
  EXPECT_TRUE(CheckPayload(full.data() + kHeaderSize, 128));

  position = 0;
  const Bytes shorter = Build(Plain(116), 116, &position);
  ASSERT_EQ(shorter.size(), 128u);
  EXPECT_EQ(shorter.back(), kTerminator);
  EXPECT_EQ(DecodeHeader(shorter.data()).length, 127u);
}

TEST(FrameBuild, FullOfferFills117BytesAndLeavesLastClear) {
  uint32_t position = 0;
  const Bytes frame = Build(Plain(128), 128, &position);
  EXPECT_EQ(frame.size(), kMaxBuiltFrame);
  EXPECT_EQ(position, 117u);
  const FrameHeader header = DecodeHeader(frame.data());
  EXPECT_TRUE(header.first);
  EXPECT_FALSE(header.last);
}

TEST(FrameBuild, Message118BytesGoesAs117AndOne) {
  const Bytes message = Plain(118);
  uint32_t position = 0;
  const Bytes first = Build(message, 118, &position);
  ASSERT_EQ(position, 117u);
  const Bytes second = Build(Bytes(message.begin() + 117, message.end()), 1, &position);
  EXPECT_EQ(position, 118u);

  const FrameHeader head = DecodeHeader(first.data());
  EXPECT_TRUE(head.first);
  EXPECT_FALSE(head.last);
  const FrameHeader tail = DecodeHeader(second.data());
  EXPECT_FALSE(tail.first);
  EXPECT_TRUE(tail.last);
  EXPECT_EQ(tail.position, 117u);
  EXPECT_EQ(tail.length, 12u);
}

TEST(FrameBuild, StuffedPairAcrossLimitGivesItsByteBack) {
  // 116 plain bytes fill offsets 9..124; the stuffed 0x01 would take 125 and
  // 126, one past the limit, so only its escape byte stays in the frame.
  Bytes message = Plain(116);
  message.push_back(0x01);
  message.push_back('B');
  uint32_t position = 0;
  const Bytes frame = Build(message, static_cast<uint32_t>(message.size()), &position);
  ASSERT_EQ(frame.size(), 128u);
  EXPECT_EQ(position, 116u);
  EXPECT_EQ(frame[125], kEscapeByte);
  EXPECT_FALSE(DecodeHeader(frame.data()).last);

  const auto reading = test::ReadFrames(frame);
  ASSERT_EQ(reading.frames.size(), 1u);
  EXPECT_TRUE(reading.frames[0].payloadOk);
  EXPECT_EQ(reading.frames[0].message, Plain(116));
}

TEST(FrameBuild, ShiftsHeaderBytesAndRecordsPositionShifts) {
  struct Case {
    uint32_t position;
    uint8_t shiftFlags;
  };
  const Case cases[] = {
      {0x000000, FLAG_POS0_SHIFTED | FLAG_POS1_SHIFTED | FLAG_POS2_SHIFTED},
      {0x9F1F80, FLAG_POS0_SHIFTED | FLAG_POS1_SHIFTED | FLAG_POS2_SHIFTED},
      {0x203040, 0},
      {0x7F00A0, FLAG_POS1_SHIFTED},
      {0xFFFFFF, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    uint32_t position = c.position;
    const Bytes frame = Build(Plain(3), 3, &position);
    ASSERT_FALSE(frame.empty());
    const uint8_t positionFlags = FLAG_POS0_SHIFTED | FLAG_POS1_SHIFTED | FLAG_POS2_SHIFTED;
    EXPECT_EQ(frame[kFlagsOffset] & positionFlags, c.shiftFlags);
    for (size_t i = 1; i < kHeaderSize; ++i) EXPECT_GE(frame[i] & 0x7F, kShiftBelow) << i;
    EXPECT_TRUE(CheckHeader(frame.data()));
    EXPECT_EQ(DecodeHeader(frame.data()).position, c.position);
  }
}

TEST(FrameBuild, RefusesWhatItCannotBuildSafely) {
  const Bytes message = Plain(4096);
  Bytes frame(4096);
  struct Case {
    const char* name;
    uint32_t offered;
    uint32_t position;
    size_t capacity;
  };
  const Case cases[] = {
      {"nothing offered", 0, 0, frame.size()},
      {"offer without a frame length", 300, 0, frame.size()},
      {"offer above the largest frame", 4096, 0, frame.size()},
      {"position beyond three bytes", 10, kMaxPosition + 1, frame.size()},
      {"buffer below a built frame", 10, 0, kMaxBuiltFrame - 1},
      {"buffer below the offered long frame", 512, 0, 511},
  };
  for (const Case& c : cases) {
    uint32_t position = c.position;
    EXPECT_EQ(BuildFrame(message.data(), c.offered, &position, FrameKind::kData, frame.data(),
                         c.capacity),
              0u)
        << c.name;
    EXPECT_EQ(position, c.position) << c.name;
  }
  uint32_t position = 0;
  EXPECT_EQ(BuildLongFrame(message.data(), 100, 300, &position, frame.data(), frame.size()), 0u);
  EXPECT_EQ(BuildLongFrame(message.data(), 100, 1024, &position, frame.data(), 1023), 0u);
  EXPECT_EQ(position, 0u);
}

}  // namespace
}  // namespace vb::link
