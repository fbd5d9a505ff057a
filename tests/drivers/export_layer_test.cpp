// The nine exports over the export layer, with each driver's definition,
// against a scripted PAD or modem on COM1 in virtual time.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "driver_exports.h"
#include "line_constants.h"
#include "modem_driver.h"
#include "pad_driver.h"
#include "platform/devicemap.h"
#include "platform/thread.h"
#include "scripted_device.h"
#include "serial_line.h"

namespace vb::drivertest {
namespace {

namespace exports = driver::exports;
using pnetport::kPadDriver;
using dialport::kModemDriver;

const std::string kClear = "\x10" "CLR\r";
const std::string kCall = "1234\r";
const std::string kHangUp = "ATH\r";
const std::string kDial = "ATD0123\r";

std::vector<ScriptStep> padConnects() {
  return {replyTo(kClear, "\r\n*"), replyTo(kCall, "1234\r\n"), replyAfter(500, "\r\nCOM 1234\r\n")};
}
std::vector<ScriptStep> padClears() { return {replyTo(kClear, "\r\n*")}; }
std::vector<ScriptStep> modemConnects() {
  return {replyTo(kHangUp, "\r\nOK\r\n"), replyTo(kDial, "\r\nCONNECT 9600\r\n")};
}

class ExportsOnCom1 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.start());
    ASSERT_TRUE(platform::setComDevicePath(1, device_.slavePath()));
  }
  void expectSlaveSpeed(uint32_t baud) {
    platform::SerialSettings settings;
    ASSERT_TRUE(device_.slaveSettings(&settings));
    EXPECT_EQ(baud, settings.baud);
    EXPECT_EQ(1, settings.stopBits);
  }
  // The whole open and close of a modem, ending with the given bytes.
  void expectSentEndsWith(const std::string& ending) {
    const std::string open = "ATV1\rATS9=10\rATS10=100\r+++ATH\r" + kDial;
    const std::string sent = device_.sent(open.size() + 3 + kHangUp.size());
    ASSERT_GE(sent.size(), ending.size());
    EXPECT_EQ(ending, sent.substr(sent.size() - ending.size()));
  }
  ScriptedDevice device_;
};

TEST(DriverExports, PortNumbersOutsideOneToEightAreRefusedWithoutADevice) {
  for (int32_t portNumber : {0, 9, 0x10000, 0x10009, -1}) {
    SCOPED_TRACE(portNumber);
    int32_t slot = -1;
    EXPECT_EQ(0, exports::OpenPort(kPadDriver, &slot, portNumber, "1234"));
    ASSERT_NE(-1, slot);
    EXPECT_STREQ("Port number not recognised", exports::GetPortError(slot));
    EXPECT_EQ(-1, exports::GetPortHandle(slot));
    EXPECT_EQ(1, exports::Abort(slot));
    EXPECT_EQ(1, exports::ClosePort(kPadDriver, slot));
    // Gone: the handle is refused from now on.
    EXPECT_EQ(0, exports::ClosePort(kPadDriver, slot));
    EXPECT_STREQ(driver::kUnknownPortHandle, exports::GetPortError(slot));
  }
}

TEST(DriverExports, NoneAndUnknownHandlesAreRefused) {
  EXPECT_EQ(-1, exports::GetPortHandle(-1));
  EXPECT_EQ(-1, exports::ReleaseConnection(kModemDriver, -1));
  for (int32_t handle : {-1, 0, 3, 12345}) {
    SCOPED_TRACE(handle);
    unsigned char buffer[4] = {};
    uint32_t count = sizeof buffer;
    EXPECT_STREQ(driver::kUnknownPortHandle, exports::GetPortError(handle));
    EXPECT_EQ(0, exports::SendData(handle, buffer, sizeof buffer));
    EXPECT_EQ(0, exports::ReceiveData(handle, buffer, &count, 10));
    EXPECT_EQ(0, exports::Abort(handle));
    EXPECT_EQ(0, exports::ClosePort(kPadDriver, handle));
    EXPECT_EQ(-1, exports::ReleaseConnection(kPadDriver, handle));
  }
}

TEST(DriverExports, DeviceThatCannotBeOpenedIsReportedWithTheSystemText) {
  ASSERT_TRUE(platform::setComDevicePath(2, "/nonexistent/vantbrook-tty"));
  int32_t slot = -1;
  EXPECT_EQ(0, exports::OpenPort(kModemDriver, &slot, 2, "0123"));
  const std::string text = exports::GetPortError(slot);
  EXPECT_EQ(0u, text.rfind("Failed to open port: ", 0)) << text;
  EXPECT_GT(text.size(), std::strlen("Failed to open port: "));
  EXPECT_EQ(1, exports::ClosePort(kModemDriver, slot));
}

TEST(DriverExports, OpenPortWithSettingsOnlyOpensNewLines) {
  int32_t slot = 7;
  EXPECT_EQ(0, exports::OpenPortWithSettings(kPadDriver, &slot, 1, "1234", 2400, 1));
  EXPECT_EQ(7, slot);
  EXPECT_EQ(0, exports::OpenPortWithSettings(kPadDriver, nullptr, 1, "1234", 2400, 1));
  EXPECT_EQ(0, exports::OpenPort(kPadDriver, nullptr, 1, "1234"));
}

TEST_F(ExportsOnCom1, OnlyTheLow16BitsOfThePortNumberCount) {
  device_.script(padConnects());
  int32_t slot = -1;
  ASSERT_EQ(1, exports::OpenPort(kPadDriver, &slot, 0x10001, "1234"));
  EXPECT_GE(exports::GetPortHandle(slot), 0);
  expectSlaveSpeed(4800);
  // Closing clears the call.
  device_.script(padClears());
  EXPECT_EQ(1, exports::ClosePort(kPadDriver, slot));
  EXPECT_EQ(kClear + kCall + kClear, device_.sent((kClear + kCall + kClear).size()));
}

TEST_F(ExportsOnCom1, FailedOpenIsClearedOnceMoreByClosePort) {
  device_.script({replyTo(kClear, "CLR ERR")});
  int32_t slot = -1;
  EXPECT_EQ(0, exports::OpenPort(kPadDriver, &slot, 1, "1234"));
  EXPECT_STREQ("CLR ERR", exports::GetPortError(slot));
  device_.script(padClears());
  EXPECT_EQ(1, exports::ClosePort(kPadDriver, slot));
  EXPECT_EQ(kClear + kClear, device_.sent(2 * kClear.size()));
}

TEST(LineFormat, LowByteOfTheFrameFormatCodeChoosesDataBitsAndParity) {
  struct FormatCase {
    int32_t code;
    uint8_t dataBits;
    platform::Parity parity;
  };
  for (const FormatCase& c : {FormatCase{1, 7, platform::Parity::Odd},
                              FormatCase{0x101, 7, platform::Parity::Odd},
                              FormatCase{2, 7, platform::Parity::Even},
                              FormatCase{0x7FFFFF02, 7, platform::Parity::Even},
                              FormatCase{0x103, 8, platform::Parity::None},
                              FormatCase{3, 8, platform::Parity::None},
                              FormatCase{0, 8, platform::Parity::None},
                              FormatCase{-1, 8, platform::Parity::None}}) {
    SCOPED_TRACE(c.code);
    const driver::LineFormat format = driver::LineFormatFor(2400, c.code);
    EXPECT_EQ(2400u, format.baud);
    EXPECT_EQ(c.dataBits, format.dataBits);
    EXPECT_EQ(c.parity, format.parity);
  }
}

// A pseudo-terminal always reports 8 data bits without parity, so only the
// speed shows on the device.
TEST_F(ExportsOnCom1, OpenPortWithSettingsWritesTheBaudRateUnchanged) {
  for (uint32_t baud : {1200u, 2400u, 19200u}) {
    SCOPED_TRACE(baud);
    device_.script(padConnects());
    int32_t slot = -1;
    EXPECT_EQ(1, exports::OpenPortWithSettings(kPadDriver, &slot, 1, "1234", baud, 0x101));
    expectSlaveSpeed(baud);
    device_.script(padClears());
    EXPECT_EQ(1, exports::ClosePort(kPadDriver, slot));
  }
}

TEST_F(ExportsOnCom1, BaudRateTheDeviceCannotTakeFailsTheOpen) {
  int32_t slot = -1;
  EXPECT_EQ(0, exports::OpenPortWithSettings(kPadDriver, &slot, 1, "1234", 12345, 0));
  EXPECT_EQ(0u, std::string(exports::GetPortError(slot)).rfind("Unable to set port parameters. ", 0))
      << exports::GetPortError(slot);
  device_.script(padClears());
  EXPECT_EQ(1, exports::ClosePort(kPadDriver, slot));
}

TEST_F(ExportsOnCom1, ReleasedLineCarriesANewCallWithoutReconfiguring) {
  const int descriptorsBefore = platform::processOpenDescriptorCount();
  device_.script(padConnects());
  int32_t slot = -1;
  ASSERT_EQ(1, exports::OpenPortWithSettings(kPadDriver, &slot, 1, "1234", 2400, 2));
  const int32_t line = exports::GetPortHandle(slot);
  ASSERT_GE(line, 0);

  device_.script(padClears());
  EXPECT_EQ(line, exports::ReleaseConnection(kPadDriver, slot));
  EXPECT_EQ(-1, exports::GetPortHandle(slot));
  EXPECT_STREQ(driver::kUnknownPortHandle, exports::GetPortError(slot));

  // The port number is ignored when the slot holds a line.
  device_.script(padConnects());
  int32_t again = line;
  ASSERT_EQ(1, exports::OpenPort(kPadDriver, &again, 42, "1234"));
  EXPECT_NE(line, again);
  EXPECT_EQ(line, exports::GetPortHandle(again));
  expectSlaveSpeed(2400);
  const std::string twoCalls = kClear + kCall + kClear + kClear + kCall;
  EXPECT_EQ(twoCalls, device_.sent(twoCalls.size()));

  // ClosePort closes the line it took over.
  device_.script(padClears());
  EXPECT_EQ(1, exports::ClosePort(kPadDriver, again));
  EXPECT_EQ(descriptorsBefore, platform::processOpenDescriptorCount());
}

TEST_F(ExportsOnCom1, DataFlowsBothWaysOnAConnectedCall) {
  device_.script(padConnects());
  int32_t slot = -1;
  ASSERT_EQ(1, exports::OpenPort(kPadDriver, &slot, 1, "1234"));
  const std::string message = "\x02hello";
  EXPECT_EQ(1, exports::SendData(slot, reinterpret_cast<const unsigned char*>(message.data()),
                                 static_cast<uint32_t>(message.size())));
  EXPECT_EQ(kClear + kCall + message, device_.sent((kClear + kCall + message).size()));

  device_.inject("answer");
  unsigned char buffer[16] = {};
  uint32_t count = 6;
  EXPECT_EQ(1, exports::ReceiveData(slot, buffer, &count, 1000));
  EXPECT_EQ(6u, count);
  EXPECT_EQ("answer", std::string(reinterpret_cast<char*>(buffer), count));

  // Missing buffers are refused, not dereferenced.
  EXPECT_EQ(0, exports::SendData(slot, nullptr, 3));
  EXPECT_STREQ(driver::kNoDataBuffer, exports::GetPortError(slot));
  EXPECT_EQ(0, exports::ReceiveData(slot, buffer, nullptr, 10));
  count = 4;
  EXPECT_EQ(0, exports::ReceiveData(slot, nullptr, &count, 10));

  device_.script(padClears());
  EXPECT_EQ(1, exports::ClosePort(kPadDriver, slot));
}

TEST_F(ExportsOnCom1, ModemOpensAtItsDefaultSpeedAndHangsUpOnClose) {
  device_.script(modemConnects());
  int32_t slot = -1;
  ASSERT_EQ(1, exports::OpenPort(kModemDriver, &slot, 1, "0123"));
  expectSlaveSpeed(9600);
  device_.script({replyTo(kHangUp, "\r\nOK\r\n")});
  EXPECT_EQ(1, exports::ClosePort(kModemDriver, slot));
  expectSentEndsWith(kDial + "+++" + kHangUp);
}

TEST_F(ExportsOnCom1, BusyModemFailsTheOpenAndIsHungUpOnClose) {
  device_.script({replyTo(kHangUp, "\r\nOK\r\n"), replyTo(kDial, "\r\nBUSY\r\n")});
  int32_t slot = -1;
  EXPECT_EQ(0, exports::OpenPort(kModemDriver, &slot, 1, "0123"));
  EXPECT_STREQ("BUSY", exports::GetPortError(slot));
  device_.script({});
  EXPECT_EQ(1, exports::ClosePort(kModemDriver, slot));
  expectSentEndsWith(kDial + "+++" + kHangUp);
}

// Abort while the call is set up, played at a point of the script as the
// link's watch thread would call it: the open ends with the pause or wait it
// is in, sends nothing more and fails; ClosePort then clears the call with
// its full pauses (the modem's escape guard times).
struct AbortedSetUpCase {
  const char* name;
  const driver::DriverDefinition* driver;
  std::vector<ScriptStep> beforeAbort;
  // The Abort comes this long after the driver sent the trigger (empty:
  // after the last step before it).
  std::string abortTrigger;
  uint32_t abortDelayMs;
  std::string sentByOpen;
  std::string sentByClose;
  std::vector<uint32_t> closePauses;
};

void PrintTo(const AbortedSetUpCase& c, std::ostream* out) { *out << c.name; }

class AbortedSetUp : public ExportsOnCom1,
                     public ::testing::WithParamInterface<AbortedSetUpCase> {};

TEST_P(AbortedSetUp, EndsTheOpenAtOnceAndLeavesTheClearingWhole) {
  const AbortedSetUpCase& c = GetParam();
  const bool modem = c.driver == &kModemDriver;
  int32_t slot = -1;
  uint64_t abortedAt = 0;
  std::vector<ScriptStep> script = c.beforeAbort;
  script.push_back(runAfter(c.abortTrigger, c.abortDelayMs, [&] {
    abortedAt = device_.clock().nowMs();
    EXPECT_EQ(1, exports::Abort(slot));
  }));
  device_.script(script);
  EXPECT_EQ(0, exports::OpenPort(*c.driver, &slot, 1, modem ? "0123" : "1234"));
  EXPECT_TRUE(device_.scriptDone());
  EXPECT_EQ(abortedAt, device_.clock().nowMs());
  EXPECT_STREQ(driver::kCallSetUpAborted, exports::GetPortError(slot));
  EXPECT_EQ(c.sentByOpen, device_.sent(c.sentByOpen.size()));

  const size_t pausesBefore = device_.clock().pauses(driver::kReplyPollIntervalMs).size();
  device_.script(modem ? std::vector<ScriptStep>{replyTo(kHangUp, "\r\nOK\r\n")} : padClears());
  EXPECT_EQ(1, exports::ClosePort(*c.driver, slot));
  const std::vector<uint32_t> pauses = device_.clock().pauses(driver::kReplyPollIntervalMs);
  EXPECT_EQ(c.closePauses, std::vector<uint32_t>(pauses.begin() + pausesBefore, pauses.end()));
  EXPECT_EQ(c.sentByOpen + c.sentByClose, device_.sent((c.sentByOpen + c.sentByClose).size()));
  EXPECT_TRUE(device_.scriptDone());
}

const std::string kModemSetUp = "ATV1\rATS9=10\rATS10=100\r";

INSTANTIATE_TEST_SUITE_P(
    DriverExports, AbortedSetUp,
    ::testing::Values(
        AbortedSetUpCase{"ModemAwaitingTheDialResult", &kModemDriver,
                         {replyTo(kHangUp, "\r\nOK\r\n")}, "", 20000,
                         kModemSetUp + "+++" + kHangUp + kDial, "+++" + kHangUp, {1500, 1500}},
        AbortedSetUpCase{"ModemInItsSetUpPauses", &kModemDriver, {}, "ATV1\r", 700, "ATV1\r",
                         "+++" + kHangUp, {1500, 1500}},
        AbortedSetUpCase{"PadAwaitingTheConnection", &kPadDriver,
                         {replyTo(kClear, "\r\n*"), replyTo(kCall, "1234\r\n")}, "", 10000,
                         kClear + kCall, kClear, {}},
        AbortedSetUpCase{"PadPausingBeforeTheCall", &kPadDriver, {replyTo(kClear, "\r\n*")}, "",
                         1000, kClear, kClear, {}}),
    [](const ::testing::TestParamInfo<AbortedSetUpCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vb::drivertest
