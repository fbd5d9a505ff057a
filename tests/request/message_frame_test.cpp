// The meter message frame: command header bytes and the reply checks.
#include <gtest/gtest.h>

#include <vector>

#include "message_frame.h"
#include "request_builder.h"

namespace vb::request::testing {
namespace {

TEST(MessageFrame, CommandHeaderIsLittleEndian) {
  uint8_t buffer[10] = {};
  BuildCommandHeader(buffer, kClassControl, 0x0102, 0x03040506, 0x0708);
  const std::vector<uint8_t> expected{0xFF, 3, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x08, 0x07};
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 10), expected);
}

struct ValidateCase {
  const char* name;
  std::vector<uint8_t> reply;
  uint16_t command;
  uint32_t limit;
  int expectedReturn;
  int32_t expectedCode;
  const char* expectedMessage;
};

const ValidateCase kValidateCases[] = {
    {"good reply", {0xFF, 2, 12, 0, 0, 0, 0, 0, 0, 0}, 12, 332, 1, 4242, "host message"},
    {"marker 0x00", {0x00, 2, 12, 0, 0, 0, 0, 0, 0, 0}, 12, 332, 0, 2,
     "Reply message format not recognised"},
    {"echo of another command", {0xFF, 2, 11, 0, 0, 0, 0, 0, 0, 0}, 12, 332, 0, 2,
     "Wrong command number in reply: 11"},
    {"status 7", {0xFF, 2, 13, 0, 7, 0, 0, 0, 0, 0}, 13, 332, 0, 7, "No data in specified range"},
    {"status 22", {0xFF, 2, 11, 0, 22, 0, 0, 0, 0, 0}, 11, 4144, 0, 22, "DIB not available"},
    {"status 25", {0xFF, 2, 11, 0, 25, 0, 0, 0, 0, 0}, 11, 4144, 0, 25,
     "Unspecified Brisel error"},
    {"status 40", {0xFF, 2, 11, 0, 40, 0, 0, 0, 0, 0}, 11, 4144, 0, 2,
     "Unknown error code in reply: 40"},
    {"status 0x1234", {0xFF, 2, 11, 0, 0x34, 0x12, 0, 0, 0, 0}, 11, 4144, 0, 2,
     "Unknown error code in reply: 4660"},
    {"empty reply", {}, 11, 4144, 0, 2, "Reply message format not recognised"},
    {"reply ends inside the status", {0xFF, 2, 11, 0, 0}, 11, 4144, 0, 2,
     "Reply too short: 5 bytes"},
    {"reply ends inside the echo", {0xFF, 2, 11}, 11, 4144, 0, 2, "Reply too short: 3 bytes"},
    {"limit cuts the status", {0xFF, 2, 11, 0, 0, 0, 0, 0, 0, 0}, 11, 4, 0, 2,
     "Reply too short: 4 bytes"},
};

TEST(MessageFrame, ValidateReplyChecksMarkerEchoAndStatusWithinTheReply) {
  for (const ValidateCase& c : kValidateCases) {
    SCOPED_TRACE(c.name);
    ResultRecord result = MarkedResult();
    const Reply reply{c.reply.data(), static_cast<uint32_t>(c.reply.size())};
    EXPECT_EQ(ValidateReply(&result, reply, c.command, c.limit), c.expectedReturn);
    EXPECT_EQ(result.code, c.expectedCode);
    EXPECT_EQ(FieldText(result.message), c.expectedMessage);
    if (c.expectedReturn == 0) {
      EXPECT_EQ(FieldText(result.source), "Vantbrook");
    }
  }
}

TEST(MessageFrame, StatusCheckNeverTakesStaleBytesForTheStatus) {
  // The buffer still holds an earlier message with a zero status, but only
  // four bytes of this reply came in.
  const uint8_t buffer[12] = {0xFF, 2, 9, 0, 0, 0, 2, 0, 0, 0, 0, 0};
  ResultRecord result = MarkedResult();
  EXPECT_EQ(CheckReplyStatus(&result, Reply{buffer, 4}), 0);
  EXPECT_EQ(result.code, 2);
  EXPECT_EQ(FieldText(result.message), "Reply too short: 4 bytes");
  EXPECT_EQ(CheckReplyStatus(&result, Reply{buffer, 6}), 1);
}

TEST(MessageFrame, MeterStatusUsesTheResultTexts) {
  const struct {
    uint32_t status;
    int32_t code;
    const char* message;
  } cases[] = {{1, 1, "Not implemented"},
               {3, 3, "Write Access denied (Logger locked at level 1)"},
               {8, 8, "Busy"},
               {9, 9, "Parameter not valid"},
               {26, 2, "Unknown error code in reply: 26"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    ResultRecord result = MarkedResult();
    ReportMeterStatus(&result, c.status);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(FieldText(result.source), "Vantbrook");
    EXPECT_EQ(FieldText(result.message), c.message);
  }
}

}  // namespace
}  // namespace vb::request::testing
