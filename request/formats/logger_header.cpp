#include "formats/logger_header.h"

#include <algorithm>

#include "formats/cdtf.h"
#include "result.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

// The 4 uninterpreted bytes between the reply header and the logger header
// count towards the full byte count.
constexpr uint32_t kBytesBeforeLoggerHeader = kLoggerHeaderOffset - kReplyBodyOffset;

constexpr const char* kReplyBeyondReceived = "Reply byte count exceeds the reply received";
constexpr const char* kHeaderBeyondReply = "Header byte count exceeds the reply byte count";
constexpr const char* kNoDownloadRecord = "No download record to decode into";
constexpr const char* kNoEntriesArray = "No entries array to decode into";

bool FailByteCount(ResultRecord* result, const char* message) {
  SetResultF(result, VB_BAD_BYTE_COUNT, "%s", message);
  Trace("ERROR: %s", message);
  return false;
}

void TraceHeaderTime(const char* name, uint32_t cdtf) {
  Trace("hdr.%s = %u :", name, static_cast<unsigned>(cdtf));
  TraceTime(CdtfToHost(cdtf));
}

}  // namespace

bool ReadFullByteCount(ReplyFields& reply, ResultRecord* result, uint32_t* fullByteCount) {
  reply.seek(kReplyByteCountOffset);
  *fullByteCount = reply.u32();
  Trace("Full byteCount: %d\n", static_cast<int>(*fullByteCount));
  if (uint64_t{kReplyBodyOffset} + *fullByteCount > reply.readable()) {
    return FailByteCount(result, kReplyBeyondReceived);
  }
  return true;
}

DataHeader ReadDataHeader(ReplyFields& reply) {
  DataHeader header{};
  header.byteCount = reply.u32();
  header.formatVersion = reply.u16();
  header.type = reply.u16();
  header.supplier = reply.u16();
  reply.text(header.siteId);
  header.currentDateTime = reply.cdtf();
  header.priorDateTime = reply.cdtf();
  header.postDateTime = reply.cdtf();
  header.originalLoggerResetDateTime = reply.cdtf();
  header.correctedLoggerResetDateTime = reply.cdtf();
  header.firstPairDateTime = reply.cdtf();
  header.firstPairRSN = reply.u32();
  header.lastPairDateTime = reply.u32();
  header.lastPairRSN = reply.u32();
  header.loggingInterval = reply.u16();
  header.calibratedBore = reply.real();
  header.velocityFormat = reply.u16();
  header.pressureFormat = reply.u16();
  header.heightOffset = static_cast<int16_t>(reply.u16());
  header.statusFlags = reply.u32();
  return header;
}

TotalsHeader ReadTotalsHeader(ReplyFields& reply) {
  TotalsHeader header{};
  header.byteCount = reply.u32();
  header.formatVersion = reply.u16();
  header.type = reply.u16();
  header.supplier = reply.u16();
  reply.text(header.siteId);
  header.currentDateTime = reply.cdtf();
  header.priorDateTime = reply.cdtf();
  header.postDateTime = reply.cdtf();
  reply.text(header.auxText);
  header.auxValue = reply.real();
  header.firstRecordDateTime = reply.cdtf();
  header.firstRecordRSN = reply.u32();
  header.lastRecordDateTime = reply.u32();
  header.lastRecordRSN = reply.u32();
  header.statusFlags = reply.u32();
  return header;
}

bool CheckHeaderSupplier(const DibRecord& dib, uint16_t headerSupplier, ResultRecord* result) {
  if (!CheckSupplier(dib.supplier, headerSupplier, result)) return false;
  Trace("Meter ID check has been inhibited\n");
  return true;
}

bool LocateEntries(uint32_t fullByteCount, uint32_t headerByteCount, uint32_t entrySize,
                   const char* misfitMessage, ResultRecord* result, EntrySpan* span) {
  if (uint64_t{kBytesBeforeLoggerHeader} + headerByteCount > fullByteCount) {
    return FailByteCount(result, kHeaderBeyondReply);
  }
  uint32_t remaining = fullByteCount - headerByteCount - kBytesBeforeLoggerHeader;
  if (remaining % entrySize != 0) return FailByteCount(result, misfitMessage);
  span->offset = kLoggerHeaderOffset + headerByteCount;
  span->count = remaining / entrySize;
  return true;
}

bool FindDownloadRecord(const RequestRecord& request, ResultRecord* result,
                        DownloadRecord** download) {
  *download = static_cast<DownloadRecord*>(request.download);
  if (*download == nullptr || (*download)->header == nullptr) {
    SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL, "%s", kNoDownloadRecord);
    return false;
  }
  return true;
}

bool CheckEntriesArray(const DownloadRecord& download, uint32_t take, ResultRecord* result) {
  if (take == 0 || download.entries != nullptr) return true;
  SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL, "%s", kNoEntriesArray);
  return false;
}

void StoreDataHeader(const DataHeader& header, DataHeaderRecord* record) {
  record->recordSize = kDataHeaderRecordSize;
  record->formatVersion = header.formatVersion;
  record->type = header.type;
  record->supplier = header.supplier;
  std::copy(header.siteId, header.siteId + VB_TEXT_FIELD, record->siteId);
  record->currentDateTime = CdtfToHost(header.currentDateTime);
  record->priorDateTime = CdtfToHost(header.priorDateTime);
  record->postDateTime = CdtfToHost(header.postDateTime);
  record->originalLoggerResetDateTime = CdtfToHost(header.originalLoggerResetDateTime);
  record->correctedLoggerResetDateTime = CdtfToHost(header.correctedLoggerResetDateTime);
  record->firstPairDateTime = CdtfToHost(header.firstPairDateTime);
  record->firstPairRSN = header.firstPairRSN;
  record->lastPairDateTime = CdtfToHost(header.lastPairDateTime);
  record->lastPairRSN = header.lastPairRSN;
  record->loggingInterval = header.loggingInterval;
  record->calibratedBore = header.calibratedBore;
  record->velocityFormat = header.velocityFormat;
  record->pressureFormat = header.pressureFormat;
  record->heightOffset = header.heightOffset;
  record->statusFlags = header.statusFlags;
  record->count = 0;
}

void StoreTotalsHeader(const TotalsHeader& header, TotalsHeaderRecord* record) {
  record->recordSize = kTotalsHeaderRecordSize;
  record->formatVersion = header.formatVersion;
  record->type = header.type;
  record->supplier = header.supplier;
  std::copy(header.siteId, header.siteId + VB_TEXT_FIELD, record->siteId);
  record->currentDateTime = CdtfToHost(header.currentDateTime);
  record->priorDateTime = CdtfToHost(header.priorDateTime);
  record->postDateTime = CdtfToHost(header.postDateTime);
  std::copy(header.auxText, header.auxText + VB_TEXT_FIELD, record->auxText);
  record->auxValue = header.auxValue;
  record->firstRecordDateTime = CdtfToHost(header.firstRecordDateTime);
  record->firstRecordRSN = header.firstRecordRSN;
  record->lastRecordDateTime = CdtfToHost(header.lastRecordDateTime);
  record->lastRecordRSN = header.lastRecordRSN;
  record->statusFlags = header.statusFlags;
  record->count = 0;
}

void DumpHeader(const DataHeader& header) {
  Trace("hdr.byteCount = %u\n", static_cast<unsigned>(header.byteCount));
  Trace("hdr.formatVersion = %u\n", static_cast<unsigned>(header.formatVersion));
  Trace("hdr.type = %u\n", static_cast<unsigned>(header.type));
  Trace("hdr.supplier = %u\n", static_cast<unsigned>(header.supplier));
  Trace("hdr.siteId = %.40s\n", header.siteId);
  TraceHeaderTime("currentDateTime", header.currentDateTime);
  TraceHeaderTime("priorDateTime", header.priorDateTime);
  TraceHeaderTime("postDateTime", header.postDateTime);
  TraceHeaderTime("originalLoggerResetDateTime", header.originalLoggerResetDateTime);
  TraceHeaderTime("correctedLoggerResetDateTime", header.correctedLoggerResetDateTime);
  TraceHeaderTime("firstPairDateTime", header.firstPairDateTime);
  Trace("hdr.firstPairRSN = %u\n", static_cast<unsigned>(header.firstPairRSN));
  TraceHeaderTime("lastPairDateTime", header.lastPairDateTime);
  Trace("hdr.lastPairRSN = %u\n", static_cast<unsigned>(header.lastPairRSN));
  Trace("hdr.loggingInterval = %u\n", static_cast<unsigned>(header.loggingInterval));
  Trace("hdr.calibratedBore = %f\n", static_cast<double>(header.calibratedBore));
  Trace("hdr.velocityFormat = %u\n", static_cast<unsigned>(header.velocityFormat));
  Trace("hdr.pressureFormat = %u\n", static_cast<unsigned>(header.pressureFormat));
  Trace("hdr.heightOffset = %d\n", static_cast<int>(header.heightOffset));
  Trace("hdr.statusFlags = %u\n", static_cast<unsigned>(header.statusFlags));
}

}  // namespace vb::request
