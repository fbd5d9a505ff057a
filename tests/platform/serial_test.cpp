// The serial device over real pseudo-terminal pairs: read and write
// time-outs, purge, queued bytes, settings, exclusive open, hang-ups.
#include "platform/serial.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/pty.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace vb::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint32_t kGenerousMs = 5000;
// A cancelled read or write must end well within this (the aim is 50 ms).
constexpr int64_t kPurgeBoundMs = 500;

int64_t msSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
      .count();
}

// Repeats check until it holds or a generous time has passed; for states
// that nothing signals (the kernel moving bytes between the two sides).
template <typename Check>
bool becomes(Check check) {
  const auto start = SteadyClock::now();
  while (!check()) {
    if (msSince(start) > kGenerousMs) return false;
    std::this_thread::yield();
  }
  return true;
}

class SerialDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.open()) << lastErrorText();
    ASSERT_TRUE(device_.open(pty_.slavePath())) << lastErrorText();
  }

  // Sends bytes to the device as the far end does.
  void sendFromFarEnd(const std::string& bytes) {
    ASSERT_EQ(::write(fieldFromLine(pty_.master()), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  uint32_t queued() {
    uint32_t count = 0;
    EXPECT_TRUE(device_.bytesQueued(&count)) << lastErrorText();
    return count;
  }

  void useTimeouts(uint32_t interval, uint32_t perByte, uint32_t constant) {
    SerialTimeouts timeouts;
    timeouts.readIntervalMs = interval;
    timeouts.readTotalPerByteMs = perByte;
    timeouts.readTotalConstantMs = constant;
    ASSERT_TRUE(device_.setTimeouts(timeouts));
  }

  PseudoTerminal pty_;
  SerialDevice device_;
};

// A read running on its own thread, reporting its outcome.
struct BackgroundRead {
  SerialDevice* device = nullptr;
  Thread thread;
  Event done{Event::Reset::Manual};
  char buffer[64] = {};
  size_t got = 0;
  bool ok = false;
  FailureKind error = FailureKind::None;
  SteadyClock::time_point endedAt;

  // A read left running by a failed check is purged so that it does not
  // outlive this object.
  ~BackgroundRead() {
    if (device != nullptr && !thread.joinFor(0)) {
      device->purge();
      thread.joinFor(kGenerousMs);
    }
  }

  void start(SerialDevice& reading, size_t count) {
    device = &reading;
    ASSERT_TRUE(thread.start([this, count] {
      ok = device->read(buffer, count, &got);
      error = lastFailure();
      endedAt = SteadyClock::now();
      done.set();
    }));
  }
};

TEST_F(SerialDeviceTest, IntervalTimeOutEndsPartialRead) {
  useTimeouts(100, 100, 0);
  sendFromFarEnd("abcd");
  char buffer[9] = {};
  size_t got = 0;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(device_.read(buffer, sizeof buffer, &got)) << lastErrorText();
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, got), "abcd");
  EXPECT_GE(msSince(start), 95) << "ended before the line was quiet for the interval";
  EXPECT_LT(msSince(start), 800) << "waited for the total time-out instead";
}

TEST_F(SerialDeviceTest, TotalTimeOutWithNothingArrivingReturnsNone) {
  useTimeouts(0, 0, 150);
  char buffer[4] = {};
  size_t got = 99;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(device_.read(buffer, sizeof buffer, &got)) << lastErrorText();
  EXPECT_EQ(got, 0u);
  EXPECT_GE(msSince(start), 145);
  EXPECT_LT(msSince(start), 2000);
}

TEST_F(SerialDeviceTest, TotalTimeOutCountsPerRequestedByte) {
  useTimeouts(0, 40, 20);
  char buffer[4] = {};
  size_t got = 0;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(device_.read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(msSince(start), 4 * 40 + 20 - 5);
}

TEST_F(SerialDeviceTest, WithoutTimeOutsReadWaitsForFullCount) {
  useTimeouts(0, 0, 0);
  BackgroundRead reader;
  reader.start(device_, 6);
  sendFromFarEnd("abc");
  EXPECT_FALSE(reader.done.wait(150)) << "returned with only part of the count";
  sendFromFarEnd("def");
  ASSERT_TRUE(reader.done.wait(kGenerousMs));
  ASSERT_TRUE(reader.thread.joinFor(kGenerousMs));
  EXPECT_TRUE(reader.ok);
  EXPECT_EQ(std::string(reader.buffer, reader.got), "abcdef");
}

TEST_F(SerialDeviceTest, PurgeEndsBlockedReadPromptlyAndNextReadWorks) {
  useTimeouts(0, 0, 0);
  // Once the reader has taken this byte it is certainly inside its read.
  sendFromFarEnd("x");
  ASSERT_TRUE(becomes([&] { return queued() == 1; }));
  BackgroundRead reader;
  reader.start(device_, 9);
  ASSERT_TRUE(becomes([&] { return queued() == 0; }));

  const auto purgedAt = SteadyClock::now();
  EXPECT_TRUE(device_.purge()) << lastErrorText();
  ASSERT_TRUE(reader.done.wait(kGenerousMs)) << "purge did not end the read";
  ASSERT_TRUE(reader.thread.joinFor(kGenerousMs));
  const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          reader.endedAt - purgedAt)
                          .count();
  RecordProperty("purgeToReadEndMs", static_cast<int>(tookMs));
  EXPECT_LT(tookMs, kPurgeBoundMs);
  EXPECT_FALSE(reader.ok) << "a cancelled read was reported as success";
  EXPECT_EQ(reader.error, FailureKind::Cancelled);
  EXPECT_EQ(reader.got, 1u) << "the byte that had come is reported";

  useTimeouts(0, 0, 2000);
  sendFromFarEnd("next");
  char buffer[4] = {};
  size_t got = 0;
  EXPECT_TRUE(device_.read(buffer, sizeof buffer, &got)) << lastErrorText();
  EXPECT_EQ(std::string(buffer, got), "next");
}

TEST_F(SerialDeviceTest, PurgeWithNobodyWaitingLeavesLaterReadsAlone) {
  ASSERT_TRUE(device_.purge());
  ASSERT_TRUE(device_.purge());
  useTimeouts(0, 0, 2000);
  for (const std::string message : {"one", "two"}) {
    sendFromFarEnd(message);
    char buffer[3] = {};
    size_t got = 0;
    EXPECT_TRUE(device_.read(buffer, sizeof buffer, &got)) << lastErrorText();
    EXPECT_EQ(std::string(buffer, got), message);
  }
}

TEST_F(SerialDeviceTest, PurgeDiscardsQueuedInput) {
  sendFromFarEnd("stale");
  ASSERT_TRUE(becomes([&] { return queued() == 5; }));
  ASSERT_TRUE(device_.purge());
  EXPECT_EQ(queued(), 0u);
  useTimeouts(0, 0, 50);
  char buffer[5] = {};
  size_t got = 99;
  EXPECT_TRUE(device_.read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
}

TEST_F(SerialDeviceTest, ZeroCountReadReturnsAtOnce) {
  useTimeouts(0, 0, 0);
  size_t got = 99;
  char buffer[1];
  EXPECT_TRUE(device_.read(buffer, 0, &got));
  EXPECT_EQ(got, 0u);
}

TEST_F(SerialDeviceTest, WriteToPeerThatNeverReadsTimesOut) {
  SerialTimeouts timeouts;
  timeouts.writeTotalConstantMs = 150;
  ASSERT_TRUE(device_.setTimeouts(timeouts));
  const std::vector<char> block(1 << 20, 'w');
  size_t written = 0;
  const auto start = SteadyClock::now();
  EXPECT_FALSE(device_.write(block.data(), block.size(), &written));
  EXPECT_EQ(lastFailure(), FailureKind::TimedOut);
  EXPECT_LT(written, block.size());
  EXPECT_GE(msSince(start), 145);
  EXPECT_LT(msSince(start), 3000);
}

TEST_F(SerialDeviceTest, PurgeEndsBlockedWrite) {
  SerialDevice farEnd;
  ASSERT_TRUE(farEnd.adopt(pty_.master()));
  const std::vector<char> block(1 << 20, 'w');
  std::atomic<bool> ok{true};
  std::atomic<FailureKind> error{FailureKind::None};
  Event done(Event::Reset::Manual);
  Thread writer;
  ASSERT_TRUE(writer.start([&] {
    size_t written = 0;
    ok = device_.write(block.data(), block.size(), &written);
    error = lastFailure();
    done.set();
  }));
  // Bytes at the far end mean the write has begun; a megabyte cannot fit.
  ASSERT_TRUE(becomes([&] {
    uint32_t count = 0;
    return farEnd.bytesQueued(&count) && count > 0;
  }));
  const auto purgedAt = SteadyClock::now();
  device_.purge();
  ASSERT_TRUE(done.wait(kGenerousMs)) << "purge did not end the write";
  EXPECT_LT(msSince(purgedAt), kPurgeBoundMs);
  ASSERT_TRUE(writer.joinFor(kGenerousMs));
  EXPECT_FALSE(ok.load());
  EXPECT_EQ(error.load(), FailureKind::Cancelled);
}

TEST_F(SerialDeviceTest, ReadAndWriteRunTogether) {
  SerialDevice farEnd;
  ASSERT_TRUE(farEnd.adopt(pty_.master()));
  useTimeouts(0, 0, kGenerousMs);
  BackgroundRead reader;
  reader.start(device_, 8);
  const std::string outgoing = "to-meter";
  Thread writer;
  std::atomic<bool> wrote{false};
  ASSERT_TRUE(writer.start([&] {
    size_t written = 0;
    wrote = device_.write(outgoing.data(), outgoing.size(), &written);
  }));
  sendFromFarEnd("to-host!");
  ASSERT_TRUE(reader.done.wait(kGenerousMs));
  ASSERT_TRUE(writer.joinFor(kGenerousMs));
  ASSERT_TRUE(reader.thread.joinFor(kGenerousMs));
  EXPECT_TRUE(wrote.load());
  EXPECT_EQ(std::string(reader.buffer, reader.got), "to-host!");

  SerialTimeouts farTimeouts;
  farTimeouts.readTotalConstantMs = kGenerousMs;
  ASSERT_TRUE(farEnd.setTimeouts(farTimeouts));
  char arrived[8] = {};
  size_t got = 0;
  EXPECT_TRUE(farEnd.read(arrived, sizeof arrived, &got));
  EXPECT_EQ(std::string(arrived, got), outgoing);
}

TEST_F(SerialDeviceTest, ReadFailsWhenFarEndHasGone) {
  useTimeouts(0, 0, 0);
  pty_.close();
  BackgroundRead reader;
  reader.start(device_, 4);
  ASSERT_TRUE(reader.done.wait(kGenerousMs)) << "read kept waiting on a dead line";
  ASSERT_TRUE(reader.thread.joinFor(kGenerousMs));
  EXPECT_FALSE(reader.ok);
  EXPECT_EQ(reader.error, FailureKind::Gone);
}

TEST_F(SerialDeviceTest, SecondOpenIsRefusedUntilFirstCloses) {
  SerialDevice second;
  EXPECT_FALSE(second.open(pty_.slavePath()));
  EXPECT_EQ(lastErrorCode(), EBUSY);
  device_.close();
  EXPECT_TRUE(second.open(pty_.slavePath())) << lastErrorText();
}

TEST(SerialDevice, MissingDeviceFailsWithSystemText) {
  SerialDevice device;
  EXPECT_FALSE(device.open("/dev/vantbrook-no-such-line"));
  EXPECT_FALSE(device.isOpen());
  EXPECT_EQ(lastErrorText(), "No such file or directory");
}

struct SettingsCase {
  uint32_t baud;
  uint8_t dataBits;
  Parity parity;
  uint8_t stopBits;
};

TEST_F(SerialDeviceTest, SettingsRoundTrip) {
  const SettingsCase cases[] = {
      {4800, 8, Parity::None, 1},
      {9600, 7, Parity::Even, 1},
      {1200, 7, Parity::Odd, 2},
      {115200, 8, Parity::None, 1},
  };
  for (const SettingsCase& c : cases) {
    SerialSettings wanted;
    wanted.baud = c.baud;
    wanted.dataBits = c.dataBits;
    wanted.parity = c.parity;
    wanted.stopBits = c.stopBits;
    ASSERT_TRUE(device_.setSettings(wanted)) << c.baud << " " << lastErrorText();
    SerialSettings applied;
    ASSERT_TRUE(device_.getSettings(&applied));
    // A pseudo-terminal always carries 8 bits without parity, whatever is
    // asked; the rate and the stop bits are kept.
    EXPECT_EQ(applied.baud, c.baud);
    EXPECT_EQ(applied.stopBits, c.stopBits);
  }
}

TEST_F(SerialDeviceTest, UnsupportedSettingsRefusedCleanly) {
  const SettingsCase cases[] = {
      {12345, 8, Parity::None, 1},
      {9600, 9, Parity::None, 1},
      {9600, 8, Parity::None, 3},
  };
  for (const SettingsCase& c : cases) {
    SerialSettings wanted;
    wanted.baud = c.baud;
    wanted.dataBits = c.dataBits;
    wanted.stopBits = c.stopBits;
    EXPECT_FALSE(device_.setSettings(wanted));
    EXPECT_EQ(lastErrorCode(), EINVAL);
  }
}

TEST_F(SerialDeviceTest, RawModeCarriesEveryByteUnchanged) {
  ASSERT_TRUE(device_.setSettings(SerialSettings{}));
  useTimeouts(0, 0, kGenerousMs);
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  sendFromFarEnd(all);
  std::vector<char> buffer(all.size());
  size_t got = 0;
  ASSERT_TRUE(device_.read(buffer.data(), buffer.size(), &got));
  EXPECT_EQ(std::string(buffer.data(), got), all);
}

TEST(SerialDevice, AdoptedDescriptorIsLeftOpenWithItsFlags) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.open());
  const int flagsBefore = fcntl(fieldFromLine(pty.slave()), F_GETFL);
  {
    SerialDevice device;
    ASSERT_TRUE(device.adopt(pty.slave()));
    EXPECT_FALSE(device.ownsLine());
    EXPECT_TRUE(device.purge());
  }
  EXPECT_EQ(fcntl(fieldFromLine(pty.slave()), F_GETFL), flagsBefore);
}

}  // namespace
}  // namespace vb::platform
