// Bounded joins and the process figures used for leak checks.
#include "platform/thread.h"

#include <gtest/gtest.h>

#include "platform/pty.h"
#include "platform/sync.h"

namespace vb::platform {
namespace {

constexpr uint32_t kGenerousMs = 5000;

TEST(Thread, JoinForGivesUpOnRunningThreadAndJoinsEndedOne) {
  Event release(Event::Reset::Manual);
  Thread thread;
  EXPECT_FALSE(thread.started());
  const int threadsBefore = processThreadCount();
  ASSERT_TRUE(thread.start([&] { release.wait(kWaitForever); }));
  EXPECT_TRUE(thread.started());
  EXPECT_EQ(processThreadCount(), threadsBefore + 1);
  EXPECT_FALSE(thread.joinFor(30));
  release.set();
  EXPECT_TRUE(thread.joinFor(kGenerousMs));
  EXPECT_FALSE(thread.started());
  EXPECT_EQ(processThreadCount(), threadsBefore);
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
