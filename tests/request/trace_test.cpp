// The trace hook sees each flow's entry, stages, failures and closing in
// order; failure lines carry the result, even when its texts fill their
// fields without a terminator.
#include <mutex>
#include <string>

#include "exchange_fixture.h"
#include "platform/devicemap.h"
#include "trace.h"

namespace vb::request::testing {
namespace {

std::mutex g_linesMutex;
std::string g_lines;

void ClearLines() {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  g_lines.clear();
}

void Collect(const char* line) {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  g_lines += line;
}

class TraceTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    ClearLines();
    SetTraceSink(Collect);
  }
  void TearDown() override {
    SetTraceSink(nullptr);
    ExchangeTest::TearDown();
  }
  std::string Lines() {
    std::lock_guard<std::mutex> lock(g_linesMutex);
    return g_lines;
  }
};

TEST_F(TraceTest, VersionFailureLineCarriesCodeSourceAndMessage) {
  meter_.setOverride([](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) == kVersions) return std::vector<ScriptedReply>{{StatusReply(1, 8)}};
    return std::nullopt;
  });
  request_.download = &versions_;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 0);
  const std::string lines = Lines();
  const char* expectedInOrder[] = {"In VantbrookRequest \n",
                                   "In VersionRequest\n",
                                   "In Cancel Session\n",
                                   "Leaving Cancel Session\n",
                                   "Failed to get versions (8 <Vantbrook> <Busy>)\n",
                                   "Closing port.\n",
                                   "In TidyUpAndClosePort\n",
                                   "Leaving VersionRequest\n"};
  size_t at = 0;
  for (const char* expected : expectedInOrder) {
    const size_t found = lines.find(expected, at);
    ASSERT_NE(found, std::string::npos) << expected << " in\n" << lines;
    at = found;
  }
  EXPECT_EQ(lines.find("Leaving VantbrookRequest"), std::string::npos);
}

TEST_F(TraceTest, IdentityBlockIsDumpedAfterTheRequestAndUnknownCodesSaySo) {
  meter_.dib.meterId = "DUMPED-ID";
  ASSERT_EQ(Run(VB_REQ_DIB), 1);
  std::string lines = Lines();
  EXPECT_NE(lines.find("Closing port\n"), std::string::npos);
  EXPECT_LT(lines.find("Leaving DIBRequest\n"), lines.find("  meter_id: DUMPED-ID\n"));
  EXPECT_NE(lines.find("Leaving VantbrookRequest\n"), std::string::npos);

  ClearLines();
  EXPECT_EQ(Run(2740), 0);
  EXPECT_EQ(Lines(), "In VantbrookRequest \nThis request type not yet catered for\n");
}

TEST_F(TraceTest, FailedOpenIsTracedAndNothingIsSent) {
  ASSERT_TRUE(platform::setComDevicePath(1, "/nonexistent/vantbrook-com1"));
  request_.download = &versions_;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 0);
  EXPECT_EQ(result_.code, VB_PORT_DRIVER_ERROR);
  EXPECT_EQ(FieldText(result_.source), "Port Driver");
  EXPECT_EQ(request_.connectCount, 0);
  EXPECT_NE(Lines().find("Failed to open port\n"), std::string::npos);
  EXPECT_TRUE(meter_.received().empty());
}

}  // namespace
}  // namespace vb::request::testing
