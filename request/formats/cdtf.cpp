#include "formats/cdtf.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "trace.h"

namespace vb::request {
namespace {

constexpr int64_t kSecondsPerMinute = 60;

// std::localtime hands back a shared buffer; our own callers take turns.
std::mutex g_localTimeMutex;

bool LocalTime(uint32_t hostValue, std::tm* out) {
  std::time_t value = static_cast<std::time_t>(hostValue);
  std::lock_guard<std::mutex> lock(g_localTimeMutex);
  const std::tm* local = std::localtime(&value);
  if (local == nullptr) return false;
  *out = *local;
  return true;
}

}  // namespace

int32_t HostClockToCdtfAt(int64_t utcSeconds, int32_t minutesWest) {
  int64_t localStandard = utcSeconds - kSecondsPerMinute * minutesWest;
  return static_cast<int32_t>(static_cast<uint32_t>(localStandard - kCdtfEpochOffset));
}

void TraceTime(uint32_t hostValue) {
  static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (!LocalTime(hostValue, &local) || local.tm_wday < 0 || local.tm_wday > 6 ||
      local.tm_mon < 0 || local.tm_mon > 11) {
    Trace("Invalid time value");
    return;
  }
  const char* suffix = local.tm_hour >= 12 ? "PM" : "AM";
  int hour = local.tm_hour > 12 ? local.tm_hour - 12 : local.tm_hour;
  if (hour == 0) hour = 12;
  // The standard asctime text, built here so that no second shared buffer is
  // involved.
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kWeekdays[local.tm_wday],
                kMonths[local.tm_mon], local.tm_mday, hour, local.tm_min, local.tm_sec,
                1900 + local.tm_year);
  Trace("%.19s %s\n", text, suffix);
}

}  // namespace vb::request
