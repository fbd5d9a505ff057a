#include "meter_process.h"

#include "platform/pty.h"
#include "platform/serial.h"

namespace vb::bench {
namespace {

// Start-up of a meter: a pseudo-terminal and a thread; generous.
constexpr uint32_t kStartupMs = 10000;
constexpr uint32_t kStopMs = 10000;

}  // namespace

MeterProcess::~MeterProcess() { stop(); }

bool MeterProcess::start(const std::vector<std::string>& options) {
  if (!child_.start(VB_BENCH_METERSIM_PROGRAM, options)) {
    error_ = "cannot start " + std::string(VB_BENCH_METERSIM_PROGRAM);
    return false;
  }
  if (!child_.readLine(&devicePath_, kStartupMs) || devicePath_.empty()) {
    error_ = "metersim printed no device path: " + child_.standardError();
    child_.terminate();
    child_.waitFor(kStopMs);
    return false;
  }
  return true;
}

void MeterProcess::stop() {
  if (!child_.running()) return;
  child_.interrupt();
  if (!child_.waitFor(kStopMs)) {
    child_.terminate();
    child_.waitFor(kStopMs);
  }
}

HostLine::~HostLine() {
  platform::closeLine(platform::lineFromField(handle_));
}

bool HostLine::open(const std::string& devicePath) {
  platform::SerialDevice device;
  if (!device.open(devicePath)) return false;
  // Raw binary mode: a pseudo-terminal's line discipline would otherwise
  // translate the carriage returns that end short frames.
  if (!device.setSettings(platform::SerialSettings())) return false;
  handle_ = platform::fieldFromLine(device.release());
  return handle_ != -1;
}

std::vector<std::string> meterOptions(uint32_t baud, uint32_t pairs, uint32_t totals) {
  std::vector<std::string> options = {"--pairs", std::to_string(pairs), "--totals",
                                      std::to_string(totals)};
  if (baud != 0) {
    options.push_back("--baud");
    options.push_back(std::to_string(baud));
  }
  return options;
}

}  // namespace vb::bench
