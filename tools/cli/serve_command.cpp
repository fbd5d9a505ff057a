// vantbrook serve: the collection service's command line.
#include "collect_command.h"
#include "command_arguments.h"
#include "fleet_commands.h"
#include "platform/terminal.h"
#include "service.h"

namespace vb::cli {

int runServe(const std::vector<std::string>& arguments) {
  CLI::App app;
  ServeArguments given;
  defineServe(app, given);
  if (std::optional<int> status = parseCommand(app, kServeText, arguments, 2)) return *status;
  service::ServiceOptions options;
  options.fleetPath = given.fleetPath;
  options.dbPath = given.dbPath;
  options.httpAddress = given.http;
  options.tokenFile = given.tokenFile;
  options.retries = given.retries;
  options.retryDelayS = given.retryDelayS;
  options.collector = given.collector;
  options.leaseSeconds = given.leaseSeconds;
  if (!given.mqtt.url.empty()) options.mqtt = mqttSettings(given.mqtt, given.collector);
  options.stopRequested = [] { return platform::interruptRequested(); };
  options.reloadRequested = [] { return platform::takeReloadRequest(); };
  return service::runService(options);
}

}  // namespace vb::cli
