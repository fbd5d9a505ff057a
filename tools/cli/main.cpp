// vantbrook: the command-line host of the request library.
#include <cstdio>
#include <string>
#include <vector>

#include "app.h"
#include "demo.h"
#include "exit_status.h"
#include "fleet_commands.h"
#include "help.h"
#include "monitor_command.h"
#include "options.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
  using namespace vb::cli;
  // Before any thread exists, so every thread of the link inherits the
  // routing of Ctrl-C to the interrupt flag.
  vb::platform::installInterruptHandler();

  if (argc > 1 && std::string(argv[1]) == "monitor") return runMonitor(argc - 1, argv + 1);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  // The fleet commands have option tables of their own.
  if (!arguments.empty() && arguments[0] == "collect") {
    return runCollect({arguments.begin() + 1, arguments.end()});
  }
  if (!arguments.empty() && arguments[0] == "export") {
    return runExport({arguments.begin() + 1, arguments.end()});
  }
  if (!arguments.empty() && arguments[0] == "status") {
    return runStatus({arguments.begin() + 1, arguments.end()});
  }
  if (!arguments.empty() && arguments[0] == "store") {
    return runStore({arguments.begin() + 1, arguments.end()});
  }
  if (arguments.size() > 1 && arguments[0] == "demo" && arguments[1] == "fleet") {
    return runFleetDemo({arguments.begin() + 2, arguments.end()});
  }
  if (!arguments.empty() && arguments[0] == "serve") {
    // Before the service's threads start, so that none of them takes SIGHUP.
    vb::platform::installReloadHandler();
    return runServe({arguments.begin() + 1, arguments.end()});
  }
  if (arguments.size() > 1 && arguments[0] == "demo" && arguments[1] == "serve") {
    vb::platform::installReloadHandler();
    return runServeDemo({arguments.begin() + 2, arguments.end()});
  }
  std::string error;
  std::optional<Options> options = parseOptions(arguments, &error);
  if (!options) {
    std::fprintf(stderr, "vantbrook: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options->version) {
    std::fputs(versionText().c_str(), stdout);
    return kExitOk;
  }
  if (options->help) {
    std::fputs(helpText(*options).c_str(), stdout);
    return kExitOk;
  }
  switch (options->command) {
    case Command::Flags:
      return runFlags(*options);
    case Command::Demo:
      return runDemo(*options);
    default: {
      Presentation presentation;
      presentation.json = options->json;
      return runMeterCommand(*options, presentation);
    }
  }
}
