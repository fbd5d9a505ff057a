#include "meter_link.h"

#include <cstring>
#include <mutex>

#include "platform/error.h"
#include "platform/serial.h"
#include "platform/text.h"
#include "progress_bar.h"

namespace vb::cli {

namespace {

constexpr int32_t kNone = -1;
constexpr const char* kSource = "vantbrook";

// Time-outs the link's own serial port uses on a line it opens by name; a
// line handed over is used with the settings it has, so it gets the same.
constexpr uint32_t kReadIntervalMs = 100;
constexpr uint32_t kReadPerByteMs = 100;
constexpr uint32_t kWritePerByteMs = 128;
constexpr uint32_t kWriteConstantMs = 1000;

// The line that --device names, for the reopen and close callbacks of a
// reconnect, which get no context of their own.
std::mutex applicationLineLock;
std::string applicationLinePath;
uint32_t applicationLineBaud = 0;

// Opens and configures the application line; its OS handle or -1.
int32_t openApplicationLine(std::string* error) {
  std::lock_guard<std::mutex> guard(applicationLineLock);
  platform::SerialDevice device;
  if (!device.open(applicationLinePath)) {
    *error = "Failed to open " + applicationLinePath + " : " + platform::lastErrorText();
    return kNone;
  }
  platform::SerialSettings settings;
  settings.baud = applicationLineBaud;
  platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = kReadIntervalMs;
  timeouts.readTotalPerByteMs = kReadPerByteMs;
  timeouts.writeTotalPerByteMs = kWritePerByteMs;
  timeouts.writeTotalConstantMs = kWriteConstantMs;
  if (!device.setSettings(settings) || !device.setTimeouts(timeouts)) {
    *error = "Failed to configure " + applicationLinePath + " : " + platform::lastErrorText();
    return kNone;
  }
  return platform::fieldFromLine(device.release());
}

int VB_STDCALL reopenApplicationLine(int32_t* portHandle) {
  std::string error;
  *portHandle = openApplicationLine(&error);
  return *portHandle != kNone ? 1 : 0;
}

int VB_STDCALL closeApplicationLine(int32_t* portHandle) {
  platform::closeLine(platform::lineFromField(*portHandle));
  *portHandle = kNone;
  return 1;
}

}  // namespace

MeterLink::MeterLink(const ConnectionOptions& connection) : connection_(connection) {
  record_.linkHandle = kNone;
  record_.portHandle = kNone;
  record_.receiveTimeout = connection.receiveTimeoutMs;
  record_.frameTimeout = connection.frameTimeoutMs;
  record_.commandAttempts = connection.commandAttempts;
  record_.reconnectAttempts = connection.reconnectAttempts;
  record_.resumeLimit = connection.resumeLimit;
  record_.progressCallback = ProgressBar::callback;
  record_.portNumber = static_cast<int16_t>(connection.com);
  std::string protocol = "COM" + std::to_string(connection.com);
  switch (connection.route) {
    case Route::Com:
    case Route::Device:
      break;
    case Route::Pnet:
      protocol = "pnet";
      break;
    case Route::Dial:
      protocol = "dial";
      break;
  }
  std::memcpy(record_.protocol, protocol.data(), sizeof record_.protocol);
  platform::copyField(record_.address, sizeof record_.address, connection.address.c_str());
  platform::copyTerminated(record_.password, sizeof record_.password,
                           connection.password.c_str());
  dib_.supplier = connection.supplier;
}

MeterLink::~MeterLink() {
  release();
  closeApplicationPort();
}

bool MeterLink::prepare(ResultRecord* failure) {
  if (connection_.route != Route::Device) return true;
  {
    std::lock_guard<std::mutex> guard(applicationLineLock);
    applicationLinePath = connection_.device;
    applicationLineBaud = connection_.baud;
  }
  std::string error;
  record_.portHandle = openApplicationLine(&error);
  if (record_.portHandle == kNone) {
    failure->code = VB_PORT_DRIVER_ERROR;
    platform::copyField(failure->source, sizeof failure->source, kSource);
    platform::copyField(failure->message, sizeof failure->message, error.c_str());
    return false;
  }
  record_.reopenPortCallback = reopenApplicationLine;
  record_.closePortCallback = closeApplicationLine;
  return true;
}

RequestRecord& MeterLink::next(int16_t requestCode) {
  record_.requestCode = requestCode;
  record_.receiveTimeout = connection_.receiveTimeoutMs;
  record_.download = nullptr;
  record_.data = nullptr;
  record_.dataLength = 0;
  record_.specifier = 0;
  record_.rangeStart = 0;
  record_.rangeEnd = 0;
  record_.logNo = 0;
  record_.setTimeMode = 0;
  return record_;
}

bool MeterLink::run(ResultRecord* result) {
  *result = ResultRecord{};
  return VantbrookRequest(&dib_, &record_, result) == 1;
}

bool MeterLink::hold(ResultRecord* result) {
  next(VB_REQ_HOLD);
  return run(result);
}

void MeterLink::release() {
  if (record_.linkHandle == kNone) return;
  ResultRecord ignored{};
  next(VB_REQ_RELEASE);
  run(&ignored);
}

void MeterLink::closeApplicationPort() {
  platform::closeLine(platform::lineFromField(record_.portHandle));
  record_.portHandle = kNone;
}

}  // namespace vb::cli
