// vantbrook store copy: moves a store between engines (a SQLite file and a
// PostgreSQL database, either way), every row with its id, and checks each
// table's row count before the copy is committed.
#include <cstdio>

#include "collect_command.h"
#include "command_arguments.h"
#include "exit_status.h"
#include "fleet_commands.h"
#include "store_copy.h"

namespace vb::cli {

namespace {

constexpr char kStoreUsage[] =
    "Usage: vantbrook store copy --from STORE --to STORE\n"
    "\n"
    "Works on a store as a whole.\n"
    "  copy    copy every table of a store, ids kept, into an empty store on either\n"
    "          engine (a SQLite file or a PostgreSQL database)\n"
    "\n"
    "Run 'vantbrook store copy --help' for its options.\n";

}  // namespace

int runStore(const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments[0] != "copy") {
    if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
      std::fputs(kStoreUsage, stdout);
      return kExitOk;
    }
    std::fputs("vantbrook: store: say what to do with the store: copy\n", stderr);
    return kExitUsage;
  }
  CLI::App app;
  StoreCopyArguments given;
  defineStoreCopy(app, given);
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (std::optional<int> status = parseCommand(app, kStoreCopyText, rest, kExitUsage)) {
    return *status;
  }
  const std::string& from = given.from;
  const std::string& to = given.to;
  std::string error;
  uint64_t rows = 0;
  const bool copied = fleet::copyStore(from, to, [&rows](const fleet::TableCopy& table) {
    std::printf("%-12s %12llu rows\n", table.table.c_str(),
                static_cast<unsigned long long>(table.rows));
    std::fflush(stdout);
    rows += table.rows;
  }, &error);
  if (!copied) {
    std::fprintf(stderr, "vantbrook: store copy: %s\n", error.c_str());
    return kExitStoreFailed;
  }
  std::printf("Copied %llu rows from %s to %s; every table's count checked.\n",
              static_cast<unsigned long long>(rows), from.c_str(), to.c_str());
  return kExitOk;
}

}  // namespace vb::cli
