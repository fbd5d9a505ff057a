// Replies whose byte counts or length do not hold together: the decoders
// refuse them or read only what arrived, and never write past the host's
// records. Replies sit in heap buffers of exactly the received size, so
// AddressSanitizer reports any read beyond them.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "formats/pairs.h"
#include "formats/totals.h"
#include "logger_replies.h"

namespace vb::request {
namespace {

using test::Bytes;

constexpr const char* kBeyondReceived = "Reply byte count exceeds the reply received";
constexpr const char* kHeaderBeyondReply = "Header byte count exceeds the reply byte count";
constexpr uint32_t kRoom = 4144;

Bytes GoodPairsReply() {
  return test::LoggerReply(test::kGetData, test::DataHeaderBytes(9), test::CountingPairs(10));
}

Bytes GoodTotalsReply() {
  Bytes records = test::TotalsRecordBytes(1, 1);
  records.append(test::TotalsRecordBytes(2, 2));
  return test::LoggerReply(test::kGetData, test::TotalsHeaderBytes(4), records);
}

Bytes Truncated(Bytes reply, uint32_t size) {
  reply.truncate(size);
  return reply;
}

Bytes WithHeaderByteCount(Bytes reply, uint32_t byteCount) {
  reply.patchU32(14, byteCount);
  return reply;
}

uint32_t FullByteCount(const Bytes& reply) { return reply.size() - 10; }

struct BadReplyCase {
  const char* name;
  Bytes reply;
  uint32_t room;
  const char* message;
};

std::vector<BadReplyCase> BadReplies(const Bytes& good) {
  uint32_t full = FullByteCount(good);
  return {
      {"cut one byte short of its byte count", Truncated(good, good.size() - 1), kRoom,
       kBeyondReceived},
      {"cut inside the header", Truncated(good, 30), kRoom, kBeyondReceived},
      {"cut inside the byte count field", Truncated(good, 8), kRoom, kBeyondReceived},
      {"nothing received", Bytes(), kRoom, kBeyondReceived},
      {"byte count beyond the reply room", good, good.size() - 1, kBeyondReceived},
      {"header byteCount one byte beyond the byte count", WithHeaderByteCount(good, full - 3),
       kRoom, kHeaderBeyondReply},
      {"header byteCount that wraps the remaining length",
       WithHeaderByteCount(good, 0xFFFFFFFC), kRoom, kHeaderBeyondReply},
  };
}

template <typename Run, typename Decoder>
void ExpectRefused(Decoder decoder, const Bytes& good) {
  for (const BadReplyCase& c : BadReplies(good)) {
    SCOPED_TRACE(c.name);
    Run run(VB_REQ_DOWNLOAD_RAW, 20);
    auto headerBefore = run.header;
    auto entryBefore = run.entries[0];
    EXPECT_FALSE(run.decode(decoder, c.reply, c.room));
    EXPECT_EQ(run.result.code, 13);
    EXPECT_STREQ(run.result.source, "Vantbrook");
    EXPECT_STREQ(run.result.message, c.message);
    EXPECT_TRUE(test::SameBytes(run.header, headerBefore));
    EXPECT_TRUE(test::SameBytes(run.entries[0], entryBefore));
  }
}

TEST(ReplySafety, PairsReplyWithCountsBeyondItIsRefused) {
  ExpectRefused<test::PairsRun>(ProcessSentData, GoodPairsReply());
}

TEST(ReplySafety, TotalsReplyWithCountsBeyondItIsRefused) {
  ExpectRefused<test::TotalsRun>(ProcessSentTotals, GoodTotalsReply());
}

TEST(ReplySafety, ReplyEndingInsideTheHeaderReadsZerosBeyondIt) {
  // The counts hold together, but the header itself stops after siteId and
  // two bytes of currentDateTime.
  Bytes header;
  header.u32(0).u16(1).u16(1).u16(9).text("AB").u16(0x1234);
  header = test::WithByteCount(header);
  test::PairsRun run(VB_REQ_HEADER, 0);
  ASSERT_TRUE(
      run.decode(ProcessSentData, test::LoggerReply(test::kGetHeader, header, {}), 332));
  EXPECT_STREQ(run.header.siteId, "AB");
  EXPECT_EQ(run.header.currentDateTime, 631152000u);
  EXPECT_EQ(run.header.loggingInterval, 0);
  EXPECT_EQ(run.header.statusFlags, 0u);
}

TEST(ReplySafety, EntriesFillExactlyTheCapacity) {
  // Entry arrays of exactly capacity entries: a write past them is reported.
  test::PairsRun raw(VB_REQ_DOWNLOAD_RAW, 10);
  ASSERT_TRUE(raw.decode(ProcessSentData,
                         test::LoggerReply(test::kGetData, test::DataHeaderBytes(9),
                                           test::CountingPairs(25)),
                         kRoom));
  EXPECT_EQ(raw.header.count, 10u);
  test::ConvertedRun converted(VB_REQ_DOWNLOAD_CONVERTED, 10);
  ASSERT_TRUE(converted.decode(ProcessSentData,
                               test::LoggerReply(test::kGetData, test::DataHeaderBytes(9),
                                                 test::CountingPairs(25)),
                               kRoom));
  EXPECT_EQ(converted.header.count, 10u);
  test::TotalsRun totals(VB_REQ_DOWNLOAD_RAW, 1);
  ASSERT_TRUE(totals.decode(ProcessSentTotals, GoodTotalsReply(), kRoom));
  EXPECT_EQ(totals.header.count, 1u);
}

TEST(ReplySafety, MissingHostRecordsAreRefused) {
  struct {
    const char* name;
    std::function<void(test::PairsRun&)> breakRecords;
    const char* message;
  } const cases[] = {
      {"no download record", [](test::PairsRun& run) { run.request.download = nullptr; },
       "No download record to decode into"},
      {"no header record", [](test::PairsRun& run) { run.download.header = nullptr; },
       "No download record to decode into"},
      {"no entries array", [](test::PairsRun& run) { run.download.entries = nullptr; },
       "No entries array to decode into"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::PairsRun run(VB_REQ_DOWNLOAD_RAW, 4);
    DataHeaderRecord headerBefore = run.header;
    c.breakRecords(run);
    EXPECT_FALSE(run.decode(ProcessSentData, GoodPairsReply(), kRoom));
    EXPECT_EQ(run.result.code, 2);
    EXPECT_STREQ(run.result.message, c.message);
    EXPECT_TRUE(test::SameBytes(run.header, headerBefore));
  }
}

TEST(ReplySafety, NoEntriesArrayIsFineWhenNothingIsStored) {
  test::PairsRun run(VB_REQ_HEADER, 4);
  run.download.entries = nullptr;
  EXPECT_TRUE(run.decode(ProcessSentData, GoodPairsReply(), kRoom));
}

}  // namespace
}  // namespace vb::request
