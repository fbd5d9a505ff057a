// The simulated meter as a child process on its own pseudo-terminal, and the
// host's end of that line opened as the host's own serial handle, which the
// request hands to the link as its port handle. With the meter in another
// process, this process's CPU time and memory are the host's alone, and any
// number of links run at once (the COMn map has eight names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"

namespace vb::bench {

class MeterProcess {
 public:
  MeterProcess() = default;
  ~MeterProcess();
  MeterProcess(const MeterProcess&) = delete;
  MeterProcess& operator=(const MeterProcess&) = delete;

  // Starts metersim with these command-line options and waits for the
  // device path it prints. False with error() set when it does not start.
  bool start(const std::vector<std::string>& options);
  const std::string& devicePath() const { return devicePath_; }
  const std::string& error() const { return error_; }
  // Interrupts the meter and waits for it to end.
  void stop();

 private:
  platform::ChildProcess child_;
  std::string devicePath_;
  std::string error_;
};

// The host's end of the line, open in raw mode, handed over as a port
// handle; closed when this object goes.
class HostLine {
 public:
  HostLine() = default;
  ~HostLine();
  HostLine(const HostLine&) = delete;
  HostLine& operator=(const HostLine&) = delete;

  bool open(const std::string& devicePath);
  int32_t handle() const { return handle_; }

 private:
  int32_t handle_ = -1;
};

// Command-line options of a meter with `pairs` pairs per logger and
// `totals` totals records, paced at `baud` (0: unpaced).
std::vector<std::string> meterOptions(uint32_t baud, uint32_t pairs, uint32_t totals);

}  // namespace vb::bench
