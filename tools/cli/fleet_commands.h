// The fleet commands' entry points: `collect` reads every meter of a fleet
// file into a store, `export` streams what a store holds, `status` says how
// every meter fares, `store copy` moves a store between engines, and `demo
// fleet` shows them against simulated lines. Each takes the arguments after its
// command's name and returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace vb::cli {

int runCollect(const std::vector<std::string>& arguments);
int runExport(const std::vector<std::string>& arguments);
int runStatus(const std::vector<std::string>& arguments);
int runStore(const std::vector<std::string>& arguments);
int runFleetDemo(const std::vector<std::string>& arguments);
int runServe(const std::vector<std::string>& arguments);
int runServeDemo(const std::vector<std::string>& arguments);

}  // namespace vb::cli
