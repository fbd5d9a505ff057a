// Events: reset modes, timed waits, waiting for the first of two, wake-ups
// across threads. Re-entrant locks.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/thread.h"

namespace vb::platform {
namespace {

using Reset = Event::Reset;
constexpr uint32_t kGenerousMs = 5000;

int64_t msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - start)
      .count();
}

TEST(Event, AutoResetReleasesOneWaitPerSet) {
  Event event(Reset::Auto);
  EXPECT_FALSE(event.tryWait());
  event.set();
  event.set();
  EXPECT_TRUE(event.tryWait());
  EXPECT_FALSE(event.tryWait());
}

TEST(Event, ManualResetStaysSetUntilReset) {
  Event event(Reset::Manual, true);
  EXPECT_TRUE(event.tryWait());
  EXPECT_TRUE(event.wait(0));
  event.reset();
  EXPECT_FALSE(event.tryWait());
}

TEST(Event, TimedWaitExpires) {
  Event event(Reset::Auto);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.wait(60));
  EXPECT_GE(msSince(start), 55);
}

TEST(Event, SetFromAnotherThreadWakesWaiter) {
  Event go(Reset::Auto);
  Event done(Reset::Manual);
  Thread waiter;
  ASSERT_TRUE(waiter.start([&] {
    if (go.wait(kWaitForever)) done.set();
  }));
  go.set();
  EXPECT_TRUE(done.wait(kGenerousMs));
  EXPECT_TRUE(waiter.joinFor(kGenerousMs));
  EXPECT_FALSE(go.tryWait()) << "the waiter consumed the auto-reset signal";
}

TEST(Event, AutoResetSetReleasesExactlyOneOfTwoWaiters) {
  Event event(Reset::Auto);
  Event woke(Reset::Auto);
  std::atomic<int> released{0};
  Thread first;
  Thread second;
  const auto waitOnce = [&] {
    event.wait(kWaitForever);
    ++released;
    woke.set();
  };
  ASSERT_TRUE(first.start(waitOnce));
  ASSERT_TRUE(second.start(waitOnce));
  event.set();
  ASSERT_TRUE(woke.wait(kGenerousMs));
  EXPECT_FALSE(woke.wait(100));
  EXPECT_EQ(released.load(), 1);
  event.set();
  ASSERT_TRUE(woke.wait(kGenerousMs));
  EXPECT_TRUE(first.joinFor(kGenerousMs));
  EXPECT_TRUE(second.joinFor(kGenerousMs));
  EXPECT_EQ(released.load(), 2);
}

struct WaitAnyCase {
  const char* name;
  Reset firstMode;
  bool firstSet;
  bool secondSet;
  int expected;
  bool firstStillSet;
  bool secondStillSet;
};

const WaitAnyCase kWaitAnyCases[] = {
    {"FirstPreferredWhenBothSet", Reset::Auto, true, true, 0, false, true},
    {"SecondWhenOnlySecondSet", Reset::Auto, false, true, 1, false, false},
    {"ManualFirstNotConsumed", Reset::Manual, true, false, 0, true, false},
    {"NeitherSetTimesOut", Reset::Auto, false, false, -1, false, false},
};

TEST(Event, WaitAnyReturnsAndConsumesOnlyTheChosenEvent) {
  for (const WaitAnyCase& c : kWaitAnyCases) {
    SCOPED_TRACE(c.name);
    Event first(c.firstMode, c.firstSet);
    Event second(Reset::Auto, c.secondSet);
    EXPECT_EQ(Event::waitAny(first, second, 20), c.expected);
    EXPECT_EQ(first.tryWait(), c.firstStillSet);
    EXPECT_EQ(second.tryWait(), c.secondStillSet);
  }
}

TEST(Event, WaitAnyTimesOutAfterItsTime) {
  Event first(Reset::Auto);
  Event second(Reset::Manual);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Event::waitAny(first, second, 60), -1);
  EXPECT_GE(msSince(start), 55);
}

TEST(Event, WaitAnyWokenBySetFromAnotherThread) {
  Event first(Reset::Auto);
  Event second(Reset::Auto);
  Event waiting(Reset::Manual);
  std::atomic<int> chosen{-2};
  Thread waiter;
  ASSERT_TRUE(waiter.start([&] {
    waiting.set();
    chosen = Event::waitAny(first, second, kWaitForever);
  }));
  ASSERT_TRUE(waiting.wait(kGenerousMs));
  second.set();
  ASSERT_TRUE(waiter.joinFor(kGenerousMs));
  EXPECT_EQ(chosen.load(), 1);
  EXPECT_FALSE(second.tryWait());
}

TEST(RecursiveLock, OwnerReentersOthersWait) {
  RecursiveLock lock;
  lock.lock();
  ASSERT_TRUE(lock.try_lock());
  const auto otherThreadGetsIt = [&lock] {
    std::atomic<bool> got{false};
    Thread other;
    EXPECT_TRUE(other.start([&] {
      got = lock.try_lock();
      if (got) lock.unlock();
    }));
    EXPECT_TRUE(other.joinFor(kGenerousMs));
    return got.load();
  };
  lock.unlock();
  EXPECT_FALSE(otherThreadGetsIt()) << "still held once";
  lock.unlock();
  EXPECT_TRUE(otherThreadGetsIt());
  {
    LockGuard outer(lock);
    LockGuard inner(lock);
  }
  EXPECT_TRUE(otherThreadGetsIt());
}

}  // namespace
}  // namespace vb::platform
