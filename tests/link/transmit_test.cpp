// Sending messages: framing on the line, the final wait, and the answers to
// the meter's negative acknowledgements and resend requests.
#include <gtest/gtest.h>

#include <atomic>

#include "frame.h"
#include "link_fixture.h"
#include "platform/clock.h"

namespace vb::link::test {
namespace {

TEST_F(LinkTest, MessageGoesOutAsFramesTheMeterCanReassemble) {
  open();
  Bytes message = sampleMessage(300);
  Bytes received;
  Script meter([&] { EXPECT_TRUE(farEnd_->readMessage(&received, kFarEndWaitMs)); });
  EXPECT_EQ(sendMessage(message), 1) << record_.message;
  meter.join();
  EXPECT_EQ(record_.error_code, LINK_OK);
  EXPECT_STREQ(record_.source, "Port Driver");
  EXPECT_EQ(received, message);
}

TEST_F(LinkTest, AcknowledgementEndsTheFinalWaitAtOnce) {
  record_.frame_timeout_ms = 20000;
  open();
  Bytes message = sampleMessage(40);
  Script meter([&] {
    Bytes received;
    EXPECT_TRUE(farEnd_->readMessage(&received, kFarEndWaitMs));
    farEnd_->sendControl(CTRL_ACK);
  });
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(sendMessage(message), 1) << record_.message;
  EXPECT_LT(platform::nowMs() - started, 10000u);
}

TEST_F(LinkTest, NakThatComesLateAfterAReplyStillHasTheMessageSentAgain) {
  open();
  const Bytes reply = sampleMessage(300, 3);
  Bytes command = sampleMessage(40, 4);
  std::atomic<int> copies{0};
  Script meter([&] {
    EXPECT_TRUE(farEnd_->sendMessage(reply));
    for (int i = 0; i < 2; ++i) {
      Bytes received;
      if (!farEnd_->readMessage(&received, kFarEndWaitMs)) return;
      EXPECT_EQ(received, command);
      ++copies;
      // Well inside the final wait, but long after the reply's frames.
      platform::sleepMs(300);
      farEnd_->sendControl(i == 0 ? CTRL_NAK : CTRL_ACK);
    }
  });
  Bytes buffer(1000);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_EQ(record_.length, reply.size());
  EXPECT_EQ(sendMessage(command), 1) << record_.message;
  meter.join();
  EXPECT_EQ(copies.load(), 2);
}

// The meter answers the first `naks` copies of the message with CTRL_NAK.
struct NakCase {
  const char* name;
  int naks;
  int32_t result;
};

void PrintTo(const NakCase& c, std::ostream* out) { *out << c.name; }

class NakTest : public LinkTest, public ::testing::WithParamInterface<NakCase> {};

TEST_P(NakTest, WholeMessageIsSentAgainUpToThreeTimes) {
  open();
  Bytes message = sampleMessage(200);
  std::atomic<int> copies{0};
  Script meter([&] {
    for (int i = 0; i < 4; ++i) {
      Bytes received;
      if (!farEnd_->readMessage(&received, kFarEndWaitMs)) return;
      EXPECT_EQ(received, message);
      ++copies;
      if (i < GetParam().naks) farEnd_->sendControl(CTRL_NAK);
    }
  });
  EXPECT_EQ(sendMessage(message), GetParam().result);
  meter.join();
  EXPECT_EQ(copies.load(), 4);
  if (GetParam().result == 0) {
    EXPECT_EQ(record_.error_code, LINK_FAILED);
    EXPECT_STREQ(record_.message, "\nReceived too many NAKs");
    EXPECT_STREQ(record_.source, "Port Driver");
  }
}

INSTANTIATE_TEST_SUITE_P(Link, NakTest,
                         ::testing::Values(NakCase{"ThreeNaksAreAnswered", 3, 1},
                                           NakCase{"FourthNakFails", 4, 0}),
                         [](const ::testing::TestParamInfo<NakCase>& info) {
                           return info.param.name;
                         });

TEST_F(LinkTest, ResendRequestForPositionZeroSendsTheFrameAgain) {
  open();
  Bytes message = sampleMessage(60);
  Bytes again;
  Script meter([&] {
    Bytes received;
    EXPECT_TRUE(farEnd_->readMessage(&received, kFarEndWaitMs));
    farEnd_->sendControl(CTRL_RESEND, 0);
    EXPECT_TRUE(farEnd_->readMessage(&again, kFarEndWaitMs));
  });
  EXPECT_EQ(sendMessage(message), 1) << record_.message;
  meter.join();
  EXPECT_EQ(again, message);
}

TEST_F(LinkTest, ResendRequestAtTheMessageLengthIsOutsideItsLimits) {
  open();
  Bytes message = sampleMessage(60);
  Script meter([&] {
    Bytes received;
    EXPECT_TRUE(farEnd_->readMessage(&received, kFarEndWaitMs));
    farEnd_->sendControl(CTRL_RESEND, 60);
  });
  EXPECT_EQ(sendMessage(message), 0);
  meter.join();
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.message, "\nRequested frame is outside message limits");
}

TEST_F(LinkTest, FifthResendRequestForTheSameFrameFails) {
  open();
  Bytes message = sampleMessage(1200);
  std::atomic<bool> done{false};
  Script meter([&] {
    int requests = 0;
    while (!done && requests < 5) {
      ReceivedFrame frame;
      if (!farEnd_->readFrame(&frame, 100)) continue;
      if (frame.data && frame.position != 0) {
        farEnd_->sendControl(CTRL_RESEND, 0);
        ++requests;
      }
    }
  });
  EXPECT_EQ(sendMessage(message), 0);
  done = true;
  meter.join();
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.message, "\nToo many re-transmissions of same frame");
}

TEST_F(LinkTest, EmptyMessagePutsNothingOnTheLine) {
  open();
  Bytes empty;
  record_.data = nullptr;
  record_.length = 0;
  EXPECT_EQ(SendData(&record_), 0);
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.source, "Port Driver");
  EXPECT_STREQ(record_.message, "No message data to send");
  Bytes some(10, 0x55);
  record_.data = some.data();
  record_.length = 0;
  EXPECT_EQ(SendData(&record_), 0);
  EXPECT_TRUE(farEnd_->staysQuiet(300));
}

}  // namespace
}  // namespace vb::link::test
