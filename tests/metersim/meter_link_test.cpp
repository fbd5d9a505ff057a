// The meter's side of the link: the frames it reads and sends, and how it
// puts the host's messages together.
#include <gtest/gtest.h>

#include "frame.h"
#include "frame_reader.h"
#include "link_constants.h"
#include "wakeup.h"
#include "message_assembler.h"
#include "reply_framer.h"

namespace vb::metersim {
namespace {

const std::vector<uint8_t> kAbortFrame = {0x01, 0x4C, 0x7F, 0x20, 0x40, 0x40, 0x40,
                                          0x2A, 0x22, 0x33, 0xFF, 0x55, 0x0D};
const std::vector<uint8_t> kResendFrame = {0x01, 0x4C, 0x7D, 0x20, 0x34, 0x52, 0x40,
                                           0x5F, 0x58, 0x32, 0x3E, 0xD5, 0x0D};
const std::vector<uint8_t> kDataFrame = {0x01, 0x50, 0xFF, 0x20, 0x40, 0x40, 0x40, 0x29, 0xA0,
                                         0xFF, 0x1C, 0x41, 0x02, 0x03, 0x26, 0xF1, 0x0D};

std::vector<HostFrame> readAll(const std::vector<uint8_t>& bytes) {
  FrameReader reader;
  reader.feed(bytes.data(), bytes.size(), 0);
  return reader.takeFrames();
}

TEST(MeterLinkTest, ReadsTheHostsControlAndDataFrames) {
  struct Row {
    const char* name;
    const std::vector<uint8_t>* bytes;
    bool data;
    uint32_t position;
    std::vector<uint8_t> payload;
  };
  const Row rows[] = {
      {"abort", &kAbortFrame, false, 0, {'3'}},
      {"resend 0x1234", &kResendFrame, false, 0x1234, {'2'}},
      {"data FF 01 02 03", &kDataFrame, true, 0, {0xFF, 0x01, 0x02, 0x03}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<HostFrame> frames = readAll(*row.bytes);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, row.data);
    EXPECT_EQ(frames[0].position, row.position);
    EXPECT_EQ(frames[0].payload, row.payload);
    EXPECT_TRUE(frames[0].first && frames[0].last);
  }
}

TEST(MeterLinkTest, SendsFramesByteForByteAsTheLinkDefinesThem) {
  EXPECT_EQ(controlFrame(link::CTRL_ABORT, 0), kAbortFrame);
  EXPECT_EQ(controlFrame(link::CTRL_RESEND, 0x1234), kResendFrame);
  const std::vector<ReplyFrame> frames = frameReply({0xFF, 0x01, 0x02, 0x03}, 0, 0);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, kDataFrame);
}

TEST(MeterLinkTest, SkipsNoiseBadFramesAndTheWakeupText) {
  std::vector<uint8_t> stream(link::kWakeupText, link::kWakeupText + link::kWakeupTextLength);
  std::vector<uint8_t> corrupted = kAbortFrame;
  corrupted[10] ^= 0x01;  // payload check fails
  for (const std::vector<uint8_t>* part : std::initializer_list<const std::vector<uint8_t>*>{&corrupted, &kDataFrame, &kResendFrame}) {
    stream.insert(stream.end(), part->begin(), part->end());
    stream.push_back('x');
  }
  FrameReader reader;
  // In odd pieces, as a line delivers them.
  for (size_t at = 0; at < stream.size(); at += 5) {
    reader.feed(stream.data() + at, std::min<size_t>(5, stream.size() - at), at);
  }
  const std::vector<HostFrame> frames = reader.takeFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].data);
  EXPECT_EQ(frames[1].position, 0x1234u);
  EXPECT_EQ(reader.takeWakeups(), 1u);
  EXPECT_EQ(reader.badFrames(), 1u);
}

TEST(MeterLinkTest, AFrameCutShortIsGivenUpAfterAPause) {
  FrameReader reader;
  reader.feed(kDataFrame.data(), 6, 1000);
  reader.feed(kAbortFrame.data(), kAbortFrame.size(), 1000 + kStaleFrameMs + 1);
  const std::vector<HostFrame> frames = reader.takeFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_FALSE(frames[0].data);
}

TEST(MeterLinkTest, LongRepliesGoInFramesAtTheirPositions) {
  std::vector<uint8_t> reply(5000);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 7);
  for (uint32_t size : {0u, 256u, 2048u}) {
    SCOPED_TRACE(size);
    const std::vector<ReplyFrame> frames = frameReply(reply, 1000, size);
    std::vector<uint8_t> stream;
    // Long frames while they fill up, then short frames for the tail.
    size_t longCount = 0;
    bool tail = false;
    for (const ReplyFrame& f : frames) {
      const bool isLong = size != 0 && f.bytes.size() == size;
      EXPECT_TRUE(isLong || f.bytes.size() < 256u) << f.bytes.size();
      EXPECT_FALSE(isLong && tail);
      tail = tail || !isLong;
      longCount += isLong ? 1 : 0;
      stream.insert(stream.end(), f.bytes.begin(), f.bytes.end());
    }
    EXPECT_EQ(longCount > 0, size != 0);
    std::vector<uint8_t> rebuilt(1000);
    for (const HostFrame& f : readAll(stream)) {
      EXPECT_EQ(f.position, rebuilt.size());
      EXPECT_EQ(f.first, false);
      rebuilt.insert(rebuilt.end(), f.payload.begin(), f.payload.end());
    }
    EXPECT_TRUE(std::equal(rebuilt.begin() + 1000, rebuilt.end(), reply.begin() + 1000));
    EXPECT_EQ(rebuilt.size(), reply.size());
  }
}

TEST(MeterLinkTest, ShortRepliesGoInShortFramesAlsoInLongFrameMode) {
  const std::vector<uint8_t> reply(12, 0x41);
  for (uint32_t size : {256u, 2048u}) {
    SCOPED_TRACE(size);
    const std::vector<ReplyFrame> frames = frameReply(reply, 0, size);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_LT(frames[0].bytes.size(), 64u);
    EXPECT_EQ(frames[0].end, reply.size());
  }
}

HostFrame dataFrame(uint32_t position, size_t size, bool last) {
  HostFrame frame;
  frame.data = true;
  frame.first = position == 0;
  frame.last = last;
  frame.position = position;
  frame.payload.assign(size, static_cast<uint8_t>(position));
  return frame;
}

TEST(MeterLinkTest, AssemblerAsksForTheFirstMissingPartAndCompletesWhenItComes) {
  MessageAssembler assembler;
  EXPECT_FALSE(assembler.add(dataFrame(0, 117, false)).complete);
  AssemblyResult gap = assembler.add(dataFrame(234, 10, true));
  EXPECT_TRUE(gap.requestResend);
  EXPECT_EQ(gap.resendFrom, 117u);
  AssemblyResult done = assembler.add(dataFrame(117, 117, false));
  ASSERT_TRUE(done.complete);
  ASSERT_EQ(done.message.size(), 244u);
  EXPECT_EQ(done.message[117], 117);
  EXPECT_EQ(done.message[243], 234);
  // A late copy of a frame starts nothing.
  EXPECT_FALSE(assembler.add(dataFrame(117, 117, true)).requestResend);
}

TEST(MeterLinkTest, AssemblerStartsAfreshAtPositionZero) {
  MessageAssembler assembler;
  assembler.add(dataFrame(0, 117, false));
  const AssemblyResult again = assembler.add(dataFrame(0, 5, true));
  ASSERT_TRUE(again.complete);
  EXPECT_EQ(again.message.size(), 5u);
}

}  // namespace
}  // namespace vb::metersim
