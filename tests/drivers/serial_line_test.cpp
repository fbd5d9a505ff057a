// The driver serial line on a real pseudo-terminal, in real time.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "driver_port.h"
#include "pad_driver.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "serial_line.h"

namespace vb::driver {
namespace {

// Generous bound for steps that must end long before their time-out.
constexpr uint64_t kWellBeforeMs = 4000;

class SerialLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.open());
    ASSERT_TRUE(master_.adopt(pty_.master()));
    ASSERT_EQ(1, AttachLine(port_, platform::fieldFromLine(pty_.slave())));
  }
  void TearDown() override {
    port_.line().release();
    master_.release();
  }
  void fromDevice(const std::string& bytes) {
    size_t written = 0;
    ASSERT_TRUE(master_.write(bytes.data(), bytes.size(), &written));
  }
  // Reads what the driver wrote, waiting up to a second for `count` bytes.
  std::string toDevice(size_t count) {
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstantMs = 1000;
    master_.setTimeouts(timeouts);
    std::string bytes(count, '\0');
    size_t got = 0;
    master_.read(bytes.data(), count, &got);
    bytes.resize(got);
    return bytes;
  }

  platform::PseudoTerminal pty_;
  platform::SerialDevice master_;
  DriverPort port_{pnetport::kPadDriver.line};
};

TEST(SerialLineWithoutDevice, ZeroCountReadReturnsAtOnce) {
  DriverPort port(pnetport::kPadDriver.line);
  uint32_t count = 0;
  EXPECT_EQ(1, ReadLine(port, nullptr, &count, 0));
  EXPECT_EQ(0u, count);
  EXPECT_EQ("", port.errorText());
  EXPECT_EQ(1, PurgeLine(port));
}

TEST_F(SerialLine, WriteReachesTheDevice) {
  const std::string command = "\x10" "CLR\r";
  EXPECT_EQ(1, WriteLine(port_, reinterpret_cast<const unsigned char*>(command.data()),
                         static_cast<uint32_t>(command.size())));
  EXPECT_EQ(command, toDevice(command.size()));
}

TEST_F(SerialLine, ReadEndsWhenTheCountHasCome) {
  fromDevice("0123456789");
  unsigned char buffer[10] = {};
  uint32_t count = 10;
  EXPECT_EQ(1, ReadLine(port_, buffer, &count, 0));
  EXPECT_EQ(10u, count);
  EXPECT_EQ("0123456789", std::string(reinterpret_cast<char*>(buffer), count));
}

TEST_F(SerialLine, ReadEndsAtTheFirstPassThatBringsNothing) {
  fromDevice("abcd");
  unsigned char buffer[10] = {};
  uint32_t count = 10;
  EXPECT_EQ(1, ReadLine(port_, buffer, &count, 200));
  EXPECT_EQ(4u, count);
  EXPECT_EQ("abcd", std::string(reinterpret_cast<char*>(buffer), count));
}

TEST_F(SerialLine, AbortFromAnotherThreadEndsAReadWithoutTimeLimit) {
  platform::Event finished(platform::Event::Reset::Manual);
  std::atomic<int> result{-1};
  unsigned char buffer[10] = {};
  uint32_t count = 10;
  platform::Thread reader;
  ASSERT_TRUE(reader.start([&] {
    result = ReadLine(port_, buffer, &count, 0);
    finished.set();
  }));
  // A purge only cancels a read already waiting, so abort until it ends.
  do {
    EXPECT_EQ(1, PurgeLine(port_));
  } while (!finished.wait(50));
  ASSERT_TRUE(reader.joinFor(5000));
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(10u, count);
  EXPECT_EQ(0u, port_.errorText().rfind("Read error: ", 0)) << port_.errorText();
  EXPECT_GT(port_.errorText().size(), std::string("Read error: ").size());
}

TEST_F(SerialLine, OneThreadReadsWhileAnotherWrites) {
  std::atomic<int> result{-1};
  unsigned char buffer[5] = {};
  uint32_t count = 5;
  platform::Thread reader;
  ASSERT_TRUE(reader.start([&] { result = ReadLine(port_, buffer, &count, 3000); }));
  const std::string outgoing = "ping";
  EXPECT_EQ(1, WriteLine(port_, reinterpret_cast<const unsigned char*>(outgoing.data()),
                         static_cast<uint32_t>(outgoing.size())));
  EXPECT_EQ(outgoing, toDevice(outgoing.size()));
  fromDevice("pong!");
  ASSERT_TRUE(reader.joinFor(5000));
  EXPECT_EQ(1, result.load());
  EXPECT_EQ("pong!", std::string(reinterpret_cast<char*>(buffer), count));
}

TEST_F(SerialLine, WriteThatCannotDrainFailsAsPending) {
  // Fill the line towards the device until it takes nothing more.
  platform::SerialDevice filler;
  ASSERT_TRUE(filler.adopt(pty_.slave()));
  platform::SerialTimeouts quick;
  quick.writeTotalConstantMs = 50;
  ASSERT_TRUE(filler.setTimeouts(quick));
  const std::string chunk(4096, 'x');
  size_t written = 0;
  for (int i = 0; i < 1024 && filler.write(chunk.data(), chunk.size(), &written); ++i) {
  }
  for (int i = 0; i < 4096 && filler.write(chunk.data(), 1, &written); ++i) {
  }
  filler.release();

  const unsigned char byte = 'z';
  EXPECT_EQ(0, WriteLine(port_, &byte, 1));
  EXPECT_EQ(0u, port_.errorText().rfind("Pending Write Failed: ", 0)) << port_.errorText();
}

TEST_F(SerialLine, WaitForInputReturnsOnceTheReplyStopsGrowing) {
  fromDevice("\r\nOK\r\n");
  const uint64_t began = platform::realClock().nowMs();
  EXPECT_EQ(6u, WaitForInput(port_, 5000, 100));
  EXPECT_LT(platform::realClock().nowMs() - began, kWellBeforeMs);
}

TEST_F(SerialLine, WaitForInputReturnsZeroWhenNothingComes) {
  EXPECT_EQ(0u, WaitForInput(port_, 300, 100));
}

TEST_F(SerialLine, WaitForInputPollsOnceWhenTheTotalIsNotAboveTheInterval) {
  fromDevice("abc");
  for (uint32_t total : {100u, 50u}) {
    EXPECT_EQ(3u, WaitForInput(port_, total, 100));
  }
  // A zero interval also means a single poll.
  EXPECT_EQ(3u, WaitForInput(port_, 100, 0));
}

}  // namespace
}  // namespace vb::driver
