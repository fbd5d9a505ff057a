// The meter time of a stored pair. The meter sends pairs without their
// times; the store keeps a time only where the logger header fixes it, so
// that no pair is ever stored with a time that belongs to another:
//   - forward from the first pair, one logging interval apart, where the
//     header's first and last pairs agree with that count;
//   - else back from the last pair, for the pairs logged since the meter's
//     clock was last set (the header says when), which the logger wrote one
//     interval apart up to its last pair.
// Anywhere else the pair has no time.
#pragma once

#include <cstdint>
#include <optional>

#include "vantbrook/records.h"

namespace vb::fleet {

// The library delivers a time the meter marks as invalid as the first
// second of 1990 (the meter clock's zero), so that value counts as invalid.
inline constexpr uint32_t kMeterClockZero = 631152000;
inline constexpr uint32_t kLatestMeterTime = kMeterClockZero + 0x7FFFFFFFu;

bool validMeterTime(uint32_t hostTime);

std::optional<uint32_t> pairTime(const DataHeaderRecord& header, uint32_t rsn);

}  // namespace vb::fleet
