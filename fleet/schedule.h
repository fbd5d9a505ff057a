// When a meter is due, late or missing: every meter is expected to be
// collected once per its interval (fleet file key `interval`, "15m", "6h",
// "1d"; one day by default). A collection may come a quarter of an interval
// later than that and still count as on time; past that the meter is late,
// and a whole interval later still it is missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vb::fleet {

inline constexpr int64_t kDefaultIntervalS = 86400;
// Calls a meter may take a day when the fleet file gives no budget: every
// call wakes the meter and costs its battery.
inline constexpr uint32_t kDefaultMaxCallsPerDay = 4;
inline constexpr uint32_t kMaxCallsPerDayLimit = 1440;
// Longest interval a fleet file may give: a year.
inline constexpr int64_t kMaxIntervalS = 366 * 86400;

// "90s", "15m", "6h", "1d" (a whole number and a unit); nothing for any
// other text.
std::optional<int64_t> parseDuration(const std::string& text);
// The same written back, in the largest unit that divides it.
std::string formatDuration(int64_t seconds);

int64_t lateAfterS(int64_t intervalS);
int64_t missingAfterS(int64_t intervalS);

// The part of the day in which a meter may be called, in minutes since
// midnight of the host's local time; a window may wrap past midnight
// ("22:00-04:00").
struct TimeWindow {
  int startMinute = 0;
  int endMinute = 0;
  bool contains(int minuteOfDay) const;
  // Minutes from minuteOfDay until the window opens (0 inside it).
  int minutesUntilOpen(int minuteOfDay) const;
};
// "01:00-05:00"; nothing for any other text or an empty window.
std::optional<TimeWindow> parseWindow(const std::string& text);
std::string formatWindow(const TimeWindow& window);

// When, how often and how many times a day a meter is called; unset fields
// are taken from the meter's line, then from the file's [defaults].
struct Schedule {
  std::optional<int64_t> intervalS;
  std::optional<TimeWindow> window;
  std::optional<uint32_t> maxCallsPerDay;
};

// A meter's state as status, the service and their checks report it.
enum class MeterState { Ok, Late, Missing, Failing, Never };
const char* meterStateName(MeterState state);

// From the meter's last complete collection (unset: never), its interval
// and whether it is failing (its `failing` alarm is open).
MeterState meterState(std::optional<int64_t> lastSuccessAt, int64_t intervalS, bool failing,
                      int64_t now);

}  // namespace vb::fleet
