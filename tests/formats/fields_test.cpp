// Field readers, meter time conversions and the time trace.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "formats/cdtf.h"
#include "formats/fields.h"
#include "trace_capture.h"

namespace vb::request {
namespace {

enum class Reader { U8, U16, U32, Cdtf, Float };

struct ReaderCase {
  const char* name;
  std::vector<uint8_t> message;
  Reader reader;
  uint32_t cursor;
  uint32_t bound;
  uint32_t expected;  // a float's bit pattern for Reader::Float
  uint32_t expectedCursor;
};

uint32_t RunReader(const ReaderCase& c, uint32_t& cursor) {
  const uint8_t* message = c.message.data();
  switch (c.reader) {
    case Reader::U8:
      return ReadU8(cursor, message, c.bound);
    case Reader::U16:
      return ReadU16(cursor, message, c.bound);
    case Reader::U32:
      return ReadU32(cursor, message, c.bound);
    case Reader::Cdtf:
      return ReadCdtf(cursor, message, c.bound);
    case Reader::Float: {
      float value = ReadFloat(cursor, message, c.bound);
      uint32_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      return bits;
    }
  }
  return 0;
}

const std::vector<uint8_t> kLittleEndian = {0x78, 0x56, 0x34, 0x12};

const ReaderCase kReaderCases[] = {
    {"u32 little-endian", kLittleEndian, Reader::U32, 0, 4, 0x12345678, 4},
    {"u16 little-endian", kLittleEndian, Reader::U16, 0, 4, 0x5678, 2},
    {"u8", kLittleEndian, Reader::U8, 3, 4, 0x12, 4},
    {"u16 ending at the bound", kLittleEndian, Reader::U16, 2, 4, 0x1234, 4},
    {"u32 one byte past the bound", kLittleEndian, Reader::U32, 1, 4, 0, 1},
    {"u32 with cursor equal to bound", kLittleEndian, Reader::U32, 4, 4, 0, 4},
    {"u8 with cursor equal to bound", kLittleEndian, Reader::U8, 4, 4, 0, 4},
    {"u16 with cursor equal to bound", kLittleEndian, Reader::U16, 3, 3, 0, 3},
    {"bound 0 reads wherever the cursor points", kLittleEndian, Reader::U32, 0, 0, 0x12345678,
     4},
    {"cursor near the top does not wrap into bounds", kLittleEndian, Reader::U32, 0xFFFFFFFE,
     0xFFFFFFFF, 0, 0xFFFFFFFE},
    {"cdtf zero", {0, 0, 0, 0}, Reader::Cdtf, 0, 4, 0, 4},
    {"cdtf largest valid", {0xFF, 0xFF, 0xFF, 0x7F}, Reader::Cdtf, 0, 4, 2147483647, 4},
    {"cdtf negative reads as 0", {0x00, 0x00, 0x00, 0x80}, Reader::Cdtf, 0, 4, 0, 4},
    {"cdtf out of bounds", {0x01, 0x00, 0x00}, Reader::Cdtf, 0, 3, 0, 0},
    {"float 1.0", {0x00, 0x00, 0x80, 0x3F}, Reader::Float, 0, 4, 0x3F800000, 4},
    {"float out of bounds is 0.0", {0x00, 0x00, 0x80, 0x3F}, Reader::Float, 1, 4, 0, 1},
};

TEST(FieldReaders, ReadTheTableOfFields) {
  for (const ReaderCase& c : kReaderCases) {
    SCOPED_TRACE(c.name);
    uint32_t cursor = c.cursor;
    EXPECT_EQ(RunReader(c, cursor), c.expected);
    EXPECT_EQ(cursor, c.expectedCursor);
  }
}

TEST(FieldReaders, NegativeCdtfIsTraced) {
  test::TraceCapture trace;
  const uint8_t negative[] = {0xFF, 0xFF, 0xFF, 0xFF};
  uint32_t cursor = 0;
  EXPECT_EQ(ReadCdtf(cursor, negative, 4), 0u);
  EXPECT_TRUE(trace.contains("CDTF Time is invalid - setting it to 0\n"));
}

struct StringCase {
  const char* name;
  std::string message;  // may hold NULs
  uint32_t cursor;
  uint32_t bound;
  std::string expectedField;
  uint32_t expectedCursor;
};

const std::string k45 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs";

const StringCase kStringCases[] = {
    {"45 characters: 39 kept, cursor past the NUL", k45 + '\0' + "tail", 0, 60,
     k45.substr(0, 39), 46},
    {"NUL only: empty, cursor + 1", std::string(1, '\0') + "x", 0, 2, "", 1},
    {"39 characters fit", k45.substr(0, 39) + '\0', 0, 40, k45.substr(0, 39), 40},
    {"40 characters: 39 kept", k45.substr(0, 40) + '\0', 0, 41, k45.substr(0, 39), 41},
    {"starts at the cursor", "xx" + std::string("meter") + '\0', 2, 8, "meter", 8},
    {"no NUL before the bound: cut there, cursor at the bound", "ABCDEFGH", 1, 6, "BCDEF", 6},
    {"cursor equal to bound: empty, cursor stays", std::string("AB") + '\0', 3, 3, "", 3},
    {"cursor beyond bound: empty, cursor stays", std::string("AB") + '\0', 5, 3, "", 5},
    {"bound 0: empty, nothing scanned", std::string("AB") + '\0', 0, 0, "", 0},
};

TEST(FieldReaders, ReadStringTable) {
  for (const StringCase& c : kStringCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> message(c.message.begin(), c.message.end());
    char field[VB_TEXT_FIELD];
    std::memset(field, '#', sizeof field);
    uint32_t cursor = c.cursor;
    ReadString(cursor, field, message.data(), c.bound);
    EXPECT_EQ(std::string(field), c.expectedField);
    for (size_t i = c.expectedField.size(); i < sizeof field; ++i) {
      EXPECT_EQ(field[i], '\0') << "byte " << i << " of the field not cleared";
    }
    EXPECT_EQ(cursor, c.expectedCursor);
  }
}

TEST(MeterTime, ConversionsWrapIn32Bits) {
  EXPECT_EQ(kCdtfEpochOffset, 0x259E9D80u);
  EXPECT_EQ(CdtfToHost(0), 631152000u);
  EXPECT_EQ(CdtfToHost(2147483647), 2778635647u);
  EXPECT_EQ(CdtfToHost(0xFFFFFFFF), 631151999u);
  EXPECT_EQ(HostToCdtf(631152000), 0u);
  EXPECT_EQ(HostToCdtf(631152001), 1u);
  EXPECT_EQ(HostToCdtf(0), 0xDA616280u);  // before 1990: wraps, no check
}

TEST(MeterTime, HostClockGivesLocalStandardTime) {
  const int64_t noon2000Utc = 946728000;  // 2000-01-01 12:00:00 UTC
  EXPECT_EQ(HostClockToCdtfAt(noon2000Utc, 0), 315576000);
  EXPECT_EQ(HostClockToCdtfAt(noon2000Utc, 60), 315572400);
  EXPECT_EQ(HostClockToCdtfAt(noon2000Utc, -330), 315595800);
}

// The host value whose local time is the given wall-clock time in the
// process's time zone, whatever that zone is.
uint32_t LocalHostValue(int year, int month, int day, int hour, int minute) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_isdst = -1;
  return static_cast<uint32_t>(std::mktime(&local));
}

TEST(MeterTime, TraceTimeUsesTwelveHourClock) {
  struct {
    uint32_t hostValue;
    const char* line;
  } const cases[] = {
      {LocalHostValue(2020, 1, 15, 0, 30), "Wed Jan 15 12:30:00 AM\n"},
      {LocalHostValue(2020, 1, 15, 12, 30), "Wed Jan 15 12:30:00 PM\n"},
      {LocalHostValue(2020, 1, 5, 13, 5), "Sun Jan  5 01:05:00 PM\n"},
      {LocalHostValue(2020, 1, 15, 11, 59), "Wed Jan 15 11:59:00 AM\n"},
  };
  for (const auto& c : cases) {
    test::TraceCapture trace;
    TraceTime(c.hostValue);
    ASSERT_EQ(trace.captured().size(), 1u);
    EXPECT_EQ(trace.captured()[0], c.line);
  }
}

}  // namespace
}  // namespace vb::request
