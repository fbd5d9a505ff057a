// Loggers 1 and 2: the data header and the flow/pressure pairs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "formats/pairs.h"
#include "logger_replies.h"
#include "trace_capture.h"

namespace vb::request {
namespace {

using test::ConvertedRun;
using test::PairsRun;

uint32_t PairsRoom(uint32_t capacity) { return 332 + 4 * capacity; }

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

TEST(DataHeader, DecodesEveryFieldIntoTheHostRecord) {
  ASSERT_EQ(test::kSite45.size(), 45u);
  PairsRun run(VB_REQ_HEADER, 4);
  ASSERT_TRUE(run.decode(ProcessSentData,
                         test::LoggerReply(test::kGetHeader, test::DataHeaderBytes(9), {}), 332));
  const DataHeaderRecord& h = run.header;
  EXPECT_EQ(h.recordSize, 112);
  EXPECT_EQ(h.formatVersion, 2);
  EXPECT_EQ(h.type, 1);
  EXPECT_EQ(h.supplier, 9);
  EXPECT_EQ(std::string(h.siteId), test::kSite45.substr(0, 39));
  EXPECT_EQ(h.currentDateTime, 631152000u);  // negative on the wire
  EXPECT_EQ(h.priorDateTime, 631152100u);
  EXPECT_EQ(h.postDateTime, 631152200u);
  EXPECT_EQ(h.originalLoggerResetDateTime, 631152300u);
  EXPECT_EQ(h.correctedLoggerResetDateTime, 631152400u);
  EXPECT_EQ(h.firstPairDateTime, 631152500u);
  EXPECT_EQ(h.firstPairRSN, 17u);
  EXPECT_EQ(h.lastPairDateTime, 631151999u);  // no validity test: wraps
  EXPECT_EQ(h.lastPairRSN, 41u);
  EXPECT_EQ(h.loggingInterval, 900);
  EXPECT_EQ(h.calibratedBore, 100.0f);
  EXPECT_EQ(h.velocityFormat, 65535u);
  EXPECT_EQ(h.pressureFormat, 3u);
  EXPECT_EQ(h.heightOffset, -10);
  EXPECT_EQ(h.statusFlags, 0x2001u);
  EXPECT_EQ(h.count, 0u);
  EXPECT_EQ(h.reserved1[0], 0xA5);  // padding is not written
  EXPECT_EQ(h.reserved2[1], 0xA5);
  EXPECT_EQ(run.dib.supplier, 0);  // the header's supplier is never stored in the DIB
}

TEST(DataHeader, DumpTracesTheWireValues) {
  test::TraceCapture trace;
  PairsRun run(VB_REQ_HEADER, 0);
  ASSERT_TRUE(run.decode(ProcessSentData,
                         test::LoggerReply(test::kGetHeader, test::DataHeaderBytes(9), {}), 332));
  EXPECT_TRUE(trace.contains("Full byteCount: " +
                             std::to_string(4 + test::DataHeaderBytes(9).size()) + "\n"));
  EXPECT_TRUE(trace.contains("hdr.siteId = " + test::kSite45.substr(0, 39) + "\n"));
  EXPECT_TRUE(trace.contains("hdr.currentDateTime = 0 :"));
  EXPECT_TRUE(trace.contains("hdr.lastPairDateTime = 4294967295 :"));
  EXPECT_TRUE(trace.contains("hdr.heightOffset = -10\n"));
  EXPECT_TRUE(trace.contains("Meter ID check has been inhibited\n"));
  EXPECT_TRUE(trace.contains("numDataPairs: 0\n"));
}

TEST(DataHeader, HeaderRequestStoresNoEntries) {
  PairsRun run(VB_REQ_HEADER, 4);
  ASSERT_TRUE(run.decode(
      ProcessSentData,
      test::LoggerReply(test::kGetHeader, test::DataHeaderBytes(9), test::CountingPairs(3)),
      332));
  EXPECT_EQ(run.header.count, 0u);
  EXPECT_EQ(run.entries[0].flow, 0xA5A5);
}

TEST(DataPairs, RawPairsUpToCapacity) {
  struct {
    const char* name;
    uint32_t capacity;
    uint32_t pairsSent;
    uint32_t expectedCount;
  } const cases[] = {
      {"no pairs", 10, 0, 0},
      {"fewer than capacity", 10, 3, 3},
      {"exactly capacity", 10, 10, 10},
      {"more than capacity: excess dropped", 10, 25, 10},
      {"capacity 0", 0, 5, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PairsRun run(VB_REQ_DOWNLOAD_RAW, c.capacity, 0, /*spare=*/2);
    ASSERT_TRUE(run.decode(ProcessSentData,
                           test::LoggerReply(test::kGetData, test::DataHeaderBytes(9),
                                             test::CountingPairs(c.pairsSent)),
                           PairsRoom(c.capacity + 15)));
    EXPECT_EQ(run.header.count, c.expectedCount);
    EXPECT_EQ(run.header.siteId[0], 'R');
    for (uint32_t i = 0; i < c.expectedCount; ++i) {
      EXPECT_EQ(run.entries[i].flow, i);
      EXPECT_EQ(run.entries[i].pressure, 1000 + i);
    }
    for (uint32_t i = c.expectedCount; i < run.entries.size(); ++i) {
      EXPECT_EQ(run.entries[i].flow, 0xA5A5) << "entry " << i << " written";
    }
  }
}

TEST(DataPairs, RawValuesAreKeptUnchanged) {
  PairsRun run(VB_REQ_DOWNLOAD_RAW, 2);
  ASSERT_TRUE(run.decode(ProcessSentData,
                         test::LoggerReply(test::kGetData, test::DataHeaderBytes(9),
                                           test::Pairs({{0xFFFF, 0x8000}, {0x7FFF, 0}})),
                         PairsRoom(2)));
  EXPECT_EQ(run.entries[0].flow, 0xFFFF);
  EXPECT_EQ(run.entries[0].pressure, 0x8000);
  EXPECT_EQ(run.entries[1].flow, 0x7FFF);
}

TEST(DataPairs, ConvertedPairsUseBoreAndHeightOffset) {
  // Expected values computed independently, as single-precision bit patterns.
  struct {
    const char* name;
    uint16_t flow;
    uint16_t pressure;
    float bore;
    uint16_t heightOffset;
    uint32_t flowBits;
    uint32_t pressureBits;
  } const cases[] = {
      {"f 1000, B 100: 0.007853982; p 2014, h 0: 1.0", 1000, 2014, 100.0f, 0, Bits(0.007853982f),
       Bits(1.0f)},
      {"p 2014, h -1000: 0.9019", 0, 2014, 100.0f, static_cast<uint16_t>(-1000), Bits(0.0f),
       0x3F66E2EC},
      {"flow 0xFFFF is -1: -B^2 x 7.853982e-10", 0xFFFF, 2014, 100.0f, 0,
       Bits(-7.853981514927e-06f), Bits(1.0f)},
      // Values where single-precision arithmetic would round differently.
      {"f 998, B 299.7; p 3000, h 1234", 998, 3000, 299.7f, 1234, 0x3D902FAF, 0x4006D9FF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConvertedRun run(VB_REQ_DOWNLOAD_CONVERTED, 1);
    ASSERT_TRUE(run.decode(ProcessSentData,
                           test::LoggerReply(test::kGetData,
                                             test::DataHeaderBytes(9, c.bore, c.heightOffset),
                                             test::Pairs({{c.flow, c.pressure}})),
                           PairsRoom(1)));
    ASSERT_EQ(run.header.count, 1u);
    EXPECT_EQ(Bits(run.entries[0].flow), c.flowBits) << run.entries[0].flow;
    EXPECT_EQ(Bits(run.entries[0].pressure), c.pressureBits) << run.entries[0].pressure;
  }
}

TEST(DataPairs, ConvertedPairsAreTraced) {
  test::TraceCapture trace;
  ConvertedRun run(VB_REQ_DOWNLOAD_CONVERTED, 1);
  ASSERT_TRUE(run.decode(ProcessSentData,
                         test::LoggerReply(test::kGetData, test::DataHeaderBytes(9, 100.0f, 0),
                                           test::Pairs({{0xFFFF, 2014}})),
                         PairsRoom(1)));
  EXPECT_TRUE(trace.contains("1. Flow, Pressure: -1, 2014\n"));
  EXPECT_TRUE(trace.contains("1. Flow, Pressure (converted): -0.000008, 1.000000\n"));
}

TEST(DataPairs, FailuresLeaveTheHostRecordsUntouched) {
  struct {
    const char* name;
    uint16_t expectedSupplier;
    uint32_t extraBytes;  // bytes after the header that are not whole pairs
    int32_t code;
    const char* message;
  } const cases[] = {
      {"supplier mismatch", 7, 0, 14, "Mismatch on supplier ID. Expected 7, got 9"},
      {"remaining 42 bytes", 0, 42, 13, "Remaining bytes is not a multiple of 4"},
      {"remaining 1 byte", 0, 1, 13, "Remaining bytes is not a multiple of 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::Bytes entries;
    for (uint32_t i = 0; i < c.extraBytes; ++i) entries.u8(0x11);
    PairsRun run(VB_REQ_DOWNLOAD_RAW, 20, c.expectedSupplier);
    DataHeaderRecord headerBefore = run.header;
    RawPair entryBefore = run.entries[0];
    EXPECT_FALSE(run.decode(
        ProcessSentData, test::LoggerReply(test::kGetData, test::DataHeaderBytes(9), entries),
        PairsRoom(20)));
    EXPECT_EQ(run.result.code, c.code);
    EXPECT_STREQ(run.result.source, "Vantbrook");
    EXPECT_STREQ(run.result.message, c.message);
    EXPECT_TRUE(test::SameBytes(run.header, headerBefore));
    EXPECT_TRUE(test::SameBytes(run.entries[0], entryBefore));
  }
}

TEST(DataPairs, MatchingSupplierPasses) {
  PairsRun run(VB_REQ_DOWNLOAD_RAW, 1, 9);
  EXPECT_TRUE(run.decode(ProcessSentData,
                         test::LoggerReply(test::kGetData, test::DataHeaderBytes(9),
                                           test::CountingPairs(1)),
                         PairsRoom(1)));
  EXPECT_EQ(run.dib.supplier, 9);
}

}  // namespace
}  // namespace vb::request
