// vantbrook demo fleet and demo serve: three simulated lines (a meter on its own line, a
// packet-radio PAD with four meters behind it, a modem bank with four),
// collected twice into a temporary store. The simulated loggers keep
// logging at a quickened clock, so the second run fetches what they wrote
// since the first.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "collect_command.h"
#include "command_arguments.h"
#include "exit_status.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "service.h"

namespace vb::cli {

namespace {

constexpr uint32_t kDemoBaud = 19200;
constexpr uint32_t kDemoPairs = 600;
constexpr uint32_t kDemoTotals = 30;
// Five minutes of meter time a second: logger 2 (every 300 s) logs a pair
// a second, logger 1 (every 900 s) one every three.
constexpr uint32_t kDemoTimeScale = 300;
constexpr uint32_t kPauseBetweenRunsMs = 5000;
// The service demo: a minute of meter time a second, so logger 2 logs a
// pair every five seconds.
constexpr uint32_t kServeDemoTimeScale = 60;
constexpr uint32_t kBatteryWarning = 0x0040;
const char* const kPadAddresses[] = {"2624100", "2624101", "2624102", "2624103"};
const char* const kModemNumbers[] = {"0161555010", "0161555011", "0161555012", "0161555013"};

struct DemoLine {
  const char* name;
  const char* kind;
  metersim::Front front;
  std::vector<std::string> addresses;
};

std::string fleetFileText(const std::vector<DemoLine>& lines,
                          const std::vector<std::unique_ptr<metersim::Simulator>>& simulators,
                          const std::string& meterKeys) {
  std::string text = "# The demo fleet: three simulated lines.\n";
  for (size_t i = 0; i < lines.size(); ++i) {
    text += "\n[[line]]\nname = \"" + std::string(lines[i].name) + "\"\ndevice = \"" +
            simulators[i]->devicePath() + "\"\nkind = \"" + lines[i].kind + "\"\nbaud = " +
            std::to_string(kDemoBaud) + "\n";
  }
  int meterNumber = 1;
  for (const DemoLine& line : lines) {
    const std::vector<std::string> addresses =
        line.addresses.empty() ? std::vector<std::string>{""} : line.addresses;
    for (const std::string& address : addresses) {
      text += "\n[[meter]]\nid = \"demo-" + std::to_string(meterNumber++) + "\"\nline = \"" +
              line.name + "\"\n";
      if (!address.empty()) text += "address = \"" + address + "\"\n";
      text += meterKeys;
    }
  }
  return text;
}


// The demo's lines started, and a fleet file for them in a new temporary
// folder; false (with the reason on standard error) when either fails.
struct DemoFleet {
  std::vector<std::unique_ptr<metersim::Simulator>> simulators;
  std::filesystem::path folder;
  std::string fleetPath;
  std::string dbPath;
};

const std::vector<DemoLine>& demoLines() {
  static const std::vector<DemoLine> lines = {
      {"direct", "direct", metersim::Front::Meter, {}},
      {"radio", "pnet", metersim::Front::Pad, {std::begin(kPadAddresses), std::end(kPadAddresses)}},
      {"gsm", "dial", metersim::Front::Modem,
       {std::begin(kModemNumbers), std::end(kModemNumbers)}},
  };
  return lines;
}

int startDemoFleet(uint32_t timeScale, const std::string& meterKeys, DemoFleet* demo) {
  const std::vector<DemoLine>& lines = demoLines();
  for (size_t i = 0; i < lines.size(); ++i) {
    metersim::Options meter;
    meter.front = lines[i].front;
    meter.baud = kDemoBaud;
    meter.seed = 1 + 100 * i;
    meter.pairsPerLogger = kDemoPairs;
    meter.totalsRecords = kDemoTotals;
    meter.fleetAddresses = lines[i].addresses;
    meter.timeScale = timeScale;
    demo->simulators.push_back(std::make_unique<metersim::Simulator>(meter));
    if (!demo->simulators.back()->start()) {
      std::fprintf(stderr, "vantbrook: cannot start the simulated line %s: %s\n", lines[i].name,
                   demo->simulators.back()->error().c_str());
      return kExitLink;
    }
  }
  std::error_code error;
  demo->folder = std::filesystem::temp_directory_path(error);
  std::mt19937_64 random(std::random_device{}());
  demo->folder /= "vantbrook-demo-fleet-" + std::to_string(random() % 1000000000);
  if (error || !std::filesystem::create_directories(demo->folder, error)) {
    std::fprintf(stderr, "vantbrook: cannot make a temporary folder: %s\n",
                 error.message().c_str());
    return kExitStoreFailed;
  }
  demo->fleetPath = (demo->folder / "fleet.toml").string();
  demo->dbPath = (demo->folder / "fleet.db").string();
  std::ofstream file(demo->fleetPath);
  file << fleetFileText(lines, demo->simulators, meterKeys);
  if (!file) {
    std::fprintf(stderr, "vantbrook: cannot write %s\n", demo->fleetPath.c_str());
    return kExitStoreFailed;
  }
  return kExitOk;
}

}  // namespace

int runFleetDemo(const std::vector<std::string>& arguments) {
  CLI::App app;
  FleetDemoArguments given;
  defineFleetDemo(app, given);
  if (std::optional<int> status = parseCommand(app, kFleetDemoText, arguments, kExitUsage)) {
    return *status;
  }
  const bool json = given.json;
  DemoFleet demo;
  if (const int status = startDemoFleet(kDemoTimeScale, "", &demo); status != kExitOk) {
    return status;
  }
  CollectRequest request;
  request.fleetPath = demo.fleetPath;
  request.dbPath = demo.dbPath;
  request.json = json;
  request.settings.retryDelayMs = 2000;
  request.settings.stopRequested = [] { return platform::interruptRequested(); };

  if (!json) {
    std::printf("Three simulated lines at %u bit/s: a meter on its own line, a PAD with four\n"
                "meters, a modem with four. Their loggers log %ux faster than real time.\n"
                "Each run takes a minute or two: placing and clearing a modem call takes\n"
                "some seconds per meter.\n"
                "Fleet file: %s\n\nFirst run: everything the loggers hold.\n",
                kDemoBaud, kDemoTimeScale, request.fleetPath.c_str());
    std::fflush(stdout);
  }
  int status = collectFleet(request);
  if (status == kExitOk) {
    if (!json) {
      std::printf("\nWaiting %u s while the loggers log on...\n\nSecond run: only what is new.\n",
                  kPauseBetweenRunsMs / 1000);
      std::fflush(stdout);
    }
    platform::sleepMs(kPauseBetweenRunsMs);
    if (!platform::interruptRequested()) status = collectFleet(request);
  }
  for (auto& simulator : demo.simulators) simulator->stop();
  if (!json) {
    std::printf("\nStore: %s\nTry: vantbrook export --db %s --meter demo-2 --csv | head\n",
                request.dbPath.c_str(), request.dbPath.c_str());
  }
  return status;
}

int runServeDemo(const std::vector<std::string>& arguments) {
  CLI::App app;
  ServeDemoArguments given;
  defineServeDemo(app, given);
  if (std::optional<int> status = parseCommand(app, kServeDemoText, arguments, kExitUsage)) {
    return *status;
  }
  // Every meter due every few minutes, and their clocks (quickened) left to
  // drift: the demo shows collections, not clock alarms.
  DemoFleet demo;
  const std::string keys =
      "interval = \"3m\"\nmax_calls_per_day = 1440\nclock_drift_limit = 31536000\n";
  if (const int status = startDemoFleet(kServeDemoTimeScale, keys, &demo); status != kExitOk) {
    return status;
  }
  // Something for the alarm list: a battery warning on one meter.
  if (metersim::MeterModel* meter = demo.simulators[1]->fleetModel(kPadAddresses[1])) {
    meter->setStatusFlags(1, kBatteryWarning);
  }
  service::ServiceOptions options;
  options.fleetPath = demo.fleetPath;
  options.dbPath = demo.dbPath;
  options.httpAddress = given.http;
  options.tokenFile = given.tokenFile;
  options.retryDelayS = 2;
  options.stopRequested = [] { return platform::interruptRequested(); };
  options.reloadRequested = [] { return platform::takeReloadRequest(); };
  options.listening = [&demo](const std::string& url) {
    std::printf("Three simulated lines (a meter on its own line, a PAD with four meters, a\n"
                "modem with four), their loggers %ux faster than real time, each meter due\n"
                "every three minutes. Fleet file: %s\n\nDashboard: %s\n\nCtrl-C ends the demo.\n",
                kServeDemoTimeScale, demo.fleetPath.c_str(), url.c_str());
    std::fflush(stdout);
  };
  const int status = service::runService(options);
  for (auto& simulator : demo.simulators) simulator->stop();
  // Nothing of the demo is left to look at once it ended.
  std::error_code ignored;
  std::filesystem::remove_all(demo.folder, ignored);
  return status == 0 ? kExitOk : status;
}

}  // namespace vb::cli
