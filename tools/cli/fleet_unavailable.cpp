// The fleet commands where the fleet store cannot be built: it keeps its
// data in SQLite, which only the Linux build links.
#include <cstdio>

#include "exit_status.h"
#include "fleet_commands.h"

namespace vb::cli {

namespace {

int fleetUnavailable(const char* command) {
  std::fprintf(stderr,
               "vantbrook: %s needs the Linux build, whose fleet store is kept in SQLite.\n"
               "Here, read one meter at a time: vantbrook download --com N --logger L\n",
               command);
  return kExitUsage;
}

}  // namespace

int runCollect(const std::vector<std::string>&) { return fleetUnavailable("collect"); }
int runExport(const std::vector<std::string>&) { return fleetUnavailable("export"); }
int runStatus(const std::vector<std::string>&) { return fleetUnavailable("status"); }
int runStore(const std::vector<std::string>&) { return fleetUnavailable("store"); }
int runFleetDemo(const std::vector<std::string>&) { return fleetUnavailable("demo fleet"); }
int runServe(const std::vector<std::string>&) { return fleetUnavailable("serve"); }
int runServeDemo(const std::vector<std::string>&) { return fleetUnavailable("demo serve"); }

}  // namespace vb::cli
