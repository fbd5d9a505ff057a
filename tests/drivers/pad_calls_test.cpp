// The PAD dialogue of an open (clear, pause, call) against a scripted PAD.
#include <gtest/gtest.h>

#include <string>

#include "dialogue_fixture.h"
#include "pad_calls.h"
#include "pad_driver.h"

namespace vb::drivertest {
namespace {

using Action = ScriptStep::Action;

const std::string kClear = "\x10" "CLR\r";
const std::string kCall = "1234\r";
const std::string kLongestAddress(126, '7');

class PadOpenDialogue : public DialogueTest {
 protected:
  PadOpenDialogue() : DialogueTest(pnetport::kPadDriver.line) {}
};

TEST_P(PadOpenDialogue, EndsAsTheScriptSays) {
  const DialogueCase& c = GetParam();
  device_.script(c.script);
  expectOutcome(pnetport::kPadDriver.connect(port_, c.address.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Pad, PadOpenDialogue,
    ::testing::Values(
        DialogueCase{"Connects",
                     {replyTo(kClear, "\r\n*"), replyTo(kCall, "1234\r\n"),
                      replyAfter(500, "\r\nCOM 1234\r\n")},
                     "1234", 1, "", false, kClear + kCall},
        DialogueCase{"SecondReplyOfEightBytesWithComConnects",
                     {replyTo(kClear, "*"), replyTo(kCall, "1234\r\n"),
                      replyAfter(20000, "\r\nCOM \r\n")},
                     "1234", 1, "", false, kClear + kCall},
        DialogueCase{"ClearCommandNotSent",
                     {actAfter("", 0, Action::HangUp)},
                     "1234", 0, "Failed to send CLR command.", false, ""},
        DialogueCase{"ClearNotAnswered", {}, "1234", 0, "No reply to CLR command.", false, kClear},
        DialogueCase{"ClearAnsweredLate",
                     {replyTo(kClear, "\r\n*", 5100)},
                     "1234", 0, "No reply to CLR command.", false, kClear, false},
        DialogueCase{"ClearRefusedWithoutPrompt",
                     {replyTo(kClear, "CLR ERR")},
                     "1234", 0, "CLR ERR", false, kClear},
        DialogueCase{"ClearRefusalStoredAsSevenBitTextWithoutTrailingReturns",
                     {replyTo(kClear, "\xC3LR ERR\r\r")},
                     "1234", 0, "CLR ERR", false, kClear},
        DialogueCase{"CallCommandNotSent",
                     {replyTo(kClear, "*"), actAfter("", 1000, Action::HangUp)},
                     "1234", 0, "Failed to send connect command.", false, kClear},
        DialogueCase{"CallNotAnswered",
                     {replyTo(kClear, "*")},
                     "1234", 0, "No reply to connect command.", false, kClear + kCall},
        DialogueCase{"CallRefusedInLowerCase",
                     {replyTo(kClear, "*"), replyTo(kCall, "1234\r\nerr\r\n")},
                     "1234", 0, "1234\r\nerr\r\n", false, kClear + kCall},
        DialogueCase{"FirstReplyWithComIsNotTheConnection",
                     {replyTo(kClear, "*"), replyTo(kCall, "\r\nCOM\r\n\r\n")},
                     "1234", 0, "No reply to connect command.", false, kClear + kCall},
        DialogueCase{"SecondReplyOfSevenBytes",
                     {replyTo(kClear, "*"), replyTo(kCall, "1234\r\n"), replyAfter(500, "\r\nCOM\r\n")},
                     "1234", 0, "Call failed to address 1234: len= 7: \r\nCOM\r\n", false,
                     kClear + kCall},
        DialogueCase{"SecondReplyWithoutCom",
                     {replyTo(kClear, "*"), replyTo(kCall, "1234\r\n"),
                      replyAfter(500, "\r\nCLR OCC\r")},
                     "1234", 0, "\r\nCLR OCC", false, kClear + kCall},
        DialogueCase{"SecondReplyMissing",
                     {replyTo(kClear, "*"), replyTo(kCall, "1234\r\n")},
                     "1234", 0, "No reply to connect command.", false, kClear + kCall},
        DialogueCase{"LongestAddressIsCalled",
                     {replyTo(kClear, "*"), replyTo(kLongestAddress + "\r", "\r\n"),
                      replyAfter(500, "\r\nCOM ok\r\n")},
                     kLongestAddress, 1, "", false, kClear + kLongestAddress + "\r"},
        // The short-reply text is cut at 127 characters, inside the reply.
        DialogueCase{"ShortReplyTextCutToTheField",
                     {replyTo(kClear, "*"), replyTo(std::string(100, '5') + "\r", "\r\n"),
                      replyAfter(500, "\r\nCOM\r\n")},
                     std::string(100, '5'), 0,
                     ("Call failed to address " + std::string(100, '5') + ": len= 7: \r\nCOM\r\n")
                         .substr(0, 127),
                     false, kClear + std::string(100, '5') + "\r"},
        DialogueCase{"AddressTooLongIsRefusedUnsent",
                     {replyTo(kClear, "*")},
                     kLongestAddress + "7", 0, "Address too long", false, kClear}),
    caseName);

TEST(PadOpenTiming, PausesTwoSecondsBetweenClearingAndCalling) {
  ScriptedDevice device;
  ASSERT_TRUE(device.start());
  driver::DriverPort port(pnetport::kPadDriver.line);
  ASSERT_EQ(1, driver::AttachLine(port, device.slaveHandle()));
  device.script({replyTo(kClear, "*"), replyTo(kCall, "1234\r\n"),
                 replyAfter(500, "\r\nCOM 1234\r\n")});
  EXPECT_EQ(1, pnetport::kPadDriver.connect(port, "1234"));
  EXPECT_EQ(std::vector<uint32_t>{2000}, device.clock().pauses(100));
  port.line().release();
}

}  // namespace
}  // namespace vb::drivertest
