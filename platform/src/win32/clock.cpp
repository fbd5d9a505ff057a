// The real monotonic clock (GetTickCount64, Sleep), the test clock hook and
// the host's wall clock.
#include "platform/clock.h"

#include <windows.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>

namespace vb::platform {

namespace {

class RealClock final : public Clock {
 public:
  uint64_t nowMs() override { return GetTickCount64(); }
  void sleepMs(uint32_t ms) override { Sleep(ms); }
  bool sleepUnlessSetMs(uint32_t ms, Event& wake) override { return !wake.wait(ms); }
};

std::atomic<Clock*> installedClock{nullptr};

}  // namespace

Clock& realClock() {
  static RealClock real;
  return real;
}

Clock& clock() {
  Clock* installed = installedClock.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : realClock();
}

void setClockForTesting(Clock* testClock) {
  installedClock.store(testClock, std::memory_order_release);
}

int64_t wallClockSeconds() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
}

int32_t localZoneOffsetMinutesWest() {
  // _tzset() rewrites the runtime's zone globals; one reader at a time.
  static std::mutex zoneMutex;
  std::lock_guard<std::mutex> lock(zoneMutex);
  _tzset();
  return static_cast<int32_t>(_timezone / 60);
}

}  // namespace vb::platform
