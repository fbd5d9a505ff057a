// Reply keyword tests and error texts, for both drivers' rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "driver_port.h"
#include "modem_driver.h"
#include "pad_driver.h"
#include "platform/error.h"
#include "reply.h"

namespace vb::driver {
namespace {

struct ContainsCase {
  const char* reply;
  const char* keyword;
  bool clearBit7;
  int expected;
};

// Cases name themselves in test output by their inputs.
void PrintTo(const ContainsCase& c, std::ostream* out) {
  *out << ::testing::PrintToString(std::string(c.reply)) << " contains "
       << ::testing::PrintToString(std::string(c.keyword)) << (c.clearBit7 ? " (bit 7 cleared)" : "");
}

class ReplyContainsTable : public ::testing::TestWithParam<ContainsCase> {};

TEST_P(ReplyContainsTable, FindsKeywordWhereExpected) {
  const ContainsCase& c = GetParam();
  EXPECT_EQ(c.expected, ReplyContains(c.reply, c.keyword, c.clearBit7))
      << "reply \"" << c.reply << "\" keyword \"" << c.keyword << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyContainsTable,
    ::testing::Values(
        // Case does not matter, on either side.
        ContainsCase{"ATH\r\r\nok\r\n", "OK", false, 1},
        ContainsCase{"\r\nconnect 9600\r\n", "CONNECT", false, 1},
        ContainsCase{"\r\nCOM\r\n", "com", true, 1},
        // Every starting position is tried.
        ContainsCase{"OOK", "OK", false, 1},
        ContainsCase{"O", "OK", false, 0},
        ContainsCase{"", "OK", false, 0},
        ContainsCase{"OK", "OK", false, 1},
        ContainsCase{"\r\nNO DIAL TONE\r\n", "NO DIALTONE", false, 0},
        ContainsCase{"\r\n*", "*", true, 1},
        // The PAD's replies are compared with bit 7 cleared; the modem's are not.
        ContainsCase{"\xCFK", "OK", true, 1},
        ContainsCase{"\xCFK", "OK", false, 0},
        ContainsCase{"\xC5RR", "ERR", true, 1},
        // A byte that is 0 once bit 7 is cleared ends a PAD reply.
        ContainsCase{"A\x80OK", "OK", true, 0},
        ContainsCase{"A\x80OK", "OK", false, 1}));

struct TextCase {
  bool pad;  // pnetport's rules, else dialport's
  std::string input;
  std::string stored;
};

void PrintTo(const TextCase& c, std::ostream* out) {
  *out << (c.pad ? "pnetport " : "dialport ") << ::testing::PrintToString(c.input);
}

class SetErrorTextTable : public ::testing::TestWithParam<TextCase> {};

TEST_P(SetErrorTextTable, StoresTextByTheDriversRules) {
  const TextCase& c = GetParam();
  DriverPort port(c.pad ? pnetport::kPadDriver.line : dialport::kModemDriver.line);
  SetErrorText(port, c.input.c_str());
  EXPECT_EQ(c.stored, port.errorText());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SetErrorTextTable,
    ::testing::Values(
        TextCase{true, "No reply to CLR command.", "No reply to CLR command."},
        TextCase{false, "No reply to CLR command.", "No reply to CLR command."},
        // Trailing carriage returns go, but never the first character.
        TextCase{true, "\r", "\r"}, TextCase{false, "\r\r", "\r"},
        TextCase{true, "ABC\r\r", "ABC"}, TextCase{false, "ABC\r\n", "ABC\r\n"},
        // Bit 7: cleared by the PAD driver, kept by the modem driver.
        TextCase{true, "\xC3LR ERR\r", "CLR ERR"}, TextCase{false, "\xC3LR", "\xC3LR"},
        TextCase{true, "A\x80" "B", "A"},
        // The field takes 127 characters.
        TextCase{true, std::string(200, 'x'), std::string(127, 'x')},
        TextCase{false, std::string(127, 'y') + "\r", std::string(127, 'y')}));

TEST(SetSystemErrorText, AppendsTheSystemTextToThePrefix) {
  DriverPort port(dialport::kModemDriver.line);
  platform::setLastErrorCode(ENOENT);
  const std::string systemText = platform::lastErrorText();
  SetSystemErrorText(port, "Failed to open port: ");
  EXPECT_EQ("Failed to open port: " + systemText, port.errorText());
}

TEST(SetSystemErrorText, PadDriverClearsBit7OfThePrefixOnly) {
  DriverPort port(pnetport::kPadDriver.line);
  platform::setLastErrorCode(ENOENT);
  const std::string systemText = platform::lastErrorText();
  SetSystemErrorText(port, "\xD5nreadable: ");
  EXPECT_EQ("Unreadable: " + systemText, port.errorText());
}

TEST(SetSystemErrorText, SystemTextIsLeftOutWhenItDoesNotFit) {
  platform::setLastErrorCode(ENOENT);
  const std::string systemText = platform::lastErrorText();
  // The prefix and the system text fill all 127 characters: appended.
  DriverPort fits(dialport::kModemDriver.line);
  const std::string longest(127 - systemText.size(), 'p');
  platform::setLastErrorCode(ENOENT);
  SetSystemErrorText(fits, longest.c_str());
  EXPECT_EQ(longest + systemText, fits.errorText());
  // One character more: the prefix stands alone.
  DriverPort tooLong(dialport::kModemDriver.line);
  const std::string prefix = longest + "q";
  platform::setLastErrorCode(ENOENT);
  SetSystemErrorText(tooLong, prefix.c_str());
  EXPECT_EQ(prefix, tooLong.errorText());
}

}  // namespace
}  // namespace vb::driver
