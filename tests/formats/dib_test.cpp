// Decoding the identity block into the host's DibRecord.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "formats/dib.h"
#include "reply_bytes.h"
#include "trace_capture.h"

namespace vb::request {
namespace {

using test::Bytes;

constexpr uint32_t kDibRoom = 4144;
const char* const kTextNames[15] = {"flowcont", "trancont", "prescont", "transtag", "presstag",
                                    "manufact", "transtyp", "business", "location", "flowcali",
                                    "prescali", "usermess", "tranvers", "protvers", "loggvers"};
const std::string kMeterId50 = "M0123456789012345678901234567890123456789012345678";

Bytes DibBody(uint16_t supplier) {
  Bytes body;
  body.u32(0x00012345).u16(3).u16(0xBEEF).u16(supplier).text(kMeterId50);
  body.u32(0xFFFFFFFF).u32(0x01020304).u16(0x0506).u32(0x0A0B0C0D).u32(0x11121314);
  body.f32(0.1f).u16(0x7777);  // 0x3DCCCCCD: no zero bytes
  for (const char* name : kTextNames) body.text(std::string("text of ") + name);
  return body;
}

struct DibRun {
  DibRecord dib;
  RequestRecord request{};
  ResultRecord result{};
  bool ok = false;

  explicit DibRun(uint16_t expectedSupplier) {
    test::FillPattern(&dib);
    dib.supplier = expectedSupplier;
  }
  void decode(const Bytes& reply) {
    test::ReplyBuffer buffer(reply);
    buffer.attach(&request, kDibRoom);
    ok = ProcessDIBData(&dib, &request, &result, buffer.size());
  }
};

const char* Texts(const DibRecord& dib, int index) {
  const char* const fields[15] = {dib.flowcont, dib.trancont, dib.prescont, dib.transtag,
                                  dib.presstag, dib.manufact, dib.transtyp, dib.business,
                                  dib.location, dib.flowcali, dib.prescali, dib.usermess,
                                  dib.tranvers, dib.protvers, dib.loggvers};
  return fields[index];
}

TEST(IdentityBlock, DecodesEveryFieldInWireOrder) {
  DibRun run(0);
  run.decode(test::Reply(11, 2, DibBody(9)));
  ASSERT_TRUE(run.ok);
  const DibRecord& dib = run.dib;
  EXPECT_EQ(dib.strusize, 0x2345);  // low 16 bits of 0x00012345
  EXPECT_EQ(dib.struvers, 3);
  EXPECT_EQ(dib.supplier, 9);       // any supplier accepted and stored
  EXPECT_EQ(std::string(dib.meter_id), kMeterId50.substr(0, 39));
  EXPECT_EQ(dib.last_alt, 631152000u);  // negative time read as 0
  EXPECT_EQ(dib.trans_id, 0x01020304u);
  EXPECT_EQ(dib.transpin, 0x0506);
  EXPECT_EQ(dib.flows_id, 0x0A0B0C0Du);
  EXPECT_EQ(dib.press_id, 0x11121314u);
  EXPECT_EQ(dib.calibore, 0.1f);
  EXPECT_EQ(dib.aux_word, 0x7777);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(std::string(Texts(dib, i)), std::string("text of ") + kTextNames[i]);
  }
  // Bytes the record reserves are not written.
  EXPECT_EQ(dib.reserved1[0], 0xA5);
  EXPECT_EQ(dib.reserved2[1], 0xA5);
}

TEST(IdentityBlock, SupplierCheck) {
  struct {
    uint16_t expected;
    uint16_t replied;
    bool ok;
    const char* message;
  } const cases[] = {
      {9, 9, true, ""},
      {7, 9, false, "Mismatch on supplier ID. Expected 7, got 9"},
      {65535, 1, false, "Mismatch on supplier ID. Expected 65535, got 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    DibRun run(c.expected);
    DibRecord before = run.dib;
    run.decode(test::Reply(11, 2, DibBody(c.replied)));
    EXPECT_EQ(run.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(run.dib.supplier, c.replied);
      continue;
    }
    EXPECT_EQ(run.result.code, 14);
    EXPECT_STREQ(run.result.source, "Vantbrook");
    EXPECT_STREQ(run.result.message, c.message);
    // strusize and struvers are already stored; nothing after them is.
    EXPECT_EQ(run.dib.strusize, 0x2345);
    EXPECT_EQ(run.dib.struvers, 3);
    EXPECT_EQ(std::memcmp(&run.dib.supplier, &before.supplier,
                          sizeof(DibRecord) - offsetof(DibRecord, supplier)),
              0);
  }
}

TEST(IdentityBlock, ShortReplyLeavesTheMissingFieldsEmpty) {
  Bytes reply = test::Reply(11, 2, DibBody(9));
  // Cut inside calibore: it and everything after it read as 0 or empty, and
  // aux_word is not taken from calibore's first bytes.
  const uint32_t calibore = 22 + static_cast<uint32_t>(kMeterId50.size()) + 1 + 4 + 4 + 2 + 4 + 4;
  reply.truncate(calibore + 2);
  DibRun run(0);
  run.decode(reply);
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.dib.press_id, 0x11121314u);
  EXPECT_EQ(run.dib.calibore, 0.0f);
  EXPECT_EQ(run.dib.aux_word, 0);
  for (int i = 0; i < 15; ++i) EXPECT_STREQ(Texts(run.dib, i), "");
}

TEST(IdentityBlock, EmptyReplyReadsNothing) {
  DibRun run(0);
  run.decode(Bytes());
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.dib.supplier, 0);
  EXPECT_STREQ(run.dib.meter_id, "");
  EXPECT_EQ(run.dib.last_alt, 631152000u);
}

TEST(IdentityBlock, ReadsStopAtTheReplyRoom) {
  // More bytes received than the room: the room bounds the reads.
  Bytes reply = test::Reply(11, 2, DibBody(9));
  DibRun run(0);
  test::ReplyBuffer buffer(reply);
  buffer.attach(&run.request, 22);
  ASSERT_TRUE(ProcessDIBData(&run.dib, &run.request, &run.result, buffer.size()));
  EXPECT_EQ(run.dib.supplier, 9);
  EXPECT_STREQ(run.dib.meter_id, "");
}

TEST(IdentityBlock, DumpWritesOneLinePerFieldButAuxWord) {
  DibRun run(0);
  run.decode(test::Reply(11, 2, DibBody(9)));
  test::TraceCapture trace;
  DumpDib(run.dib);
  EXPECT_EQ(trace.captured().size(), 25u);
  EXPECT_EQ(trace.captured().front(), "  strusize: 9029\n");
  EXPECT_TRUE(trace.contains("  supplier: 9\n"));
  EXPECT_TRUE(trace.contains("  last_alt: 631152000\n"));
  EXPECT_TRUE(trace.contains("  calibore: 0.100000\n"));
  EXPECT_EQ(trace.captured().back(), "  loggvers: text of loggvers\n");
}

}  // namespace
}  // namespace vb::request
