// Meter time (CDTF: signed seconds since 1990-01-01 00:00:00 on the meter
// clock) and the host time value the decoded records hold (unsigned seconds
// since 1970-01-01 00:00:00 on the same clock, no zone conversion).
#pragma once

#include <cstdint>

namespace vb::request {

// Seconds from 1970-01-01 to 1990-01-01 (7305 days).
constexpr uint32_t kCdtfEpochOffset = 631152000;

// CDTF + offset, wrapping in 32 bits.
constexpr uint32_t CdtfToHost(uint32_t cdtf) { return cdtf + kCdtfEpochOffset; }

// Host value - offset, wrapping in 32 bits; values before 1990 are not
// refused and wrap.
constexpr uint32_t HostToCdtf(uint32_t hostValue) { return hostValue - kCdtfEpochOffset; }

// The meter time for utcSeconds on a host whose standard time lies
// minutesWest minutes west of UTC: local standard time (no daylight saving)
// as CDTF, wrapping in 32 bits.
int32_t HostClockToCdtfAt(int64_t utcSeconds, int32_t minutesWest);

// The meter time that sets the meter clock to the host's local standard time
// now.
int32_t HostClockToCdtf();

// Writes a host time value to the trace as weekday, month, day and a 12-hour
// clock time with AM/PM, e.g. "Wed Jan 15 01:05:00 PM".
void TraceTime(uint32_t hostValue);

}  // namespace vb::request
