// Receiving messages over a real line: assembly, gaps and resend requests,
// time-outs, bad frames, unsupported control frames, progress and abort.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <vector>

#include "frame.h"
#include "link_fixture.h"
#include "platform/clock.h"

namespace vb::link::test {
namespace {

bool sameBytes(const Bytes& expected, const Bytes& buffer, size_t from = 0) {
  return buffer.size() >= expected.size() &&
         std::equal(expected.begin() + from, expected.end(), buffer.begin() + from);
}

TEST_F(LinkTest, ThreeFrameMessageIsDeliveredWhole) {
  open();
  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_TRUE(farEnd_->sendFrames(frames));
  Bytes buffer(1000, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_EQ(record_.length, 300u);
  EXPECT_EQ(record_.error_code, LINK_OK);
  EXPECT_STREQ(record_.source, "Brisel Receive");
  EXPECT_TRUE(sameBytes(message, buffer));
}

TEST_F(LinkTest, LongFramesAndShortFramesMakeOneMessage) {
  open();
  const Bytes message = sampleMessage(5000);
  // The meter's long frames, then short ones for the rest.
  auto frames = FarEnd::longFrames(message, 2048, 4000);
  const uint32_t position = frames.back().position + frames.back().count;
  for (const OutgoingFrame& frame : FarEnd::dataFrames(message, position)) {
    frames.push_back(frame);
  }
  // Only the final frame carries the last flag.
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    ASSERT_EQ(DecodeHeader(frames[i].bytes.data()).last, false);
  }
  ASSERT_TRUE(farEnd_->sendFrames(frames));
  Bytes buffer(6000, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_EQ(record_.length, 5000u);
  EXPECT_TRUE(sameBytes(message, buffer));
}

TEST_F(LinkTest, ShortBufferTruncatesWithoutWritingPastIt) {
  open();
  const Bytes message = sampleMessage(250);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  Bytes buffer(200, 0xEE);
  record_.data = buffer.data();
  record_.length = 100;
  EXPECT_EQ(RecvData(&record_), 0);
  EXPECT_EQ(record_.error_code, LINK_TRUNCATED);
  EXPECT_STREQ(record_.message, "Message truncated - actual length 250");
  EXPECT_EQ(record_.length, 100u);
  EXPECT_TRUE(std::equal(message.begin(), message.begin() + 100, buffer.begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 100, buffer.end(), [](uint8_t b) { return b == 0xEE; }));
}

// The caller's length is the room from data on; with a start point the
// message bytes go to data + start point and still stop before data + length.
TEST_F(LinkTest, CopyFromStartPointStaysInsideCallersBuffer) {
  open();
  const Bytes message = sampleMessage(300);
  ASSERT_EQ(SetStartPoint(&record_, 100), 1);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  Bytes buffer(400, 0xEE);
  record_.data = buffer.data();
  record_.length = 250;
  EXPECT_EQ(RecvData(&record_), 0);
  EXPECT_EQ(record_.error_code, LINK_TRUNCATED);
  EXPECT_STREQ(record_.message, "Message truncated - actual length 200");
  EXPECT_EQ(record_.length, 150u);
  EXPECT_TRUE(
      std::all_of(buffer.begin(), buffer.begin() + 100, [](uint8_t b) { return b == 0xEE; }));
  EXPECT_TRUE(std::equal(message.begin() + 100, message.begin() + 250, buffer.begin() + 100));
  EXPECT_TRUE(std::all_of(buffer.begin() + 250, buffer.end(), [](uint8_t b) { return b == 0xEE; }));
}

// How the meter answers a resend request: with the one frame asked for, or
// with everything from there to the end of the message.
struct ResendCase {
  const char* name;
  size_t messageSize;
  std::set<size_t> lostFrames;
  bool resendToEnd;
};

void PrintTo(const ResendCase& c, std::ostream* out) { *out << c.name; }

class ResendTest : public LinkTest, public ::testing::WithParamInterface<ResendCase> {};

TEST_P(ResendTest, LostFramesAreRequestedAndTheWholeMessageArrives) {
  const ResendCase& param = GetParam();
  open();
  const Bytes message = sampleMessage(param.messageSize);
  const auto frames = FarEnd::dataFrames(message);
  std::vector<uint32_t> requests;
  std::atomic<bool> done{false};
  Script meter([&] {
    for (size_t i = 0; i < frames.size(); ++i) {
      if (param.lostFrames.count(i) == 0) farEnd_->send(frames[i].bytes);
    }
    while (!done) {
      ReceivedFrame request;
      if (!farEnd_->readFrame(&request, 100)) continue;
      if (request.data || request.payload != Bytes{CTRL_RESEND}) continue;
      requests.push_back(request.position);
      for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].position != request.position) continue;
        const size_t end = param.resendToEnd ? frames.size() : i + 1;
        for (size_t k = i; k < end; ++k) farEnd_->send(frames[k].bytes);
      }
    }
  });
  Bytes buffer(param.messageSize + 100, 0);
  const int32_t result = receive(buffer);
  done = true;
  meter.join();
  ASSERT_EQ(result, 1) << record_.message;
  EXPECT_EQ(record_.length, param.messageSize);
  EXPECT_TRUE(sameBytes(message, buffer));
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), frames[*param.lostFrames.begin()].position);
}

INSTANTIATE_TEST_SUITE_P(
    Link, ResendTest,
    ::testing::Values(ResendCase{"MiddleOfThreeResentAlone", 300, {1}, false},
                      ResendCase{"MiddleOfThreeResentToTheEnd", 300, {1}, true},
                      ResendCase{"TwoOfFiveResentAlone", 560, {1, 2}, false},
                      ResendCase{"TwoOfFiveResentToTheEnd", 560, {1, 2}, true},
                      ResendCase{"FirstOfThreeResentAlone", 300, {0}, false},
                      ResendCase{"SecondAndFourthOfFiveResentAlone", 560, {1, 3}, false}),
    [](const ::testing::TestParamInfo<ResendCase>& info) { return info.param.name; });

// The meter lets the first resend request go unanswered for longer than the
// frame time-out: the receiver's time-out during the resend requests leads
// to one more request, and the answer to that still completes the message.
TEST_F(LinkTest, ResendAnsweredAfterAReceiverTimeoutStillCompletes) {
  open();
  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  std::atomic<int> requests{0};
  std::atomic<bool> done{false};
  Script meter([&] {
    farEnd_->send(frames[0].bytes);
    farEnd_->send(frames[2].bytes);
    while (!done) {
      ReceivedFrame request;
      if (!farEnd_->readFrame(&request, 100)) continue;
      if (request.data || request.payload != Bytes{CTRL_RESEND}) continue;
      if (++requests >= 2) farEnd_->send(frames[1].bytes);
    }
  });
  Bytes buffer(400, 0);
  const int32_t result = receive(buffer);
  done = true;
  meter.join();
  ASSERT_EQ(result, 1) << record_.message;
  EXPECT_EQ(requests.load(), 2);
  EXPECT_EQ(record_.length, 300u);
  EXPECT_TRUE(sameBytes(message, buffer));
}

TEST_F(LinkTest, FourRequestsForTheSamePartThenRetriesFail) {
  open();
  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  std::atomic<int> requests{0};
  std::atomic<bool> done{false};
  Script meter([&] {
    farEnd_->send(frames[0].bytes);
    farEnd_->send(frames[2].bytes);
    while (!done) {
      ReceivedFrame request;
      if (!farEnd_->readFrame(&request, 100)) continue;
      if (request.data || request.payload != Bytes{CTRL_RESEND}) continue;
      ++requests;
      // Answers with a frame that does not fill the gap.
      farEnd_->send(frames[2].bytes);
    }
  });
  Bytes buffer(400, 0);
  const int32_t result = receive(buffer);
  done = true;
  meter.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(record_.error_code, LINK_RETRIES_FAILED);
  EXPECT_STREQ(record_.source, "Brisel Receiver");
  EXPECT_STREQ(record_.message, "Frame retries failed");
  EXPECT_EQ(requests.load(), 4);
}

TEST_F(LinkTest, UnsupportedControlIsReportedAndTheNextReceiveStillReturns) {
  record_.receive_timeout_ms = 500;
  record_.frame_timeout_ms = 1000;
  open();
  ASSERT_TRUE(farEnd_->sendControl('7'));
  Bytes buffer(100, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_UNSUPPORTED_CONTROL);
  EXPECT_STREQ(record_.message, "Received unsupported control frame request.");

  // Silence: the next RecvData ends by its own time-out.
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_TIMEOUT);
  EXPECT_LT(platform::nowMs() - started, 10000u);

  // And the link still carries messages.
  const Bytes message = sampleMessage(50);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  record_.receive_timeout_ms = kTestReceiveTimeoutMs;
  EXPECT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_TRUE(sameBytes(message, buffer));
}

TEST_F(LinkTest, SilentLineGivesReceiverTimedOut) {
  open();
  Bytes buffer(100, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_TIMEOUT);
  EXPECT_STREQ(record_.message, "Receiver timed out");
  EXPECT_EQ(GetResumePoint(&record_), 0u);
}

TEST_F(LinkTest, MessageBrokenOffTimesOutWithItsResumePoint) {
  open();
  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  ASSERT_TRUE(farEnd_->send(frames[0].bytes));
  ASSERT_TRUE(farEnd_->send(frames[1].bytes));
  Bytes buffer(400, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_TIMEOUT);
  EXPECT_STREQ(record_.message, "Receiver timed out");
  EXPECT_EQ(record_.length, 400u);
  const uint32_t resumePoint = GetResumePoint(&record_);
  EXPECT_EQ(resumePoint, frames[2].position);
  EXPECT_TRUE(std::equal(message.begin(), message.begin() + resumePoint, buffer.begin()));
}

// A RecvData that gives up before the receiver's own time-out must not leave
// the receiver answering its own verdicts: the call returns and the link
// still works.
TEST_F(LinkTest, TimeoutOnReadLeavesTheLinkUsable) {
  record_.receive_timeout_ms = 300;
  record_.frame_timeout_ms = 2000;
  open();
  Bytes buffer(100, 0);
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_TIMEOUT);
  EXPECT_STREQ(record_.message, "Timeout on Read");
  EXPECT_LT(platform::nowMs() - started, 10000u);

  const Bytes message = sampleMessage(80);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  record_.receive_timeout_ms = kTestReceiveTimeoutMs;
  EXPECT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_TRUE(sameBytes(message, buffer));
}

Bytes corrupted(Bytes frame, size_t index) {
  frame[index] ^= 0x04;
  return frame;
}

TEST_F(LinkTest, TwentyFiveBadFramesMeanPoorData) {
  open();
  const auto frames = FarEnd::dataFrames(sampleMessage(300));
  for (int i = 0; i < 25; ++i) {
    // Alternately a broken header check and a broken payload check.
    const size_t index = i % 2 == 0 ? 5 : frames[0].bytes.size() - 4;
    ASSERT_TRUE(farEnd_->send(corrupted(frames[0].bytes, index)));
  }
  Bytes buffer(400, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.message, "Bad connection poor data");
}

TEST_F(LinkTest, TwentyFourBadFramesAreDroppedQuietly) {
  open();
  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  for (int i = 0; i < 24; ++i) ASSERT_TRUE(farEnd_->send(corrupted(frames[1].bytes, 5)));
  ASSERT_TRUE(farEnd_->sendFrames(frames));
  Bytes buffer(400, 0);
  EXPECT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_TRUE(sameBytes(message, buffer));
}

// A last frame whose payload is spoilt leaves the end of the message
// unknown: it is asked for again instead of a message being handed over
// with an end from an earlier one.
TEST_F(LinkTest, SpoiltLastFrameIsRequestedAgain) {
  open();
  // An earlier, longer message leaves its end behind in the link.
  const Bytes earlier = sampleMessage(400, 3);
  ASSERT_TRUE(farEnd_->sendMessage(earlier));
  Bytes buffer(500, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;

  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  std::atomic<bool> done{false};
  Script meter([&] {
    farEnd_->send(frames[0].bytes);
    farEnd_->send(frames[1].bytes);
    farEnd_->send(corrupted(frames[2].bytes, frames[2].bytes.size() - 5));
    while (!done) {
      ReceivedFrame request;
      if (!farEnd_->readFrame(&request, 100)) continue;
      if (!request.data && request.payload == Bytes{CTRL_RESEND}) farEnd_->send(frames[2].bytes);
    }
  });
  const int32_t result = receive(buffer);
  done = true;
  meter.join();
  ASSERT_EQ(result, 1) << record_.message;
  EXPECT_EQ(record_.length, 300u);
  EXPECT_TRUE(sameBytes(message, buffer));
}

// A spoilt acknowledgement is a bad frame like any other: the reply that
// follows it is read and delivered.
TEST_F(LinkTest, SpoiltControlFrameDoesNotHoldUpTheReply) {
  open();
  const Bytes ack = FarEnd::controlFrame(CTRL_ACK, 0);
  ASSERT_TRUE(farEnd_->send(corrupted(ack, ack.size() - 4)));
  const Bytes message = sampleMessage(200);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  Bytes buffer(300, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_TRUE(sameBytes(message, buffer));
}

TEST_F(LinkTest, FrameEndingPastTheReceiveBufferIsReportedAsOverflow) {
  open();
  const Bytes chunk = sampleMessage(100);
  Bytes frame(kMaxBuiltFrame + 1);
  uint32_t position = 99950;
  frame.resize(
      BuildFrame(chunk.data(), 100, &position, FrameKind::kData, frame.data(), frame.size()));
  ASSERT_TRUE(farEnd_->send(frame));
  Bytes buffer(100, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_RX_OVERFLOW);
  EXPECT_STREQ(record_.message, "Receiver buffer overflowed");
}

// Progress callbacks run on the receiver thread; the test reads what they
// saw under a lock.
std::mutex gProgressMutex;
std::vector<int> gPercentages;
std::atomic<bool> gAbortAfterFirstFrame{false};
std::atomic<bool> gAbortAlways{false};

int recordProgress(int percent) {
  std::lock_guard<std::mutex> guard(gProgressMutex);
  if (gPercentages.empty() || gPercentages.back() != percent) gPercentages.push_back(percent);
  if (gAbortAlways) return 1;
  return gAbortAfterFirstFrame && percent > 0 ? 1 : 0;
}

class ProgressTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    std::lock_guard<std::mutex> guard(gProgressMutex);
    gPercentages.clear();
    gAbortAfterFirstFrame = false;
    gAbortAlways = false;
    record_.progress = recordProgress;
  }
  void TearDown() override {
    LinkTest::TearDown();
    gAbortAfterFirstFrame = false;
    gAbortAlways = false;
  }
  std::vector<int> percentages() {
    std::lock_guard<std::mutex> guard(gProgressMutex);
    return gPercentages;
  }
};

TEST_F(ProgressTest, PercentagesFollowTheLengthInAMeterMessage) {
  open();
  const Bytes message = sampleMessage(300);
  const auto frames = FarEnd::dataFrames(message);
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_TRUE(farEnd_->sendFrames(frames));
  Bytes buffer(400, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  const int first = static_cast<int>(frames[1].position * 100 / 300);
  const int second = static_cast<int>(frames[2].position * 100 / 300);
  EXPECT_EQ(percentages(), (std::vector<int>{0, first, second, 100}));
  EXPECT_EQ(GetMsgLength(&record_), 300u);
}

TEST_F(ProgressTest, AbortFromTheCallbackSendsAbortRequest) {
  open();
  gAbortAfterFirstFrame = true;
  const auto frames = FarEnd::dataFrames(sampleMessage(300));
  ASSERT_TRUE(farEnd_->send(frames[0].bytes));
  Bytes buffer(400, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_ABORTED);
  EXPECT_STREQ(record_.message, "Aborted due to user request.");
  ReceivedFrame abort;
  ASSERT_TRUE(farEnd_->readFrame(&abort, kFarEndWaitMs));
  EXPECT_FALSE(abort.data);
  EXPECT_EQ(abort.payload, Bytes{CTRL_ABORT});
  EXPECT_EQ(abort.position, 0u);
}

TEST_F(ProgressTest, AbortWhileWaitingEndsSendDataAtOnce) {
  record_.frame_timeout_ms = 20000;
  open();
  gAbortAlways = true;
  Bytes message = sampleMessage(10);
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(sendMessage(message), 1);
  EXPECT_EQ(record_.error_code, LINK_OK);
  EXPECT_LT(platform::nowMs() - started, 5000u);
  Bytes buffer(100, 0);
  EXPECT_EQ(receive(buffer), 0);
  EXPECT_EQ(record_.error_code, LINK_ABORTED);
}

}  // namespace
}  // namespace vb::link::test
