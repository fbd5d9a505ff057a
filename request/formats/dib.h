// The meter's identity block (DIB): decoding its reply into the host's
// DibRecord, and the record's trace dump.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Decodes the identity-block reply in request->data, of which `received`
// bytes arrived (reads stop there, and at request->dataLength), into *dib.
// A non-zero dib->supplier is the expected supplier: another supplier in the
// reply fails with code 14 after strusize and struvers have been stored and
// leaves the rest of the record as it was. Otherwise the reply's supplier and
// every field are stored; fields the reply does not reach read as 0 or empty.
bool ProcessDIBData(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                    uint32_t received);

// Writes the record to the trace, one line per field (aux_word excepted).
void DumpDib(const DibRecord& dib);

}  // namespace vb::request
