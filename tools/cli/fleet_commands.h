// The fleet commands' entry points: `collect` reads every meter of a fleet
// file into a store, `export` streams what a store holds, `store copy` moves
// a store between engines, and `demo fleet` shows collect and export against
// simulated lines. Each takes the arguments after its
// command's name and returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace vb::cli {

int runCollect(const std::vector<std::string>& arguments);
int runExport(const std::vector<std::string>& arguments);
int runStore(const std::vector<std::string>& arguments);
int runFleetDemo(const std::vector<std::string>& arguments);

}  // namespace vb::cli
