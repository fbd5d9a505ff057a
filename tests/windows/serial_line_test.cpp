// The Win32 serial line against a pseudo-terminal pair that Wine maps to
// COM5 and COM6: the behaviours the POSIX line's tests hold it to, here
// with the port's own time-outs; and the system's texts for a missing port
// and a missing module.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/clock.h"
#include "platform/devicemap.h"
#include "platform/dynlib.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace vb::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint32_t kGenerousMs = 5000;
constexpr int64_t kPurgeBoundMs = 500;
constexpr int kFileNotFound = 2;  // the system's code for a name nobody mapped

int64_t msSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
      .count();
}

class LinePairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(near_.open(comDevicePath(5))) << lastErrorText();
    ASSERT_TRUE(far_.open(comDevicePath(6))) << lastErrorText();
    for (SerialDevice* line : {&near_, &far_}) {
      ASSERT_TRUE(line->setSettings(SerialSettings{})) << lastErrorText();
      ASSERT_TRUE(line->purge()) << lastErrorText();
    }
  }

  void sendFromFarEnd(const std::string& bytes) {
    size_t written = 0;
    ASSERT_TRUE(far_.write(bytes.data(), bytes.size(), &written)) << lastErrorText();
    ASSERT_EQ(written, bytes.size());
  }

  void useTimeouts(uint32_t interval, uint32_t perByte, uint32_t constant) {
    SerialTimeouts timeouts;
    timeouts.readIntervalMs = interval;
    timeouts.readTotalPerByteMs = perByte;
    timeouts.readTotalConstantMs = constant;
    ASSERT_TRUE(near_.setTimeouts(timeouts)) << lastErrorText();
  }

  uint32_t queued() {
    uint32_t count = 0;
    EXPECT_TRUE(near_.bytesQueued(&count)) << lastErrorText();
    return count;
  }

  SerialDevice near_;
  SerialDevice far_;
};

TEST_F(LinePairTest, IntervalTimeOutReturnsWhatCame) {
  useTimeouts(100, 100, 0);
  sendFromFarEnd("abcd");
  char buffer[9] = {};
  size_t got = 0;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(near_.read(buffer, sizeof buffer, &got)) << lastErrorText();
  EXPECT_EQ(std::string(buffer, got), "abcd");
  EXPECT_LT(msSince(start), 800) << "waited for the total time-out instead";
}

TEST_F(LinePairTest, PurgeFromAnotherThreadEndsABlockedReadAtOnce) {
  useTimeouts(0, 0, 0);
  Event done(Event::Reset::Manual);
  bool ok = true;
  FailureKind failure = FailureKind::None;
  SteadyClock::time_point endedAt;
  Thread reader;
  ASSERT_TRUE(reader.start([&] {
    char buffer[9];
    size_t got = 0;
    ok = near_.read(buffer, sizeof buffer, &got);
    failure = lastFailure();
    endedAt = SteadyClock::now();
    done.set();
  }));
  // Once the reader has taken this byte it is certainly inside its read.
  sendFromFarEnd("x");
  const auto sent = SteadyClock::now();
  while (queued() != 0 && msSince(sent) < kGenerousMs) sleepMs(1);
  EXPECT_FALSE(done.wait(100)) << "the read ended before the purge";

  const auto purgedAt = SteadyClock::now();
  ASSERT_TRUE(near_.purge()) << lastErrorText();
  ASSERT_TRUE(done.wait(kGenerousMs)) << "purge did not end the read";
  ASSERT_TRUE(reader.joinFor(kGenerousMs));
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - purgedAt).count(),
            kPurgeBoundMs);
  EXPECT_FALSE(ok) << "a cancelled read was reported as success";
  EXPECT_EQ(failure, FailureKind::Cancelled);

  useTimeouts(0, 0, 2000);
  sendFromFarEnd("next");
  char buffer[4] = {};
  size_t got = 0;
  EXPECT_TRUE(near_.read(buffer, sizeof buffer, &got)) << lastErrorText();
  EXPECT_EQ(std::string(buffer, got), "next");
}

TEST(SystemTexts, MissingPortAndMissingModuleAreReportedWithTheSystemsText) {
  SerialDevice line;
  EXPECT_FALSE(line.open(comDevicePath(8)));
  EXPECT_EQ(lastErrorCode(), kFileNotFound);
  EXPECT_EQ(lastFailure(), FailureKind::Gone);
  EXPECT_NE(lastErrorText().find_first_not_of(' '), std::string::npos);
  EXPECT_EQ(lastErrorText().find("Unknown error"), std::string::npos) << lastErrorText();

  DynamicLibrary module;
  EXPECT_FALSE(module.open(moduleFileName("nonport")));
  EXPECT_EQ(module.error().rfind("nonport.dll: ", 0), 0u) << module.error();
  EXPECT_GT(module.error().size(), std::string("nonport.dll: ").size());
}

}  // namespace
}  // namespace vb::platform
