#include "schedule.h"

#include <cctype>
#include <cstdio>

namespace vb::fleet {

namespace {

struct Unit {
  char letter;
  int64_t seconds;
};
constexpr Unit kUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
constexpr int kMinutesPerDay = 1440;

}  // namespace

std::optional<int64_t> parseDuration(const std::string& text) {
  if (text.size() < 2 || text.size() > 8) return std::nullopt;
  int64_t number = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    number = number * 10 + (text[i] - '0');
  }
  for (const Unit& unit : kUnits) {
    if (text.back() == unit.letter && number > 0) return number * unit.seconds;
  }
  return std::nullopt;
}

std::string formatDuration(int64_t seconds) {
  for (const Unit& unit : kUnits) {
    if (seconds % unit.seconds == 0) return std::to_string(seconds / unit.seconds) + unit.letter;
  }
  return std::to_string(seconds) + "s";
}

bool TimeWindow::contains(int minuteOfDay) const {
  if (startMinute < endMinute) return minuteOfDay >= startMinute && minuteOfDay < endMinute;
  return minuteOfDay >= startMinute || minuteOfDay < endMinute;
}

int TimeWindow::minutesUntilOpen(int minuteOfDay) const {
  if (contains(minuteOfDay)) return 0;
  return (startMinute - minuteOfDay + kMinutesPerDay) % kMinutesPerDay;
}

std::optional<TimeWindow> parseWindow(const std::string& text) {
  auto minute = [](const std::string& clock) -> std::optional<int> {
    if (clock.size() != 5 || clock[2] != ':') return std::nullopt;
    for (size_t i : {0u, 1u, 3u, 4u}) {
      if (!std::isdigit(static_cast<unsigned char>(clock[i]))) return std::nullopt;
    }
    const int hours = (clock[0] - '0') * 10 + (clock[1] - '0');
    const int minutes = (clock[3] - '0') * 10 + (clock[4] - '0');
    if (hours > 24 || minutes > 59 || (hours == 24 && minutes != 0)) return std::nullopt;
    return hours * 60 + minutes;
  };
  if (text.size() != 11 || text[5] != '-') return std::nullopt;
  const std::optional<int> start = minute(text.substr(0, 5));
  const std::optional<int> end = minute(text.substr(6));
  if (!start || !end || *start == *end) return std::nullopt;
  return TimeWindow{*start % kMinutesPerDay, *end % kMinutesPerDay};
}

std::string formatWindow(const TimeWindow& window) {
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d-%02d:%02d", window.startMinute / 60,
                window.startMinute % 60, window.endMinute / 60, window.endMinute % 60);
  return text;
}

int64_t lateAfterS(int64_t intervalS) { return intervalS + intervalS / 4; }

int64_t missingAfterS(int64_t intervalS) { return 2 * intervalS + intervalS / 4; }

const char* meterStateName(MeterState state) {
  switch (state) {
    case MeterState::Late:
      return "late";
    case MeterState::Missing:
      return "missing";
    case MeterState::Failing:
      return "failing";
    case MeterState::Never:
      return "never";
    case MeterState::Ok:
      break;
  }
  return "ok";
}

MeterState meterState(std::optional<int64_t> lastSuccessAt, int64_t intervalS, bool failing,
                      int64_t now) {
  if (failing) return MeterState::Failing;
  if (!lastSuccessAt) return MeterState::Never;
  const int64_t age = now - *lastSuccessAt;
  if (age > missingAfterS(intervalS)) return MeterState::Missing;
  if (age > lateAfterS(intervalS)) return MeterState::Late;
  return MeterState::Ok;
}

}  // namespace vb::fleet
