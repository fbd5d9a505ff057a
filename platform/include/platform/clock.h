// Sleep and a monotonic clock. Unit tests may install a test clock so that
// dialogues with multi-second pauses run in milliseconds.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace vb::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t nowMs() = 0;          // monotonic milliseconds
  virtual void sleepMs(uint32_t ms) = 0;
  // Sleeps like sleepMs, but ends early once `wake` is set (from any
  // thread); give it a manual-reset event, which the sleep leaves set.
  // True when the whole time passed, false when the event cut it short. A
  // clock whose time runs only in sleepMs (a test clock) sleeps the whole
  // time and looks at the event before and after.
  virtual bool sleepUnlessSetMs(uint32_t ms, Event& wake) {
    if (wake.tryWait()) return false;
    sleepMs(ms);
    return !wake.tryWait();
  }
};

// The clock in force (the real one unless a test installed another).
Clock& clock();
inline uint64_t nowMs() { return clock().nowMs(); }
inline void sleepMs(uint32_t ms) { clock().sleepMs(ms); }
inline bool sleepUnlessSetMs(uint32_t ms, Event& wake) { return clock().sleepUnlessSetMs(ms, wake); }

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
