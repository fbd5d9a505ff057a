// The fleet commands: `collect` reads every meter of a fleet file into a
// store, `export` streams what a store holds as CSV or JSON, and
// `demo fleet` shows both against simulated lines.
#pragma once

#include <string>
#include <vector>

#include "collector.h"

namespace vb::cli {

// Exit statuses of the fleet commands besides 0, 2 and 130.
inline constexpr int kExitSomeMetersFailed = 6;  // the store holds what the others delivered
inline constexpr int kExitStoreFailed = 7;       // the store cannot be opened or written

struct CollectRequest {
  std::string fleetPath;
  std::string dbPath;
  bool check = false;
  bool json = false;
  std::string progress = "auto";  // auto, lines or off
  fleet::CollectSettings settings;
};

// Checks the fleet file, then (unless only checking) collects it into the
// store and prints the summary; returns the exit status.
int collectFleet(const CollectRequest& request);

// The arguments after the command's name; returns the exit status.
int runCollect(const std::vector<std::string>& arguments);
int runExport(const std::vector<std::string>& arguments);
int runFleetDemo(const std::vector<std::string>& arguments);

}  // namespace vb::cli
