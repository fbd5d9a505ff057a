// Logger 3: the totals header and the totals records with their CRC-16.
#include <gtest/gtest.h>

#include <string>

#include "formats/record_crc.h"
#include "formats/totals.h"
#include "logger_replies.h"

namespace vb::request {
namespace {

using test::TotalsRun;

uint32_t TotalsRoom(uint32_t capacity) { return 572 + 40 * capacity; }

test::Bytes TwoRecords(bool swapSecondCrc) {
  test::Bytes records = test::TotalsRecordBytes(86400, 100);
  return records.append(test::TotalsRecordBytes(0xFFFFFFFF, 200, swapSecondCrc));
}

TEST(RecordCrc, MatchesTheCheckValues) {
  struct {
    std::string text;
    uint16_t crc;
  } const cases[] = {{"123456789", 0x4B37}, {"abc", 0x5749}, {"", 0xFFFF}};
  RecordCrc crc;
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.text.data());
    EXPECT_EQ(crc.compute(bytes, c.text.size()), c.crc) << c.text;
    EXPECT_TRUE(crc.check(bytes, c.text.size(), c.crc));
    EXPECT_FALSE(crc.check(bytes, c.text.size(), static_cast<uint16_t>(c.crc ^ 1)));
  }
}

TEST(TotalsHeader, DecodesEveryFieldIntoTheHostRecord) {
  TotalsRun run(VB_REQ_HEADER, 2);
  ASSERT_TRUE(run.decode(ProcessSentTotals,
                         test::LoggerReply(test::kGetHeader, test::TotalsHeaderBytes(4),
                                           TwoRecords(false)),
                         TotalsRoom(0)));
  const TotalsHeaderRecord& h = run.header;
  EXPECT_EQ(h.recordSize, 132u);
  EXPECT_EQ(h.formatVersion, 5);
  EXPECT_EQ(h.type, 3);
  EXPECT_EQ(h.supplier, 4);
  EXPECT_STREQ(h.siteId, "Totals site");
  EXPECT_EQ(h.currentDateTime, 631153000u);
  EXPECT_EQ(h.priorDateTime, 631152000u);  // negative on the wire
  EXPECT_EQ(h.postDateTime, 631155000u);
  EXPECT_STREQ(h.auxText, "aux text");
  EXPECT_EQ(h.auxValue, 2.5f);
  EXPECT_EQ(h.firstRecordDateTime, 631156000u);
  EXPECT_EQ(h.firstRecordRSN, 7u);
  EXPECT_EQ(h.lastRecordDateTime, 631151999u);  // no validity test: wraps
  EXPECT_EQ(h.lastRecordRSN, 12u);
  EXPECT_EQ(h.statusFlags, 0x10u);
  EXPECT_EQ(h.count, 0u);  // the header request stores no records
  EXPECT_EQ(h.reserved1[0], 0xA5);
  EXPECT_EQ(run.entries[0].dateTime, 0xA5A5A5A5u);
}

TEST(TotalsRecords, DecodesRecordsAndChecksTheirCrc) {
  for (int16_t code : {VB_REQ_DOWNLOAD_RAW, VB_REQ_DOWNLOAD_CONVERTED}) {
    SCOPED_TRACE(code);
    TotalsRun run(code, 5);
    ASSERT_TRUE(run.decode(ProcessSentTotals,
                           test::LoggerReply(test::kGetData, test::TotalsHeaderBytes(4),
                                             TwoRecords(true)),
                           TotalsRoom(5)));
    ASSERT_EQ(run.header.count, 2u);
    const TotalsRecord& first = run.entries[0];
    EXPECT_EQ(first.dateTime, 631152000u + 86400u);
    for (uint32_t t = 0; t < 8; ++t) EXPECT_EQ(first.totals[t], 100 + t);
    EXPECT_EQ(first.extra1, 0x5A);
    EXPECT_EQ(first.extra2, 0xC3);
    EXPECT_EQ(first.reserved[0], 0xA5);  // padding is not written
    EXPECT_EQ(first.crcValid, 1u);
    const TotalsRecord& second = run.entries[1];
    EXPECT_EQ(second.dateTime, 631152000u);  // negative record time read as 0
    EXPECT_EQ(second.totals[7], 207u);
    EXPECT_EQ(second.crcValid, 0u);  // CRC bytes swapped: stored, not an error
    EXPECT_EQ(run.entries[2].dateTime, 0xA5A5A5A5u);
  }
}

TEST(TotalsRecords, CapacityLimitsTheRecordsStored) {
  TotalsRun run(VB_REQ_DOWNLOAD_RAW, 1, 0, /*spare=*/1);
  ASSERT_TRUE(run.decode(ProcessSentTotals,
                         test::LoggerReply(test::kGetData, test::TotalsHeaderBytes(4),
                                           TwoRecords(false)),
                         TotalsRoom(2)));
  EXPECT_EQ(run.header.count, 1u);
  EXPECT_EQ(run.entries[1].dateTime, 0xA5A5A5A5u);
}

TEST(TotalsRecords, FailuresLeaveTheHostRecordsUntouched) {
  struct {
    const char* name;
    uint16_t expectedSupplier;
    uint32_t extraBytes;
    int32_t code;
    const char* message;
  } const cases[] = {
      {"supplier mismatch", 3, 0, 14, "Mismatch on supplier ID. Expected 3, got 4"},
      {"remaining 60 bytes", 0, 60, 13, "Remaining bytes am not a multiple of 40"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::Bytes entries;
    for (uint32_t i = 0; i < c.extraBytes; ++i) entries.u8(0x22);
    TotalsRun run(VB_REQ_DOWNLOAD_RAW, 4, c.expectedSupplier);
    TotalsHeaderRecord headerBefore = run.header;
    TotalsRecord entryBefore = run.entries[0];
    EXPECT_FALSE(run.decode(ProcessSentTotals,
                            test::LoggerReply(test::kGetData, test::TotalsHeaderBytes(4), entries),
                            TotalsRoom(4)));
    EXPECT_EQ(run.result.code, c.code);
    EXPECT_STREQ(run.result.source, "Vantbrook");
    EXPECT_STREQ(run.result.message, c.message);
    EXPECT_TRUE(test::SameBytes(run.header, headerBefore));
    EXPECT_TRUE(test::SameBytes(run.entries[0], entryBefore));
  }
}

}  // namespace
}  // namespace vb::request
