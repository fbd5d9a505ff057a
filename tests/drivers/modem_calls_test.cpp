// The modem dialogue of an open (set-up, escape, hang-up, dial) against a
// scripted modem.
#include <gtest/gtest.h>

#include <string>

#include "dialogue_fixture.h"
#include "modem_calls.h"
#include "modem_driver.h"

namespace vb::drivertest {
namespace {

using Action = ScriptStep::Action;

const std::string kSetup = "ATV1\rATS9=10\rATS10=100\r";
const std::string kHangUp = "ATH\r";
const std::string kDial = "ATD0123\r";
const std::string kUpToHangUp = kSetup + "+++" + kHangUp;
const std::string kOpen = kUpToHangUp + kDial;
const std::string kLongestNumber(123, '9');

ScriptStep okToHangUp() { return replyTo(kHangUp, "ATH\r\r\nOK\r\n"); }

// A dial answered by one reply.
DialogueCase dialAnswered(const char* name, const std::string& reply, int result,
                          const std::string& text) {
  return {name, {okToHangUp(), replyTo(kDial, reply)}, "0123", result, text, false, kOpen};
}

class ModemOpenDialogue : public DialogueTest {
 protected:
  ModemOpenDialogue() : DialogueTest(dialport::kModemDriver.line) {}
};

TEST_P(ModemOpenDialogue, EndsAsTheScriptSays) {
  const DialogueCase& c = GetParam();
  device_.script(c.script);
  expectOutcome(dialport::kModemDriver.connect(port_, c.address.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    ResultCodes, ModemOpenDialogue,
    ::testing::Values(
        dialAnswered("Connect9600Rlp", "\r\nCONNECT 9600/RLP\r\n", 1, ""),
        dialAnswered("ConnectWithoutRate", "\r\nCONNECT\r\n", 1, ""),
        dialAnswered("ConnectAnyRate", "\r\nCONNECT 1200\r\n", 1, ""),
        dialAnswered("NoCarrier", "\r\nNO CARRIER\r\n", 0, "NO CARRIER"),
        dialAnswered("Error", "\r\nERROR\r\n", 0, "ERROR"),
        dialAnswered("NoDialtone", "\r\nNO DIALTONE\r\n", 0, "NO DIALTONE"),
        dialAnswered("Busy", "\r\nBUSY\r\n", 0, "BUSY"),
        // Failure codes are tested before CONNECT.
        dialAnswered("ConnectWithNoCarrierFails", "\r\nCONNECT 9600\r\n\r\nNO CARRIER\r\n", 0,
                     "NO CARRIER")),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Dialogue, ModemOpenDialogue,
    ::testing::Values(
        DialogueCase{"EchoThenConnectInSecondPass",
                     {okToHangUp(), replyTo(kDial, kDial), replyAfter(20000, "\r\nCONNECT 9600\r\n")},
                     "0123", 1, "", false, kOpen},
        // Five replies without a result code: the last one, unchanged, is the text.
        DialogueCase{"FiveUnrecognisedReplies",
                     {okToHangUp(), replyTo(kDial, kDial), replyAfter(1000, "\r\nRING\r\n"),
                      replyAfter(1000, "\r\nRING\r\n"), replyAfter(1000, "\r\nRINGING\r\n"),
                      replyAfter(1000, "\r\nNO DIAL TONE\r\n")},
                     "0123", 0, "\r\nNO DIAL TONE\r\n", false, kOpen},
        DialogueCase{"UnreadableLastReply",
                     {okToHangUp(), replyTo(kDial, kDial), replyAfter(1000, "\r\nRING\r\n"),
                      replyAfter(1000, "\r\nRING\r\n"), replyAfter(1000, "\r\nRING\r\n"),
                      replyAfter(1000, "\xC1\xC2\r\n")},
                     "0123", 0, "Unreadable modem error. ", true, kOpen},
        // Only five replies are read; a CONNECT after them comes too late.
        DialogueCase{"ConnectAfterFiveRepliesIsTooLate",
                     {okToHangUp(), replyTo(kDial, kDial), replyAfter(1000, "\r\nRING\r\n"),
                      replyAfter(1000, "\r\nRING\r\n"), replyAfter(1000, "\r\nRING\r\n"),
                      replyAfter(1000, "\r\nRING\r\n"), replyAfter(1000, "\r\nCONNECT\r\n")},
                     "0123", 0, "\r\nRING\r\n", false, kOpen, false},
        DialogueCase{"NoReplyToDial", {okToHangUp(), takeSent(kDial)}, "0123", 0, "NO REPLY TO ATD COMMAND",
                     false, kOpen},
        DialogueCase{"EscapeNotSent", {actAfter("", 0, Action::HangUp)}, "0123", 0,
                     "Unable to enter command mode.", false, ""},
        DialogueCase{"HangUpNotSent", {actAfter("+++", 0, Action::HangUp)}, "0123", 0,
                     "Failed to send ATH command.", false, kSetup + "+++"},
        DialogueCase{"NoReplyToHangUp", {}, "0123", 0, "No reply to ATH command.", false,
                     kUpToHangUp},
        DialogueCase{"HangUpWithoutOk", {replyTo(kHangUp, "ATH\r\r\nERROR\r\n")}, "0123", 0,
                     "No OK in reply to ATH command.", false, kUpToHangUp},
        // A modem that ignores ATH: the set-up commands' OKs still waiting
        // in the input queue satisfy the hang-up.
        DialogueCase{"QueuedSetupRepliesSatisfyHangUp",
                     {replyTo("ATV1\r", "ATV1\r\r\nOK\r\n"), replyTo("ATS9=10\r", "\r\nOK\r\n"),
                      replyTo("ATS10=100\r", "\r\nOK\r\n"), replyTo(kDial, "\r\nCONNECT\r\n")},
                     "0123", 1, "", false, kOpen},
        DialogueCase{"DialCommandNotSent",
                     {okToHangUp(), actAfter("", 100, Action::BlockOutput)},
                     "0123", 0, "Failed to send ATD command", false, kUpToHangUp},
        // The line goes away while the dial waits: no reply, and the purge
        // that follows fails too.
        DialogueCase{"PurgeAfterDialFails",
                     {okToHangUp(), actAfter(kDial, 1000, Action::CloseLine)},
                     "0123", 0, "Purgecom failed. ", true, kOpen},
        DialogueCase{"LongestNumberIsDialled",
                     {okToHangUp(), replyTo("ATD" + kLongestNumber + "\r", "\r\nCONNECT\r\n")},
                     kLongestNumber, 1, "", false, kUpToHangUp + "ATD" + kLongestNumber + "\r"},
        DialogueCase{"NumberTooLongIsRefusedUndialled", {okToHangUp()}, kLongestNumber + "9", 0,
                     "Telephone number too long", false, kUpToHangUp}),
    caseName);

class ModemTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.start());
    ASSERT_EQ(1, driver::AttachLine(port_, device_.slaveHandle()));
  }
  void TearDown() override { port_.line().release(); }
  ScriptedDevice device_;
  driver::DriverPort port_{dialport::kModemDriver.line};
};

TEST_F(ModemTiming, OpenPausesAfterSetupAroundEscapeAndAfterConnect) {
  device_.script({okToHangUp(), replyTo(kDial, "\r\nCONNECT 9600\r\n")});
  EXPECT_EQ(1, dialport::kModemDriver.connect(port_, "0123"));
  EXPECT_EQ((std::vector<uint32_t>{1500, 1500, 1500, 1500, 1500, 2000}),
            device_.clock().pauses(100));
}

TEST_F(ModemTiming, FailedDialDoesNotPause) {
  device_.script({okToHangUp(), replyTo(kDial, "\r\nBUSY\r\n")});
  EXPECT_EQ(0, dialport::kModemDriver.connect(port_, "0123"));
  EXPECT_EQ((std::vector<uint32_t>{1500, 1500, 1500, 1500, 1500}), device_.clock().pauses(100));
}

TEST_F(ModemTiming, DialWaitsSixtySecondsForAReply) {
  device_.script({});
  EXPECT_EQ(0, dialport::Dial(port_, "0123"));
  EXPECT_EQ(60000u, device_.clock().nowMs());
}

// Whatever follows the part of the reply that was read never reaches the data.
TEST_F(ModemTiming, RestOfTheConnectReplyIsPurgedBeforeData) {
  device_.script({replyTo(kDial, "\r\nCONNECT 9600/RLP\r\n" + std::string(200, '~'))});
  EXPECT_EQ(1, dialport::Dial(port_, "0123"));
  uint32_t queued = 99;
  ASSERT_TRUE(port_.line().bytesQueued(&queued));
  EXPECT_EQ(0u, queued);
}

}  // namespace
}  // namespace vb::drivertest
