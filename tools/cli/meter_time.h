// Host time values (seconds since 1970-01-01 00:00:00 on the meter clock) to
// and from ISO 8601 text. The meter clock has no zone: times are read and
// written exactly as given, with no conversion to or from UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vb::cli {

// The meter's time range: CDTF 0 (1990-01-01 00:00:00) to CDTF 2^31 - 1, as
// host time values.
inline constexpr uint32_t kEarliestMeterTime = 631152000u;
inline constexpr uint32_t kLatestMeterTime = 631152000u + 2147483647u;

// Parses "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" (a space
// may stand for the T). Nothing when the text is malformed, names no real
// date, carries a zone, or lies outside the meter's time range.
std::optional<uint32_t> parseMeterTime(const std::string& text);

// "YYYY-MM-DDTHH:MM:SS".
std::string formatMeterTime(uint32_t hostTime);

}  // namespace vb::cli
