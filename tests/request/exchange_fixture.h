// Fixture of the exchange tests: a standard scripted meter on COM1 and the
// skipping clock installed for the request library's pauses.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "request_builder.h"
#include "standard_meter.h"
#include "vantbrook/vantbrook.h"

namespace vb::request::testing {

// Time-outs for exchanges that wait for a silent meter.
inline constexpr uint32_t kShortTimeoutMs = 1000;

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setClockForTesting(&clock_);
    ASSERT_TRUE(meter_.start());
  }
  void TearDown() override {
    if (request_.linkHandle != -1) {
      RequestRecord release = request_;
      release.requestCode = VB_REQ_RELEASE;
      ResultRecord result{};
      VantbrookRequest(&dib_, &release, &result);
    }
    platform::setClockForTesting(nullptr);
  }

  int32_t Run(int16_t code) {
    request_.requestCode = code;
    result_ = MarkedResult();
    return VantbrookRequest(&dib_, &request_, &result_);
  }

  size_t Count(const Command& command) const {
    const std::vector<Command> commands = meter_.commands();
    return static_cast<size_t>(std::count(commands.begin(), commands.end(), command));
  }

  void UseShortTimeouts() {
    request_.receiveTimeout = kShortTimeoutMs;
    request_.frameTimeout = kShortTimeoutMs;
  }

  SkippingClock clock_;
  StandardMeter meter_;
  RequestRecord request_ = MakeRequest(VB_REQ_NOOP);
  ResultRecord result_ = MarkedResult();
  DibRecord dib_{};
  VersionRecord versions_{};
  DataHeaderRecord header_{};
  std::vector<RawPair> entries_ = std::vector<RawPair>(64);
  DownloadRecord download_{&header_, entries_.data(), 64};
};

}  // namespace vb::request::testing
