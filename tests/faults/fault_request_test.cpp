// Requests over a faulty line, table-driven: each row arms one fault or a mix
// on a fresh simulated meter and runs a request through VantbrookRequest.
// Whatever happens, the ResultRecord comes back filled and the request ends
// within the bound its time-outs give; a success carries exactly the meter's
// data, a failure one of the codes the row allows.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "request_harness.h"
#include "test_meter_clock.h"

namespace vb::reliability {
namespace {

using metersim::Faults;

enum class Expect { kSuccess, kFailure, kEither };

struct FaultCase {
  const char* name;
  Faults faults;
  Job job;
  Expect expect;
  std::set<int32_t> failureCodes;  // allowed when the request fails
  const char* failureMessage;      // exact message of a failure, when fixed
  uint32_t resumeLimit = 3;
};

// Rows show up by name in test output.
void PrintTo(const FaultCase& row, std::ostream* out) { *out << row.name; }

Faults Make(void (*arm)(Faults&)) {
  Faults faults;
  arm(faults);
  return faults;
}

// Codes a damaged line may end a request with: time-out, truncation, port
// and link failures, frame retries, and a reply that no longer validates.
const std::set<int32_t> kLineCodes = {VB_COMMAND_NOT_SUCCESSFUL, VB_BAD_BYTE_COUNT,
                                      VB_REQUEST_TIMEOUT,        VB_MESSAGE_TRUNCATED,
                                      VB_PORT_DRIVER_ERROR,      VB_FRAME_RETRIES_FAILED,
                                      VB_UNSPECIFIED_LINK_ERROR};

const FaultCase kCases[] = {
    {"Clean_Pairs", Faults{}, Job::kPairs, Expect::kSuccess, {}, nullptr},
    {"Clean_Totals", Faults{}, Job::kTotals, Expect::kSuccess, {}, nullptr},
    {"Clean_Dib", Faults{}, Job::kDib, Expect::kSuccess, {}, nullptr},
    // The first reply of every flow loses its only frame: the command goes
    // again.
    {"DroppedFrame_Pairs", Make([](Faults& f) { f.dropFrame = 1; }), Job::kPairs,
     Expect::kSuccess, {}, nullptr},
    {"Corrupt1e4_Pairs", Make([](Faults& f) { f.corruptRate = 1e-4; }), Job::kPairs,
     Expect::kEither, kLineCodes, nullptr},
    {"Corrupt1e4_Totals", Make([](Faults& f) { f.corruptRate = 1e-4; }), Job::kTotals,
     Expect::kEither, kLineCodes, nullptr},
    {"Corrupt1e3_Pairs", Make([](Faults& f) { f.corruptRate = 1e-3; }), Job::kPairs,
     Expect::kEither, kLineCodes, nullptr},
    {"Corrupt1e3_Dib", Make([](Faults& f) { f.corruptRate = 1e-3; }), Job::kDib,
     Expect::kEither, kLineCodes, nullptr},
    // The line goes down inside the download reply; the reply is resumed on a
    // new connection.
    {"CutAndResume_Pairs", Make([](Faults& f) { f.cutAfterBytes = 1500; }), Job::kPairs,
     Expect::kSuccess, {}, nullptr},
    {"CutAndResume_Totals", Make([](Faults& f) { f.cutAfterBytes = 3000; }), Job::kTotals,
     Expect::kSuccess, {}, nullptr},
    {"CutAndResume_Dib", Make([](Faults& f) { f.cutAfterBytes = 700; }), Job::kDib,
     Expect::kSuccess, {}, nullptr},
    {"CutWithoutResume_Pairs", Make([](Faults& f) { f.cutAfterBytes = 1500; }), Job::kPairs,
     Expect::kFailure, {VB_REQUEST_TIMEOUT}, nullptr, 0},
    {"OneNak_Pairs", Make([](Faults& f) { f.nakMessages = 1; }), Job::kPairs, Expect::kSuccess,
     {}, nullptr},
    {"EndlessNaks_Pairs", Make([](Faults& f) { f.nakMessages = 1000; }), Job::kPairs,
     Expect::kFailure, {VB_PORT_DRIVER_ERROR, VB_FRAME_RETRIES_FAILED}, nullptr},
    {"Silent_Pairs", Make([](Faults& f) { f.silent = true; }), Job::kPairs, Expect::kFailure,
     {VB_REQUEST_TIMEOUT}, nullptr},
    {"Silent_Dib", Make([](Faults& f) { f.silent = true; }), Job::kDib, Expect::kFailure,
     {VB_REQUEST_TIMEOUT}, nullptr},
    {"Busy_Pairs",
     Make([](Faults& f) {
       f.forceStatus = VB_BUSY;
       f.forceStatusCommand = 13;
     }),
     Job::kPairs, Expect::kFailure, {VB_BUSY}, "Busy"},
    {"ReadLocked_Totals",
     Make([](Faults& f) {
       f.forceStatus = VB_READ_ACCESS_DENIED;
       f.forceStatusCommand = 13;
     }),
     Job::kTotals, Expect::kFailure, {VB_READ_ACCESS_DENIED},
     "Read Access denied (Logger locked at level 2)"},
    {"UnknownStatus_Dib",
     Make([](Faults& f) {
       f.forceStatus = 40;
       f.forceStatusCommand = 11;
     }),
     Job::kDib, Expect::kFailure, {VB_COMMAND_NOT_SUCCESSFUL}, "Unknown error code in reply: 40"},
    {"UnsupportedControl_Pairs", Make([](Faults& f) { f.unsupportedControl = '5'; }),
     Job::kPairs, Expect::kFailure, {VB_UNSUPPORTED_CONTROL}, nullptr},
    {"Vanish_Pairs", Make([](Faults& f) { f.vanish = true; }), Job::kPairs, Expect::kFailure,
     {VB_REQUEST_TIMEOUT, VB_PORT_DRIVER_ERROR}, nullptr},
    {"Mixed_Pairs",
     Make([](Faults& f) {
       f.dropFrame = 1;
       f.corruptRate = 1e-4;
       f.nakMessages = 1;
       f.cutAfterBytes = 2500;
     }),
     Job::kPairs, Expect::kEither, kLineCodes, nullptr},
    {"Mixed_Totals",
     Make([](Faults& f) {
       f.corruptRate = 5e-4;
       f.nakMessages = 2;
       f.cutAfterBytes = 1000;
     }),
     Job::kTotals, Expect::kEither, kLineCodes, nullptr},
};

class FaultyLine : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    metersim::Options options;
    options.pairsPerLogger = 2000;
    options.totalsRecords = 150;
    options.seed = 7;
    options.faults = GetParam().faults;
    sim_ = std::make_unique<metersim::Simulator>(vb::test::WithMeterClock(options));
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(platform::setComDevicePath(1, sim_->devicePath()));
  }
  void TearDown() override {
    if (sim_) sim_->stop();
  }

  std::unique_ptr<metersim::Simulator> sim_;
};

TEST_P(FaultyLine, EndsCorrectlyWithinItsBound) {
  const FaultCase& row = GetParam();
  LineSettings settings;
  settings.resumeLimit = row.resumeLimit;
  const RequestRecord request = MakeRequest(settings, 1);
  const Outcome outcome = RunJob(sim_->model(), request, row.job);
  const std::string message = FieldText(outcome.result.message, sizeof outcome.result.message);
  SCOPED_TRACE("code " + std::to_string(outcome.result.code) + " source \"" +
               FieldText(outcome.result.source, sizeof outcome.result.source) + "\" message \"" +
               message + "\" after " + std::to_string(outcome.elapsedMs) + " ms");

  EXPECT_EQ(outcome.resultProblem, "");
  EXPECT_LE(outcome.elapsedMs, RequestBoundMs(request));
  if (outcome.returned == 1) {
    EXPECT_NE(row.expect, Expect::kFailure);
    EXPECT_EQ(outcome.dataProblem, "");
  } else {
    EXPECT_NE(row.expect, Expect::kSuccess);
    EXPECT_EQ(row.failureCodes.count(outcome.result.code), 1u);
    if (row.failureMessage != nullptr) {
      EXPECT_EQ(message, row.failureMessage);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultyLine, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vb::reliability
