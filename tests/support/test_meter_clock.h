// The meter clock the simulated meters of the tests start at. The logger data
// ends at the meter clock, so the bytes of every reply (and with them the
// stuffing, frame boundaries and resume points) follow it: tests pin it, and
// are the same at every hour. VANTBROOK_TEST_METER_CLOCK moves it to another
// meter time ("YYYY-MM-DDTHH:MM:SS"), or to "live" for the host's clock, so
// that scripts/clock-sweep can run the suites at other days and times.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "metersim/meter_clock.h"
#include "metersim/simulator.h"

namespace vb::test {

inline constexpr char kMeterClockVariable[] = "VANTBROOK_TEST_METER_CLOCK";
inline constexpr char kLiveMeterClock[] = "live";

enum class MeterClock { Pinned, Live };

// The meter time the tests run at, as text ("live" for the host's clock).
inline std::string TestMeterClockText() {
  const char* chosen = std::getenv(kMeterClockVariable);
  return chosen != nullptr && *chosen != '\0' ? chosen : VANTBROOK_DEFAULT_TEST_METER_CLOCK;
}

// The same as CDTF, 0 for the host's clock. A text that is no meter time
// stops the test program: every result would otherwise be for a clock
// nobody chose.
inline int32_t TestMeterClock() {
  const std::string text = TestMeterClockText();
  if (text == kLiveMeterClock) return 0;
  int32_t cdtf = 0;
  if (!metersim::parseMeterClock(text, &cdtf)) {
    std::fprintf(stderr, "%s=%s is no meter time (YYYY-MM-DDTHH:MM:SS or %s)\n",
                 kMeterClockVariable, text.c_str(), kLiveMeterClock);
    std::abort();
  }
  return cdtf;
}

// Options with the meter clock the tests run at, or following the host's
// clock.
inline metersim::Options WithMeterClock(metersim::Options options,
                                        MeterClock clock = MeterClock::Pinned) {
  options.clockAtStart = clock == MeterClock::Pinned ? TestMeterClock() : 0;
  return options;
}

// The metersim program's arguments for the same clock.
inline std::vector<std::string> MeterClockArguments() {
  if (TestMeterClock() == 0) return {};
  return {"--clock", TestMeterClockText()};
}

}  // namespace vb::test
