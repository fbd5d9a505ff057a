// Bounded joins and the process figures used for leak checks.
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/sync.h"

namespace vb::platform {
namespace {

constexpr uint32_t kGenerousMs = 5000;

TEST(Thread, JoinForGivesUpOnRunningThreadAndJoinsEndedOne) {
  Event release(Event::Reset::Manual);
  Thread thread;
  EXPECT_FALSE(thread.started());
  ASSERT_TRUE(thread.start([&] { release.wait(kWaitForever); }));
  EXPECT_TRUE(thread.started());
  const int whileRunning = processThreadCount();
  EXPECT_GE(whileRunning, 2);
  EXPECT_FALSE(thread.joinFor(30));
  release.set();
  EXPECT_TRUE(thread.joinFor(kGenerousMs));
  EXPECT_FALSE(thread.started());
  // The kernel lists an ended thread a little longer than the join takes.
  const uint64_t giveUpAt = nowMs() + kGenerousMs;
  while (processThreadCount() >= whileRunning && nowMs() < giveUpAt) std::this_thread::yield();
  EXPECT_LT(processThreadCount(), whileRunning);
  EXPECT_TRUE(thread.start([] {})) << "a joined thread object can start again";
  EXPECT_TRUE(thread.joinFor(kGenerousMs));
}

TEST(Thread, SecondStartWhileRunningRefused) {
  Event release(Event::Reset::Manual);
  Thread thread;
  ASSERT_TRUE(thread.start([&] { release.wait(kWaitForever); }));
  EXPECT_FALSE(thread.start([] {}));
  release.set();
  EXPECT_TRUE(thread.joinFor(kGenerousMs));
}

TEST(Thread, JoinFromItsOwnBodyRefused) {
  Thread thread;
  Event joinTried(Event::Reset::Manual);
  std::atomic<bool> joinedItself{true};
  ASSERT_TRUE(thread.start([&] {
    joinedItself = thread.joinFor(0);
    joinTried.set();
  }));
  ASSERT_TRUE(joinTried.wait(kGenerousMs));
  EXPECT_FALSE(joinedItself.load());
  EXPECT_TRUE(thread.joinFor(kGenerousMs));
}

TEST(Thread, RunningThreadOutlivesItsObject) {
  auto release = std::make_shared<Event>(Event::Reset::Manual);
  auto finished = std::make_shared<Event>(Event::Reset::Manual);
  {
    Thread thread;
    ASSERT_TRUE(thread.start([release, finished] {
      release->wait(kWaitForever);
      finished->set();
    }));
  }
  release->set();
  EXPECT_TRUE(finished->wait(kGenerousMs));
}

TEST(ProcessFigures, DescriptorsAndMemoryAreCounted) {
  const int before = processOpenDescriptorCount();
  ASSERT_GT(before, 0);
  {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.open());
    EXPECT_EQ(processOpenDescriptorCount(), before + 2);
  }
  EXPECT_EQ(processOpenDescriptorCount(), before);
  EXPECT_GT(processResidentKilobytes(), 0);
}

}  // namespace
}  // namespace vb::platform
