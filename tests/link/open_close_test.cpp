// Opening and closing links: the wake-up text, port choice, adopted lines,
// closed and stale records, prompt closing and clean-up over many cycles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame.h"
#include "link_fixture.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/thread.h"

namespace vb::link::test {
namespace {

// Sanitizers hold freed memory back and keep shadow memory, so resident
// size says nothing under them; their own leak check stands in.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeIsMeaningful = false;
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif

class ComProtocolTest : public LinkTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ComProtocolTest, OpensTheBuiltInPortAndSendsTheWakeupText) {
  record_ = makeRecord(GetParam());
  ASSERT_EQ(OpenPort(&record_), 1) << record_.message;
  EXPECT_NE(record_.link, -1);
  EXPECT_EQ(record_.error_code, LINK_OK);
  EXPECT_STREQ(record_.source, "Brisel");
  EXPECT_EQ(GetResumePoint(&record_), 0u);
  const Bytes wakeup = farEnd_->readRaw(34, kFarEndWaitMs);
  EXPECT_EQ(std::string(wakeup.begin(), wakeup.end()), "Vey Automation: Merrowtide wakeup\r");
  EXPECT_TRUE(farEnd_->staysQuiet(200));
}

INSTANTIATE_TEST_SUITE_P(Link, ComProtocolTest, ::testing::Values("COM3", "com3", "cOm3"));

struct OpenFailureCase {
  const char* name;
  const char* protocol;
  const char* messagePrefix;
};

void PrintTo(const OpenFailureCase& c, std::ostream* out) { *out << c.name; }

class OpenFailureTest : public LinkTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, FailsWithThePortsTextAndLeavesTheLinkClosed) {
  ASSERT_TRUE(platform::setComDevicePath(4, "/nonexistent/vantbrook-tty"));
  record_ = makeRecord(GetParam().protocol);
  EXPECT_EQ(OpenPort(&record_), 0);
  EXPECT_EQ(record_.link, -1);
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.source, "Port Driver");
  const std::string prefix = GetParam().messagePrefix;
  EXPECT_EQ(std::string(record_.message).substr(0, prefix.size()), prefix) << record_.message;
}

INSTANTIATE_TEST_SUITE_P(Link, OpenFailureTest,
                         ::testing::Values(OpenFailureCase{"PortNineIsNotRecognised", "COM9",
                                                           "Port number not recognised"},
                                           OpenFailureCase{"LetterIsNotRecognised", "COMx",
                                                           "Port number not recognised"},
                                           OpenFailureCase{"MissingDeviceHasSystemText", "COM4",
                                                           "Failed to open port : No such file"}),
                         [](const ::testing::TestParamInfo<OpenFailureCase>& info) {
                           return info.param.name;
                         });

TEST_F(LinkTest, AdoptedLineLoadsNoDriverAndStaysOpenAfterClose) {
  // A driver code that names no module: only the built-in port can serve.
  record_ = makeRecord("zzzz");
  record_.port_handle = platform::fieldFromLine(pty_.slave());
  open();
  Bytes message = sampleMessage(50);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  Bytes buffer(100, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_EQ(ClosePort(&record_), 1);
  EXPECT_EQ(record_.link, -1);

  platform::SerialDevice line;
  ASSERT_TRUE(line.adopt(pty_.slave()));
  const uint8_t probe[] = {0x42};
  size_t written = 0;
  ASSERT_TRUE(line.write(probe, 1, &written));
  EXPECT_EQ(farEnd_->readRaw(1, kFarEndWaitMs), Bytes{0x42});
}

// Every export on a record whose link is not open returns at once with its
// closed result and leaves the record as it was.
TEST_F(LinkTest, ExportsRefuseClosedStaleAndUnknownLinks) {
  LinkRecord opened = makeRecord();
  ASSERT_EQ(OpenPort(&opened), 1);
  const int32_t stale = opened.link;
  ASSERT_EQ(ClosePort(&opened), 1);

  for (const int32_t handle : {-1, stale, 0x12345, 0}) {
    SCOPED_TRACE(handle);
    Bytes buffer(10, 0);
    LinkRecord record = makeRecord();
    record.link = handle;
    record.data = buffer.data();
    record.length = 10;
    LinkRecord before;
    std::memcpy(&before, &record, sizeof(record));
    EXPECT_EQ(ClosePort(&record), 0);
    EXPECT_EQ(SendData(&record), 0);
    EXPECT_EQ(RecvData(&record), 0);
    EXPECT_EQ(GetMsgLength(&record), 0u);
    EXPECT_EQ(SetMsgLength(&record, 5), 0);
    EXPECT_EQ(SetStartPoint(&record, 5), 0);
    EXPECT_EQ(GetResumePoint(&record), 0xFFFFFFFFu);
    EXPECT_EQ(std::memcmp(&before, &record, sizeof(record)), 0);
  }
}

TEST_F(LinkTest, MessageLengthAndStartPointAreKeptPerLink) {
  open();
  EXPECT_EQ(SetMsgLength(&record_, 4321), 1);
  EXPECT_EQ(GetMsgLength(&record_), 4321u);
  EXPECT_EQ(SetStartPoint(&record_, 100), 1);
}

TEST_F(LinkTest, CloseOnASilentLineReturnsPromptly) {
  // A long frame time-out: each of the receiver's header reads would wait
  // almost 7 s if closing did not cancel it.
  record_.frame_timeout_ms = 60000;
  open();
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(ClosePort(&record_), 1);
  EXPECT_LT(platform::nowMs() - started, 4000u);
  EXPECT_EQ(record_.error_code, LINK_OK);
  EXPECT_STREQ(record_.source, "Brisel");
}

TEST_F(LinkTest, CloseRightAfterOpenReturnsPromptlyWhereverTheReceiverIs) {
  // Closing may come while the receiver thread is between two reads; a read
  // begun after the abort would wait almost 7 s. Several cycles, as the
  // receiver is in a different place each time.
  record_.frame_timeout_ms = 60000;
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(OpenPort(&record_), 1) << record_.message;
    const uint64_t started = platform::nowMs();
    EXPECT_EQ(ClosePort(&record_), 1);
    EXPECT_LT(platform::nowMs() - started, 3000u);
  }
}

TEST_F(LinkTest, CloseOfAnAdoptedLineReturnsWithinOneReadWait) {
  record_.frame_timeout_ms = 20000;
  record_.port_handle = platform::fieldFromLine(pty_.slave());
  open();
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(ClosePort(&record_), 1);
  EXPECT_LT(platform::nowMs() - started, 6000u);
}

TEST_F(LinkTest, CommandAndLongReplyRoundTrip) {
  open();
  Bytes command = sampleMessage(10, 1);
  const Bytes reply = sampleMessage(5000, 2);
  Script meter([&] {
    Bytes received;
    EXPECT_TRUE(farEnd_->readMessage(&received, kFarEndWaitMs));
    EXPECT_EQ(received, command);
    farEnd_->sendControl(CTRL_ACK);
    farEnd_->sendMessage(reply);
  });
  EXPECT_EQ(sendMessage(command), 1) << record_.message;
  Bytes buffer(6000, 0);
  EXPECT_EQ(receive(buffer), 1) << record_.message;
  meter.join();
  EXPECT_EQ(record_.length, 5000u);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
  EXPECT_EQ(ClosePort(&record_), 1);
  EXPECT_EQ(record_.error_code, LINK_OK);
}

TEST_F(LinkTest, FiftyOpenCloseCyclesLeaveNothingBehind) {
  // One cycle first, so that lazily created process state is counted.
  LinkRecord record = makeRecord();
  ASSERT_EQ(OpenPort(&record), 1);
  ASSERT_EQ(farEnd_->readRaw(34, kFarEndWaitMs).size(), 34u);
  ASSERT_EQ(ClosePort(&record), 1);
  const int descriptors = platform::processOpenDescriptorCount();
  const int threads = platform::processThreadCount();
  const long residentKb = platform::processResidentKilobytes();
  for (int i = 0; i < 50; ++i) {
    record = makeRecord();
    ASSERT_EQ(OpenPort(&record), 1) << record.message;
    // The meter takes each wake-up text off the line, so that it never fills.
    ASSERT_EQ(farEnd_->readRaw(34, kFarEndWaitMs).size(), 34u);
    ASSERT_EQ(ClosePort(&record), 1) << record.message;
  }
  EXPECT_EQ(platform::processOpenDescriptorCount(), descriptors);
  EXPECT_EQ(platform::processThreadCount(), threads);
  // Fifty links of 100 kB each would show; allocator noise does not.
  if (kResidentSizeIsMeaningful) {
    EXPECT_LT(platform::processResidentKilobytes() - residentKb, 4000);
  }
}

}  // namespace
}  // namespace vb::link::test
