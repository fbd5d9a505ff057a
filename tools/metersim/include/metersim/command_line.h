// The metersim program's command line: every option mirrors a field of
// Options or Faults.
#pragma once

#include <string>
#include <vector>

#include "metersim/simulator.h"

namespace vb::metersim {

struct CommandLine {
  Options options;
  bool dibChanged = false;  // set the "DIB changed" status flag at start
  uint32_t statusFlags = 0;  // status flags of every logger at start
  bool help = false;
  std::string error;  // empty when the arguments parsed
};

// Parses the arguments after the program name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The --help text: usage and every option.
std::string helpText();

// A bash script that completes the options and the values of those with a
// fixed choice ("a|b") or a file name.
std::string bashCompletion();

}  // namespace vb::metersim
