// Record numbers and times of the entries a download brought back. The meter
// sends the entries without their record numbers, and pairs without their
// times: both follow from the logger header and the selection where these fix
// them, and stay unknown where they do not, so that no entry is ever shown
// with a number or time that belongs to another.
#pragma once

#include <cstdint>
#include <optional>

#include "options.h"
#include "outcome.h"

namespace vb::cli {

// True for a host time value the meter's clock can hold. The decoders store
// a time the meter marks as invalid (a negative one) as 1990-01-01T00:00:00,
// so that value counts as not valid either.
bool validMeterTime(uint32_t hostTime);

// Record number of the first entry of a download, or none where the header
// and the selection do not fix it. capacity: the room the download had; a
// reply that filled it may have held more entries than were kept.
std::optional<uint32_t> firstEntryRsn(const LoggerData& logger, const DownloadOptions& download,
                                      uint32_t capacity);

// Time of the pair with the given record number, counted from the header's
// first pair and logging interval; none when the header's times do not fix
// it (an invalid first time, no interval, or a last time that the interval
// does not reach).
std::optional<uint32_t> pairTime(const DataHeaderRecord& header, uint32_t rsn);

}  // namespace vb::cli
