// The logger header that opens every header and download reply, and the
// header stage that both logger decoders (pairs.h, totals.h) run before their
// entries: byte counts, supplier check, the host's header record.
//
// Reply layout: the reply header's byte count (bytes 6-9, the "full byte
// count") counts the bytes after offset 10; bytes 10-13 are not interpreted;
// the logger header starts at 14 with its own byteCount (its length counted
// from its first byte); the entries follow it and run to the end of the
// full byte count.
#pragma once

#include <cstdint>

#include "formats/reply.h"
#include "vantbrook/records.h"

namespace vb::request {

// The header of loggers 1 and 2 as sent; times are still meter times (CDTF).
struct DataHeader {
  uint32_t byteCount;
  uint16_t formatVersion;
  uint16_t type;
  uint16_t supplier;
  char siteId[VB_TEXT_FIELD];
  uint32_t currentDateTime;
  uint32_t priorDateTime;
  uint32_t postDateTime;
  uint32_t originalLoggerResetDateTime;
  uint32_t correctedLoggerResetDateTime;
  uint32_t firstPairDateTime;
  uint32_t firstPairRSN;
  uint32_t lastPairDateTime;  // taken as sent: no validity test
  uint32_t lastPairRSN;
  uint16_t loggingInterval;
  float calibratedBore;
  uint16_t velocityFormat;
  uint16_t pressureFormat;
  int16_t heightOffset;
  uint32_t statusFlags;
};

// The header of logger 3 as sent; times are still meter times (CDTF).
struct TotalsHeader {
  uint32_t byteCount;
  uint16_t formatVersion;
  uint16_t type;
  uint16_t supplier;
  char siteId[VB_TEXT_FIELD];
  uint32_t currentDateTime;
  uint32_t priorDateTime;
  uint32_t postDateTime;
  char auxText[VB_TEXT_FIELD];
  float auxValue;
  uint32_t firstRecordDateTime;
  uint32_t firstRecordRSN;
  uint32_t lastRecordDateTime;  // taken as sent: no validity test
  uint32_t lastRecordRSN;
  uint32_t statusFlags;
};

// Host record sizes written into recordSize.
constexpr uint16_t kDataHeaderRecordSize = 112;
constexpr uint32_t kTotalsHeaderRecordSize = 132;

// Where the entries of a reply lie.
struct EntrySpan {
  uint32_t offset;  // from the reply's marker
  uint32_t count;   // entries the reply holds
};

// Reads the full byte count (traced as "Full byteCount") and fails with code
// 13 when it reaches beyond the reply bytes that may be read.
bool ReadFullByteCount(ReplyFields& reply, ResultRecord* result, uint32_t* fullByteCount);

// Reads a header from the reply's cursor on.
DataHeader ReadDataHeader(ReplyFields& reply);
TotalsHeader ReadTotalsHeader(ReplyFields& reply);

// The supplier check of the header stage; the header's supplier is only
// compared, never stored in the DibRecord.
bool CheckHeaderSupplier(const DibRecord& dib, uint16_t headerSupplier, ResultRecord* result);

// Locates the entries of entrySize bytes after a header of headerByteCount
// bytes. Fails with code 13 when the header reaches beyond the full byte
// count, or with misfitMessage when the remaining bytes are not whole
// entries.
bool LocateEntries(uint32_t fullByteCount, uint32_t headerByteCount, uint32_t entrySize,
                   const char* misfitMessage, ResultRecord* result, EntrySpan* span);

// The host's DownloadRecord and header record, or code 2 when the request
// does not point at them.
bool FindDownloadRecord(const RequestRecord& request, ResultRecord* result,
                        DownloadRecord** download);

// Fails with code 2 when take entries are to be stored but the DownloadRecord
// has no entries array.
bool CheckEntriesArray(const DownloadRecord& download, uint32_t take, ResultRecord* result);

// Writes the host header record: recordSize, every field with its times as
// host time values, and count 0. Padding bytes are left as they were.
void StoreDataHeader(const DataHeader& header, DataHeaderRecord* record);
void StoreTotalsHeader(const TotalsHeader& header, TotalsHeaderRecord* record);

// Writes a data header to the trace in wire order, each time also rendered
// by TraceTime.
void DumpHeader(const DataHeader& header);

}  // namespace vb::request
