// A link held across requests (2748 ... 2749): an idle pause longer than the
// frame time-out, and a meter that answers a command after the host has sent
// it again, leave every later request on the link with its own answer.
#include <chrono>
#include <functional>
#include <thread>

#include "sim_fixture.h"

namespace vb::e2e {
namespace {

using metersim::Options;

constexpr uint32_t kPairs = 40;

class HeldLinkTest : public SimTest {
 protected:
  void SetUp() override {
    Options options;
    options.pairsPerLogger = kPairs;
    StartSim(options);
    request_.frameTimeout = 1000;
  }

  // Downloads logger 1 by record sequence numbers [first, last] of the
  // meter's pairs and checks that exactly those entries came.
  void ExpectDownloadOf(size_t first, size_t last) {
    const std::vector<metersim::Pair> pairs = sim_->model().pairs(1);
    DataHeaderRecord header{};
    std::vector<RawPair> entries(kPairs);
    DownloadRecord download{&header, entries.data(), kPairs};
    request_.download = &download;
    request_.logNo = 1;
    request_.specifier = 1;
    request_.rangeStart = static_cast<int32_t>(pairs[first].rsn);
    request_.rangeEnd = static_cast<int32_t>(pairs[last].rsn);
    ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
    ASSERT_EQ(header.count, last - first + 1);
    for (size_t i = 0; i < header.count; ++i) {
      EXPECT_EQ(entries[i].flow, pairs[first + i].flow) << i;
      EXPECT_EQ(entries[i].pressure, pairs[first + i].pressure) << i;
    }
  }
};

// With one command attempt, any answer the link invents for the idle pause
// would fail the request at once.
TEST_F(HeldLinkTest, EveryRequestKindWorksAfterAnIdlePauseOfThreeFrameTimeouts) {
  request_.commandAttempts = 1;
  request_.receiveTimeout = 3000;
  ASSERT_EQ(Run(VB_REQ_HOLD), 1) << FieldText(result_.message);
  const int32_t link = request_.linkHandle;

  VersionRecord versions{};
  DataHeaderRecord header{};
  DownloadRecord headerOnly{&header, nullptr, 0};
  char text[64] = "PING";
  const std::pair<const char*, std::function<void()>> kinds[] = {
      {"dib", [&] { ASSERT_EQ(Run(VB_REQ_DIB), 1) << FieldText(result_.message); }},
      {"versions",
       [&] {
         request_.download = &versions;
         ASSERT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
         EXPECT_EQ(FieldText(versions.text[0]), sim_->model().versions()[0]);
       }},
      {"header",
       [&] {
         request_.download = &headerOnly;
         ASSERT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
         EXPECT_EQ(header.lastPairRSN, sim_->model().pairs(1).back().rsn);
       }},
      {"download", [&] { ExpectDownloadOf(3, 17); }},
      {"message",
       [&] {
         request_.data = reinterpret_cast<unsigned char*>(text);
         request_.dataLength = sizeof text;
         ASSERT_EQ(Run(VB_REQ_MESSAGE), 1) << FieldText(result_.message);
         EXPECT_EQ(std::string(text), std::string(metersim::kMessageReplyPrefix) + "PING");
       }},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.first);
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * request_.frameTimeout));
    kind.second();
    EXPECT_EQ(request_.linkHandle, link);
  }
  EXPECT_EQ(sim_->wakeups(), 1u);
}

// The meter answers the n-th message of the first download only after the
// host, its receive time-out over, has sent it again; the second answer
// then arrives ahead of whatever the host sends next on the held link.
class LateAnswerTest : public HeldLinkTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LateAnswerTest, EachLaterRequestGetsItsOwnAnswer) {
  request_.commandAttempts = 2;
  request_.receiveTimeout = 1500;
  ASSERT_EQ(Run(VB_REQ_HOLD), 1) << FieldText(result_.message);
  metersim::Faults faults;
  faults.lateAnswer = GetParam();
  sim_->setFaults(faults);

  ExpectDownloadOf(0, 9);
  ExpectDownloadOf(10, 29);
  ASSERT_EQ(Run(VB_REQ_DIB), 1) << FieldText(result_.message);
  EXPECT_EQ(FieldText(dib_.meter_id), sim_->model().identity().meter_id.substr(0, 39));

  const std::vector<MeterCommand> commands = Commands();
  ASSERT_GE(commands.size(), GetParam() + 1);
  EXPECT_EQ(commands[GetParam()], commands[GetParam() - 1]) << "the late command was sent again";
  EXPECT_EQ(sim_->wakeups(), 1u);
}

// A download sends CancelSession, Unlock, GetData, CancelSession,
// CancelSession, Lock. Late are its Unlock (followed by GetData), its first
// closing CancelSession (followed by the same command, whose answer looks
// alike) and its Lock (followed by the next request's CancelSession).
INSTANTIATE_TEST_SUITE_P(HeldLink, LateAnswerTest, ::testing::Values(2u, 4u, 6u));

}  // namespace
}  // namespace vb::e2e
