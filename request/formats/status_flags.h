// The texts of a logger header's statusFlags bits, for the host and the
// trace. Of the bits the library itself acts only on "DIB changed"
// (VB_STATUS_DIB_CHANGED).
#pragma once

#include <cstdint>
#include <vector>

#include "vantbrook/records.h"

namespace vb::request {

// VB_STATUS_FLAG_TEXT_COUNT texts: entry 0 for no bit set, entry k + 1 for
// bit k.
const char* const* StatusFlagTexts();

// The texts that describe statusFlags, in bit order: "No error indications"
// alone for 0, otherwise one text per set bit 0..13. Bits above 13 have no
// text and are left out.
std::vector<const char*> StatusFlagDescriptions(uint32_t statusFlags);

}  // namespace vb::request
