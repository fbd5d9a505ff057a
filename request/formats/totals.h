// Logger 3: decoding a header or download reply (the totals header, then
// 40-byte totals records, each with its own CRC-16) into the host's
// DownloadRecord.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Decodes the reply in request->data, of which `received` bytes arrived
// (reads stop there, and at request->dataLength), into the
// TotalsHeaderRecord and TotalsRecord entries that request->download names.
// Every request code but the header request (2745) stores entries, at most
// capacity of them; the header's count says how many. A record whose CRC
// does not match is stored with crcValid 0 and is not an error.
//
// Fails, leaving the header record and the entries as they were, with code
// 14 on a supplier other than a non-zero dib->supplier, with code 13 when
// the reply's byte counts reach beyond the reply received or leave bytes
// that are not whole records, and with code 2 when request->download names
// no header record (or no entries array for entries to store).
bool ProcessSentTotals(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                       uint32_t received);

}  // namespace vb::request
