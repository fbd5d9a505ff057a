// Sleep and a monotonic clock. Unit tests may install a test clock so that
// dialogues with multi-second pauses run in milliseconds.
#pragma once

#include <cstdint>

namespace vb::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t nowMs() = 0;          // monotonic milliseconds
  virtual void sleepMs(uint32_t ms) = 0;
};

// The clock in force (the real one unless a test installed another).
Clock& clock();
inline uint64_t nowMs() { return clock().nowMs(); }
inline void sleepMs(uint32_t ms) { clock().sleepMs(ms); }

// The real monotonic clock, whatever is installed.
Clock& realClock();

// Installs a clock for this process; nullptr restores the real one. Not
// thread-safe against concurrent sleeps: install before starting work.
void setClockForTesting(Clock* clock);

// Host wall clock: seconds since 1970-01-01 UTC, and the local time zone's
// standard offset in minutes west of UTC (no daylight saving), read from the
// runtime's time-zone setting (TZ).
int64_t wallClockSeconds();
int32_t localZoneOffsetMinutesWest();

}  // namespace vb::platform
