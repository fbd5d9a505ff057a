#include "formats/totals.h"

#include <algorithm>

#include "formats/cdtf.h"
#include "formats/logger_header.h"
#include "formats/record_crc.h"
#include "formats/reply.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

// A totals record on the wire: time, eight totals, two single bytes, and the
// CRC-16 of everything before it, low byte first.
constexpr uint32_t kTotalsWireSize = 40;
constexpr uint32_t kTotalsCrcOffset = 38;
constexpr uint32_t kTotalsCount = 8;
constexpr const char* kTotalsMisfit = "Remaining bytes am not a multiple of 40";

void StoreTotals(ReplyFields& reply, uint32_t offset, uint32_t take, RecordCrc& crc,
                 TotalsRecord* records, TotalsHeaderRecord* header) {
  for (uint32_t i = 0; i < take; ++i, offset += kTotalsWireSize) {
    // The whole record lies within the reply: LocateEntries has checked it.
    const uint8_t* wire = reply.message() + offset;
    TotalsRecord& record = records[i];
    header->count = i + 1;
    uint16_t expected = static_cast<uint16_t>(wire[kTotalsCrcOffset] |
                                              (wire[kTotalsCrcOffset + 1] << 8));
    record.crcValid = crc.check(wire, kTotalsCrcOffset, expected) ? 1 : 0;
    reply.seek(offset);
    record.dateTime = CdtfToHost(reply.cdtf());
    for (uint32_t t = 0; t < kTotalsCount; ++t) record.totals[t] = reply.u32();
    record.extra1 = reply.u8();
    record.extra2 = reply.u8();
  }
}

}  // namespace

bool ProcessSentTotals(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                       uint32_t received) {
  RecordCrc crc;
  DownloadRecord* download = nullptr;
  if (!FindDownloadRecord(*request, result, &download)) return false;

  ReplyFields reply(*request, received, kReplyByteCountOffset);
  uint32_t fullByteCount = 0;
  if (!ReadFullByteCount(reply, result, &fullByteCount)) return false;
  reply.seek(kLoggerHeaderOffset);
  TotalsHeader header = ReadTotalsHeader(reply);
  if (!CheckHeaderSupplier(*dib, header.supplier, result)) return false;
  EntrySpan span{};
  if (!LocateEntries(fullByteCount, header.byteCount, kTotalsWireSize, kTotalsMisfit, result,
                     &span)) {
    return false;
  }
  Trace("numRecords: %d\n", static_cast<int>(span.count));

  bool storesEntries = request->requestCode != VB_REQ_HEADER;
  uint32_t take = storesEntries ? std::min(span.count, download->capacity) : 0;
  if (!CheckEntriesArray(*download, take, result)) return false;

  auto* record = static_cast<TotalsHeaderRecord*>(download->header);
  StoreTotalsHeader(header, record);
  StoreTotals(reply, span.offset, take, crc, static_cast<TotalsRecord*>(download->entries),
              record);
  return true;
}

}  // namespace vb::request
