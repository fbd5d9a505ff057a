// The per-thread last OS error and its text.
#include "platform/error.h"

#include <gtest/gtest.h>

#include <errno.h>

#include "platform/thread.h"

namespace vb::platform {
namespace {

TEST(LastError, TextIsTheSystemMessageWithoutLineBreak) {
  const std::pair<int, const char*> errors[] = {
      {ENOENT, "No such file or directory"},
      {EBUSY, "Device or resource busy"},
      {ECANCELED, "Operation canceled"},
      {ETIMEDOUT, "Connection timed out"},
  };
  for (const auto& [code, text] : errors) {
    setLastErrorCode(code);
    EXPECT_EQ(lastErrorCode(), code);
    EXPECT_EQ(lastErrorText(), text);
  }
}

TEST(LastError, EveryFailureKindIsRecordedAsItself) {
  for (const FailureKind kind : {FailureKind::None, FailureKind::Cancelled, FailureKind::TimedOut,
                                 FailureKind::Gone, FailureKind::BadArgument,
                                 FailureKind::Other}) {
    setLastFailure(kind);
    EXPECT_EQ(lastFailure(), kind) << static_cast<int>(kind);
    EXPECT_FALSE(lastErrorText().empty());
  }
}

TEST(LastError, EachThreadKeepsItsOwn) {
  setLastErrorCode(ENOENT);
  int seenByOther = -1;
  Thread other;
  ASSERT_TRUE(other.start([&] {
    seenByOther = lastErrorCode();
    setLastErrorCode(EIO);
  }));
  ASSERT_TRUE(other.joinFor(5000));
  EXPECT_EQ(seenByOther, 0);
  EXPECT_EQ(lastErrorCode(), ENOENT);
}

}  // namespace
}  // namespace vb::platform
