// Runs a parsed command line: the requests, their output and the exit
// status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "options.h"

namespace vb::cli {

// How the outcomes are shown.
struct Presentation {
  bool json = false;
  // The most download entries listed in a table.
  size_t tableEntryLimit = SIZE_MAX;
};

// Runs the requests of a meter command (dib, versions, header, download,
// message or session) and prints them; returns the exit status.
int runMeterCommand(const Options& options, const Presentation& presentation);

// The flags command.
int runFlags(const Options& options);

}  // namespace vb::cli
