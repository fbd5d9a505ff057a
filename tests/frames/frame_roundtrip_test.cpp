#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "frame.h"
#include "frame_stream.h"

namespace vb::link {
namespace {

using Bytes = std::vector<uint8_t>;

// Message bytes with stuffed bytes and escape runs well represented.
Bytes RandomMessage(std::mt19937& random, size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<size_t> pick(0, kStuffedBytes.size() - 1);
  std::bernoulli_distribution stuffed(0.3);
  Bytes message(count);
  for (auto& b : message) {
    b = stuffed(random) ? kStuffedBytes[pick(random)] : static_cast<uint8_t>(byte(random));
  }
  return message;
}

// Reassembles the frames read from a stream by position.
Bytes Reassemble(const test::StreamReading& reading) {
  Bytes message;
  for (const auto& frame : reading.frames) {
    EXPECT_TRUE(frame.payloadOk);
    const size_t end = frame.header.position + frame.message.size();
    if (message.size() < end) message.resize(end);
    std::copy(frame.message.begin(), frame.message.end(),
              message.begin() + static_cast<long>(frame.header.position));
  }
  return message;
}

// The link's own sending: frames of at most 128 bytes, offering up to 128
// message bytes each, sent one after another with junk between some of them.
TEST(FrameRoundTrip, RandomMessagesSurviveFramingAndReassembly) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<size_t> length(1, 3000);
  std::bernoulli_distribution junk(0.2);
  for (int round = 0; round < 300; ++round) {
    const Bytes message = RandomMessage(random, length(random));
    Bytes stream;
    uint32_t position = 0;
    size_t frames = 0;
    while (position < message.size()) {
      const auto offered =
          static_cast<uint32_t>(std::min<size_t>(message.size() - position, kFrameDataSize));
      uint8_t frame[4096];
      const size_t count = BuildFrame(message.data() + position, offered, &position,
                                      FrameKind::kData, frame, sizeof frame);
      ASSERT_GT(count, 0u);
      ASSERT_LE(count, kMaxBuiltFrame);
      stream.insert(stream.end(), frame, frame + count);
      if (junk(random)) stream.insert(stream.end(), {0x0D, 0x20, 0x7E});
      ++frames;
    }
    ASSERT_EQ(position, message.size());

    const auto reading = test::ReadFrames(stream);
    ASSERT_EQ(reading.frames.size(), frames) << "round " << round;
    EXPECT_EQ(reading.badHeaders, 0);
    EXPECT_EQ(Reassemble(reading), message) << "round " << round;
    for (size_t i = 0; i < frames; ++i) {
      const FrameHeader& header = reading.frames[i].header;
      EXPECT_TRUE(header.data);
      EXPECT_EQ(header.first, i == 0);
      EXPECT_EQ(header.last, i + 1 == frames);
    }
  }
}

// The meter's long frames: exactly the long size, also when fewer message
// bytes are left than would fill it.
TEST(FrameRoundTrip, LongFramesOfEverySize) {
  std::mt19937 random(2048);
  for (uint32_t size : kLongFrameSizes) {
    for (size_t available : {size_t{1}, size_t{100}, size_t{size}, size_t{size} * 2}) {
      SCOPED_TRACE(testing::Message() << "size " << size << ", available " << available);
      const Bytes message = RandomMessage(random, available);
      Bytes frame(kMaxFrameLength);
      uint32_t position = 0x1000;
      frame.resize(BuildLongFrame(message.data(), static_cast<uint32_t>(available), size,
                                  &position, frame.data(), frame.size()));
      ASSERT_EQ(frame.size(), size);
      const uint32_t consumed = position - 0x1000;

      const auto reading = test::ReadFrames(frame);
      ASSERT_EQ(reading.frames.size(), 1u);
      const auto& got = reading.frames[0];
      EXPECT_TRUE(got.payloadOk);
      EXPECT_EQ(got.header.length, size);
      EXPECT_EQ(got.header.position, 0x1000u);
      EXPECT_EQ(got.header.last, consumed == available);
      EXPECT_EQ(got.message, Bytes(message.begin(), message.begin() + consumed));
    }
  }
}

// Offers above the link's own frame data size, as the meter may make: the
// frame is exactly as long as the offer.
TEST(FrameRoundTrip, LargeOfferGivesAFrameOfExactlyThatSize) {
  std::mt19937 random(512);
  for (uint32_t size : {129u, 200u, 255u, 256u, 512u, 1024u, 2048u}) {
    SCOPED_TRACE(size);
    const Bytes message = RandomMessage(random, size);
    Bytes frame(kMaxFrameLength);
    uint32_t position = 0;
    frame.resize(BuildFrame(message.data(), size, &position, FrameKind::kData, frame.data(),
                            frame.size()));
    ASSERT_EQ(frame.size(), size);
    const auto reading = test::ReadFrames(frame);
    ASSERT_EQ(reading.frames.size(), 1u);
    EXPECT_TRUE(reading.frames[0].payloadOk);
    EXPECT_EQ(reading.frames[0].message, Bytes(message.begin(), message.begin() + position));
  }
}

TEST(FrameRoundTrip, ControlFrames) {
  for (uint8_t character : {CTRL_ACK, CTRL_NAK, CTRL_RESEND, CTRL_ABORT}) {
    for (uint32_t argument : {0u, 117u, 0x001234u, 99999u}) {
      Bytes frame(kMaxBuiltFrame);
      frame.resize(BuildControlFrame(character, argument, frame.data(), frame.size()));
      const auto reading = test::ReadFrames(frame);
      ASSERT_EQ(reading.frames.size(), 1u);
      const auto& got = reading.frames[0];
      EXPECT_TRUE(got.payloadOk);
      EXPECT_FALSE(got.header.data);
      EXPECT_TRUE(got.header.first && got.header.last);
      EXPECT_EQ(got.header.position, argument);
      EXPECT_EQ(got.message, Bytes{character});
    }
  }
}

}  // namespace
}  // namespace vb::link
