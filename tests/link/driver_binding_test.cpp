// Binding port driver modules: real dlopen of small test drivers built
// beside libbrisel.so, talking over a pseudo-terminal.
#include <gtest/gtest.h>

#include <array>

#include "link_fixture.h"
#include "platform/clock.h"
#include "platform/dynlib.h"

namespace vb::link::test {
namespace {

using Counters = std::array<int32_t, 5>;
enum { kOpens, kCloses, kAborts, kThreadStarts, kThreadEnds };

class DriverTest : public LinkTest {
 protected:
  // The test keeps its own reference to the complete driver, so its counters
  // live on while the link library loads and frees it.
  void SetUp() override {
    LinkTest::SetUp();
    ASSERT_TRUE(driver_.open(platform::moduleFileName("tdrvport"))) << driver_.error();
    counters_ = reinterpret_cast<void (*)(int32_t*)>(driver_.symbol("TestDriverCounters"));
    ASSERT_NE(counters_, nullptr);
  }
  Counters counters() {
    Counters values{};
    counters_(values.data());
    return values;
  }

  platform::DynamicLibrary driver_;
  void (*counters_)(int32_t*) = nullptr;
};

TEST_F(DriverTest, CompleteDriverCarriesTheLinkAndIsClosedInOrder) {
  const Counters before = counters();
  record_ = makeRecord("tdrv");
  open();
  Bytes message = sampleMessage(300);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  Bytes buffer(400, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  EXPECT_TRUE(std::equal(message.begin(), message.end(), buffer.begin()));
  EXPECT_EQ(ClosePort(&record_), 1);
  const Counters after = counters();
  EXPECT_EQ(after[kOpens] - before[kOpens], 1);
  EXPECT_EQ(after[kCloses] - before[kCloses], 1);
  EXPECT_EQ(after[kAborts] - before[kAborts], 1);
  EXPECT_EQ(after[kThreadStarts] - before[kThreadStarts], 1);
  EXPECT_EQ(after[kThreadEnds] - before[kThreadEnds], 1);
}

TEST_F(DriverTest, DriverWithoutOptionalEntriesIsStoppedByTheRunningFlag) {
  record_ = makeRecord("tnop");
  record_.frame_timeout_ms = 5000;
  open();
  Bytes message = sampleMessage(100);
  ASSERT_TRUE(farEnd_->sendMessage(message));
  Bytes buffer(200, 0);
  ASSERT_EQ(receive(buffer), 1) << record_.message;
  const uint64_t started = platform::nowMs();
  EXPECT_EQ(ClosePort(&record_), 1);
  // One read wait of the receiver (500 ms) and a margin.
  EXPECT_LT(platform::nowMs() - started, 3000u);
}

TEST_F(DriverTest, FailingDriverOpenReportsTheDriversTextAndClosesIt) {
  const Counters before = counters();
  record_ = makeRecord("tdrv");
  std::strcpy(record_.address, "refuse");
  EXPECT_EQ(OpenPort(&record_), 0);
  EXPECT_EQ(record_.link, -1);
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.source, "Port Driver");
  EXPECT_STREQ(record_.message, "Test driver refused the call");
  const Counters after = counters();
  EXPECT_EQ(after[kOpens] - before[kOpens], 1);
  EXPECT_EQ(after[kCloses] - before[kCloses], 1);
}

struct RefusedDriverCase {
  const char* name;
  const char* protocol;
  const char* message;
};

void PrintTo(const RefusedDriverCase& c, std::ostream* out) { *out << c.name; }

class RefusedDriverTest : public LinkTest,
                          public ::testing::WithParamInterface<RefusedDriverCase> {};

TEST_P(RefusedDriverTest, OpenFailsAndNothingStaysOpen) {
  record_ = makeRecord(GetParam().protocol);
  EXPECT_EQ(OpenPort(&record_), 0);
  EXPECT_EQ(record_.link, -1);
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_STREQ(record_.source, "Port Driver");
  EXPECT_STREQ(record_.message, GetParam().message);
  EXPECT_TRUE(farEnd_->staysQuiet(100));
}

INSTANTIATE_TEST_SUITE_P(
    Link, RefusedDriverTest,
    ::testing::Values(RefusedDriverCase{"WithoutGetPortError", "tner", "Error in Protocol DLL "},
                      RefusedDriverCase{"MissingModule", "zzzz", "Protocol not supported"},
                      RefusedDriverCase{"CodeThatWouldBeAPath", "../t", "Protocol not supported"},
                      // Protocol codes are taken as they are: no change of case.
                      RefusedDriverCase{"CaseIsKept", "TDRV", "Protocol not supported"}),
    [](const ::testing::TestParamInfo<RefusedDriverCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vb::link::test
