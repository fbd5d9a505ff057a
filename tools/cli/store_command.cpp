// vantbrook store copy: moves a store between engines (a SQLite file and a
// PostgreSQL database, either way), every row with its id, and checks each
// table's row count before the copy is committed.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "collect_command.h"
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
  CLI::App app("Copies every table of a store, ids kept, into an empty store on either engine.",
               "vantbrook store copy");
  app.footer(
      "A store is a SQLite file (a path) or a PostgreSQL database (postgresql://USER@HOST/DB;\n"
      "the password from ~/.pgpass or PGPASSWORD). The source is read in one snapshot, so\n"
      "collectors may go on writing to it; the target gets the schema when it has none and\n"
      "must hold no rows. The copy is one transaction: it is committed only when every\n"
      "table holds as many rows as the source.\n"
      "Exit statuses: 0 copied and counted; 2 bad command line; 7 a store cannot be read or\n"
      "written, the target is not empty, or a table's count differs (it is named; nothing\n"
      "is then left in the target but its schema).");
  std::string from, to;
  app.add_option("--from", from, "the store to copy")->required();
  app.add_option("--to", to, "the empty store to copy into, created when missing")->required();
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend() - 1);
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "vantbrook: %s\n", error.what());
    return kExitUsage;
  }
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
