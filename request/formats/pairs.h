// Loggers 1 and 2: decoding a header or download reply (the logger header,
// then flow/pressure pairs) into the host's DownloadRecord.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Decodes the reply in request->data, of which `received` bytes arrived
// (reads stop there, and at request->dataLength), into the DataHeaderRecord
// and entries that request->download names. Request code 2744 stores
// RawPair entries, 2738 ConvertedPair entries, any other code (the header
// request) the header only; at most capacity entries are stored and the
// header's count says how many.
//
// Fails, leaving the header record and the entries as they were, with code
// 14 on a supplier other than a non-zero dib->supplier, with code 13 when
// the reply's byte counts reach beyond the reply received or leave bytes
// that are not whole pairs, and with code 2 when request->download names no
// header record (or no entries array for entries to store).
bool ProcessSentData(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                     uint32_t received);

}  // namespace vb::request
