// Fixture of the end-to-end tests: a simulated meter on COM1 and a host
// that calls VantbrookRequest with its own records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "test_meter_clock.h"
#include "vantbrook/vantbrook.h"

namespace vb::e2e {

inline constexpr uint32_t kGenerousTimeoutMs = 10000;

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// A meter command as the meter received it: class and number.
struct MeterCommand {
  uint8_t messageClass;
  uint16_t number;
  bool operator==(const MeterCommand& other) const {
    return messageClass == other.messageClass && number == other.number;
  }
};

inline constexpr MeterCommand kCancelSession{3, 3};
inline constexpr MeterCommand kQueryPending{3, 1};
inline constexpr MeterCommand kRequestResume{3, 2};
inline constexpr MeterCommand kGetVersions{2, 1};
inline constexpr MeterCommand kSetTime{2, 5};
inline constexpr MeterCommand kUnlock{2, 8};
inline constexpr MeterCommand kLock{2, 9};
inline constexpr MeterCommand kGetDib{2, 11};
inline constexpr MeterCommand kGetHeader{2, 12};
inline constexpr MeterCommand kGetData{2, 13};
inline constexpr MeterCommand kRestart{2, 15};
inline constexpr MeterCommand kRestartWithParameters{2, 16};

class SimTest : public ::testing::Test {
 protected:
  // The meter's clock is pinned unless a test asks for the host's clock: the
  // logger data, and with it every byte count, then is the same at any hour.
  void StartSim(metersim::Options options, test::MeterClock clock = test::MeterClock::Pinned) {
    sim_ = std::make_unique<metersim::Simulator>(test::WithMeterClock(std::move(options), clock));
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(platform::setComDevicePath(1, sim_->devicePath()));
  }

  void TearDown() override {
    if (request_.linkHandle != -1) {
      request_.requestCode = VB_REQ_RELEASE;
      VantbrookRequest(&dib_, &request_, &result_);
    }
    if (sim_) sim_->stop();
  }

  int32_t Run(int16_t code) {
    request_.requestCode = code;
    std::memset(&result_, 0, sizeof result_);
    return VantbrookRequest(&dib_, &request_, &result_);
  }

  // Meter commands received since the last clearReceived(), in order.
  std::vector<MeterCommand> Commands() const {
    std::vector<MeterCommand> commands;
    for (const metersim::ReceivedMessage& message : sim_->received()) {
      if (message.control || message.bytes.size() < 4) continue;
      commands.push_back(MeterCommand{
          message.bytes[1], static_cast<uint16_t>(message.bytes[2] | message.bytes[3] << 8)});
    }
    return commands;
  }

  std::vector<uint8_t> LastMessage(const MeterCommand& command) const {
    std::vector<uint8_t> last;
    for (const metersim::ReceivedMessage& message : sim_->received()) {
      if (message.control || message.bytes.size() < 4) continue;
      if (MeterCommand{message.bytes[1],
                       static_cast<uint16_t>(message.bytes[2] | message.bytes[3] << 8)} ==
          command) {
        last = message.bytes;
      }
    }
    return last;
  }

  static RequestRecord MakeRequest() {
    RequestRecord request;
    std::memset(&request, 0, sizeof request);
    request.portNumber = 1;
    std::memcpy(request.protocol, "COM1", 4);
    request.receiveTimeout = kGenerousTimeoutMs;
    request.frameTimeout = 2000;
    request.linkHandle = -1;
    request.portHandle = -1;
    request.logNo = 1;
    request.specifier = 2;
    request.commandAttempts = 2;
    request.reconnectAttempts = 2;
    request.resumeLimit = 3;
    return request;
  }

  std::unique_ptr<metersim::Simulator> sim_;
  DibRecord dib_{};
  RequestRecord request_ = MakeRequest();
  ResultRecord result_{};
};

}  // namespace vb::e2e
