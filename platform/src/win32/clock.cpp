// The real monotonic clock (GetTickCount64, Sleep) and the host's time zone
// (the rest of the clock is in common/clock_and_modules.cpp).
#include "platform/clock.h"

#include <windows.h>

#include <time.h>

#include <mutex>

namespace vb::platform {

namespace {

class RealClock final : public Clock {
 public:
  uint64_t nowMs() override { return GetTickCount64(); }
  void sleepMs(uint32_t ms) override { Sleep(ms); }
  bool sleepUnlessSetMs(uint32_t ms, Event& wake) override { return !wake.wait(ms); }
};

}  // namespace

Clock& realClock() {
  static RealClock real;
  return real;
}

int32_t localZoneOffsetMinutesWest() {
  // _tzset() rewrites the runtime's zone globals; one reader at a time.
  static std::mutex zoneMutex;
  std::lock_guard<std::mutex> lock(zoneMutex);
  _tzset();
  return static_cast<int32_t>(_timezone / 60);
}

}  // namespace vb::platform
