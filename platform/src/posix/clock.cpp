// The real monotonic clock and the host's time zone (the rest of the clock is
// in common/clock_and_modules.cpp).
#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace vb::platform {

namespace {

class RealClock final : public Clock {
 public:
  uint64_t nowMs() override {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
  }
  void sleepMs(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  bool sleepUnlessSetMs(uint32_t ms, Event& wake) override { return !wake.wait(ms); }
};

}  // namespace

Clock& realClock() {
  static RealClock real;
  return real;
}

int32_t localZoneOffsetMinutesWest() {
  // tzset() rewrites the C library's zone globals; one reader at a time.
  static std::mutex zoneMutex;
  std::lock_guard<std::mutex> lock(zoneMutex);
  tzset();
  return static_cast<int32_t>(timezone / 60);
}

}  // namespace vb::platform
