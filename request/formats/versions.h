// The meter's version texts: decoding the version reply into the host's
// VersionRecord.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Stores the eight texts of the reply in request->data, of which `received`
// bytes arrived (reads stop there, and at request->dataLength), in reply
// order into the VersionRecord that request->download points to. Texts the
// reply does not reach are empty. The DibRecord is not used. Succeeds
// whenever request->download names a record; without one it fails with
// code 2.
bool ProcessVersionInfo(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                        uint32_t received);

}  // namespace vb::request
