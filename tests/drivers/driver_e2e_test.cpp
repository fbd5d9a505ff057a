// Both drivers end to end, in real time: the link library loads pnetport.so
// or dialport.so by protocol code and calls through the simulated PAD or
// modem on COM1 to the simulated meter; the request library on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "platform/thread.h"
#include "test_meter_clock.h"
#include "vantbrook/brisel.h"
#include "vantbrook/vantbrook.h"

namespace {

using vb::metersim::Front;
using vb::metersim::Options;
using vb::metersim::Simulator;

constexpr char kPadAddress[] = "1234";
constexpr char kRefusedAddress[] = "9999";
constexpr char kModemNumber[] = "0123";
constexpr char kBusyNumber[] = "5550000";
constexpr uint32_t kReceiveTimeoutMs = 10000;
constexpr uint32_t kFrameTimeoutMs = 2000;

// The meter's CancelSession command: marker, class 3, command 3, a data
// count of 8 and a zero parameter.
const std::vector<unsigned char> kCancelSession = {0xFF, 3, 3, 0, 8, 0, 0, 0, 0, 0};

template <size_t N>
std::string fieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

class DriversEndToEnd : public ::testing::Test {
 protected:
  void startSim(Front front, uint32_t callSetupMs = 200) {
    Options options;
    options.front = front;
    options.padRefusedAddresses = {kRefusedAddress};
    options.busyNumbers = {kBusyNumber};
    options.callSetupMs = callSetupMs;
    sim_ = std::make_unique<Simulator>(vb::test::WithMeterClock(options));
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(vb::platform::setComDevicePath(1, sim_->devicePath()));
  }
  void TearDown() override {
    if (sim_) sim_->stop();
  }

  static LinkRecord linkRecord(const char* protocol, const char* address) {
    LinkRecord record;
    std::memset(&record, 0, sizeof record);
    record.port_number = 1;
    std::memcpy(record.protocol, protocol, 4);
    std::strncpy(record.address, address, sizeof record.address - 1);
    record.receive_timeout_ms = kReceiveTimeoutMs;
    record.frame_timeout_ms = kFrameTimeoutMs;
    record.link = -1;
    record.port_handle = -1;
    return record;
  }

  // A CancelSession over an open link, answered by the meter.
  void exchangeOver(LinkRecord& record) {
    std::vector<unsigned char> message = kCancelSession;
    record.data = message.data();
    record.length = static_cast<uint32_t>(message.size());
    ASSERT_EQ(1, SendData(&record)) << fieldText(record.message);
    std::vector<unsigned char> reply(64, 0);
    record.data = reply.data();
    record.length = static_cast<uint32_t>(reply.size());
    ASSERT_EQ(1, RecvData(&record)) << fieldText(record.message);
    ASSERT_GE(record.length, 6u);
    EXPECT_EQ(0xFF, reply[0]);
    const std::vector<vb::metersim::ReceivedMessage> received = sim_->received();
    EXPECT_TRUE(std::any_of(received.begin(), received.end(), [](const auto& m) {
      return m.bytes == std::vector<uint8_t>(kCancelSession.begin(), kCancelSession.end());
    }));
  }

  void expectCallRefused(const char* protocol, const char* address, const std::string& text) {
    LinkRecord record = linkRecord(protocol, address);
    EXPECT_EQ(0, OpenPort(&record));
    EXPECT_EQ(LINK_FAILED, record.error_code);
    EXPECT_EQ("Port Driver", fieldText(record.source));
    EXPECT_EQ(text, fieldText(record.message));
    EXPECT_EQ(-1, record.link);
  }

  // Runs a request over a driver; the outcome is in result_.
  int32_t request(int16_t code, const char* protocol, const char* address,
                  VantbrookProgressCallback progress = nullptr) {
    RequestRecord request;
    std::memset(&request, 0, sizeof request);
    request.portNumber = 1;
    request.requestCode = code;
    std::memcpy(request.protocol, protocol, 4);
    std::strncpy(request.address, address, sizeof request.address - 1);
    request.receiveTimeout = kReceiveTimeoutMs;
    request.frameTimeout = kFrameTimeoutMs;
    request.linkHandle = -1;
    request.portHandle = -1;
    request.commandAttempts = 1;
    request.reconnectAttempts = 1;
    request.resumeLimit = 1;
    request.progressCallback = progress;
    std::memset(&result_, 0, sizeof result_);
    return VantbrookRequest(&dib_, &request, &result_);
  }

  std::unique_ptr<Simulator> sim_;
  DibRecord dib_{};
  ResultRecord result_{};
};

// A hold whose call could not be set up holds nothing: the next ordinary
// request on the same record, once the call can be made, closes its link
// and ends its call like any other.
struct FailedHoldCase {
  const char* name;
  Front front;
  const char* protocol;
  const char* address;
  bool deviceMissing;  // else the call is refused while the simulator has its fault
};

void PrintTo(const FailedHoldCase& c, std::ostream* out) { *out << c.name; }

class FailedHoldTest : public DriversEndToEnd,
                       public ::testing::WithParamInterface<FailedHoldCase> {};

TEST_P(FailedHoldTest, NextRequestLeavesNothingOpen) {
  const FailedHoldCase& param = GetParam();
  startSim(param.front);
  const int threads = vb::platform::processThreadCount();
  const int descriptors = vb::platform::processOpenDescriptorCount();
  if (param.deviceMissing) {
    ASSERT_TRUE(vb::platform::setComDevicePath(1, "/nonexistent/tty"));
  }

  RequestRecord record;
  std::memset(&record, 0, sizeof record);
  record.portNumber = 1;
  std::memcpy(record.protocol, param.protocol, 4);
  std::strncpy(record.address, param.address, sizeof record.address - 1);
  record.receiveTimeout = kReceiveTimeoutMs;
  record.frameTimeout = kFrameTimeoutMs;
  record.linkHandle = -1;
  record.portHandle = -1;
  record.requestCode = VB_REQ_HOLD;
  EXPECT_EQ(0, VantbrookRequest(&dib_, &record, &result_));
  EXPECT_EQ(VB_PORT_DRIVER_ERROR, result_.code);
  EXPECT_EQ(0, record.holdConnection);
  EXPECT_EQ(-1, record.linkHandle);

  if (param.deviceMissing) {
    ASSERT_TRUE(vb::platform::setComDevicePath(1, sim_->devicePath()));
  } else {
    sim_->stop();
    Options options;
    options.front = param.front;
    options.callSetupMs = 200;
    sim_ = std::make_unique<Simulator>(vb::test::WithMeterClock(options));
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(vb::platform::setComDevicePath(1, sim_->devicePath()));
  }
  record.requestCode = VB_REQ_DIB;
  EXPECT_EQ(1, VantbrookRequest(&dib_, &record, &result_)) << fieldText(result_.message);
  EXPECT_EQ(-1, record.linkHandle);
  EXPECT_EQ(1u, sim_->connections());
  EXPECT_EQ(threads, vb::platform::processThreadCount());
  EXPECT_EQ(descriptors, vb::platform::processOpenDescriptorCount());
}

INSTANTIATE_TEST_SUITE_P(
    DriversEndToEnd, FailedHoldTest,
    ::testing::Values(FailedHoldCase{"PadWithoutItsDevice", Front::Pad, "pnet", kPadAddress, true},
                      FailedHoldCase{"BusyModem", Front::Modem, "dial", kBusyNumber, false}),
    [](const ::testing::TestParamInfo<FailedHoldCase>& info) { return info.param.name; });

// The host aborts through its progress callback while the PAD or modem is
// still setting up the call (a minute here): the hold fails at once with the
// user abort, the call is cleared and nothing of the open is left. A
// callback that says abort before anything is dialled places no call.
struct StoppedCallCase {
  const char* name;
  Front front;
  bool beforeTheCall;
};

void PrintTo(const StoppedCallCase& c, std::ostream* out) { *out << c.name; }

const Simulator* gStoppedSim = nullptr;
bool gStopBeforeTheCall = false;
int stopWhileCalling(int) {
  return gStopBeforeTheCall || gStoppedSim->callsPlaced() > 0 ? 1 : 0;
}

class StoppedCallTest : public DriversEndToEnd,
                        public ::testing::WithParamInterface<StoppedCallCase> {};

TEST_P(StoppedCallTest, EndsTheOpenWithTheUserAbortAndClearsTheCall) {
  const bool pad = GetParam().front == Front::Pad;
  startSim(GetParam().front, 60000);
  gStoppedSim = sim_.get();
  gStopBeforeTheCall = GetParam().beforeTheCall;
  const int threads = vb::platform::processThreadCount();
  const int descriptors = vb::platform::processOpenDescriptorCount();
  EXPECT_EQ(0, request(VB_REQ_HOLD, pad ? "pnet" : "dial", pad ? kPadAddress : kModemNumber,
                       stopWhileCalling));
  EXPECT_EQ(VB_USER_ABORT, result_.code);
  EXPECT_EQ("Port Driver", fieldText(result_.source));
  EXPECT_EQ("Call set-up aborted due to user request.", fieldText(result_.message));
  const uint32_t calls = GetParam().beforeTheCall ? 0 : 1;
  EXPECT_EQ(calls, sim_->callsPlaced());
  EXPECT_EQ(calls, sim_->callsCleared());
  EXPECT_EQ(0u, sim_->connections());
  EXPECT_EQ(threads, vb::platform::processThreadCount());
  EXPECT_EQ(descriptors, vb::platform::processOpenDescriptorCount());
}

INSTANTIATE_TEST_SUITE_P(
    DriversEndToEnd, StoppedCallTest,
    ::testing::Values(StoppedCallCase{"PadAwaitingTheConnection", Front::Pad, false},
                      StoppedCallCase{"ModemAwaitingTheDialResult", Front::Modem, false},
                      StoppedCallCase{"ModemBeforeTheCall", Front::Modem, true}),
    [](const ::testing::TestParamInfo<StoppedCallCase>& info) { return info.param.name; });

TEST_F(DriversEndToEnd, PadCallCarriesAMeterExchange) {
  startSim(Front::Pad);
  LinkRecord record = linkRecord("pnet", kPadAddress);
  ASSERT_EQ(1, OpenPort(&record)) << fieldText(record.message);
  exchangeOver(record);
  EXPECT_EQ(1, ClosePort(&record));
  EXPECT_EQ(1u, sim_->connections());
}

TEST_F(DriversEndToEnd, PadRefusalIsReportedByTheLinkWithTheDriversText) {
  startSim(Front::Pad);
  expectCallRefused("pnet", kRefusedAddress, std::string(kRefusedAddress) + "\r\nERR\r\n");
}

TEST_F(DriversEndToEnd, ModemCallCarriesAMeterExchange) {
  startSim(Front::Modem);
  LinkRecord record = linkRecord("dial", kModemNumber);
  ASSERT_EQ(1, OpenPort(&record)) << fieldText(record.message);
  exchangeOver(record);
  EXPECT_EQ(1, ClosePort(&record));
  EXPECT_EQ(1u, sim_->connections());
}

TEST_F(DriversEndToEnd, BusyModemIsReportedByTheLinkWithTheDriversText) {
  startSim(Front::Modem);
  expectCallRefused("dial", kBusyNumber, "BUSY");
}

TEST_F(DriversEndToEnd, RequestOverThePadReadsTheIdentityBlock) {
  startSim(Front::Pad);
  EXPECT_EQ(1, request(VB_REQ_DIB, "pnet", kPadAddress)) << fieldText(result_.message);
  EXPECT_EQ(VB_OK, result_.code);
  EXPECT_EQ(sim_->model().identity().meter_id.substr(0, 39), fieldText(dib_.meter_id));
}

TEST_F(DriversEndToEnd, RequestOverARefusedPadCallFailsWithPortDriverError) {
  startSim(Front::Pad);
  EXPECT_EQ(0, request(VB_REQ_DIB, "pnet", kRefusedAddress));
  EXPECT_EQ(VB_PORT_DRIVER_ERROR, result_.code);
  EXPECT_EQ("Port Driver", fieldText(result_.source));
  EXPECT_EQ(std::string(kRefusedAddress) + "\r\nERR\r\n", fieldText(result_.message));
}

TEST_F(DriversEndToEnd, RequestOverABusyModemFailsWithPortDriverError) {
  startSim(Front::Modem);
  EXPECT_EQ(0, request(VB_REQ_DIB, "dial", kBusyNumber));
  EXPECT_EQ(VB_PORT_DRIVER_ERROR, result_.code);
  EXPECT_EQ("Port Driver", fieldText(result_.source));
  EXPECT_EQ("BUSY", fieldText(result_.message));
}

}  // namespace
