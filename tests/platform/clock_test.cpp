// The test clock hook and the host's time zone offset.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace vb::platform {
namespace {

class ManualClock final : public Clock {
 public:
  uint64_t nowMs() override { return now_; }
  void sleepMs(uint32_t ms) override { now_ += ms; }

 private:
  uint64_t now_ = 1000;
};

TEST(Clock, TestClockReplacesSleepAndNowUntilRestored) {
  ManualClock manual;
  setClockForTesting(&manual);
  EXPECT_EQ(&clock(), &manual);
  sleepMs(30000);
  EXPECT_EQ(nowMs(), 31000u);
  EXPECT_NE(&realClock(), &manual);
  setClockForTesting(nullptr);
  EXPECT_EQ(&clock(), &realClock());
  const uint64_t before = nowMs();
  sleepMs(20);
  EXPECT_GE(nowMs(), before + 20);
}

// Sets TZ for the life of the object and puts back what was there.
class ZoneSetting {
 public:
  explicit ZoneSetting(const char* zone) {
    if (const char* old = getenv("TZ")) previous_ = old;
    setenv("TZ", zone, 1);
  }
  ~ZoneSetting() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> previous_;
};

struct ZoneCase {
  const char* zone;
  int32_t minutesWest;
};

TEST(Clock, ZoneOffsetIsStandardTimeMinutesWest) {
  const ZoneCase cases[] = {
      {"UTC0", 0}, {"EST5EDT,M3.2.0,M11.1.0", 300}, {"CET-1CEST,M3.5.0,M10.5.0/3", -60},
      {"IST-5:30", -330}};
  for (const ZoneCase& c : cases) {
    ZoneSetting zone(c.zone);
    EXPECT_EQ(localZoneOffsetMinutesWest(), c.minutesWest) << c.zone;
  }
}

TEST(Clock, WallClockIsPlausible) {
  // 2020-01-01 and 2100-01-01.
  EXPECT_GT(wallClockSeconds(), 1577836800);
  EXPECT_LT(wallClockSeconds(), 4102444800);
}

}  // namespace
}  // namespace vb::platform
