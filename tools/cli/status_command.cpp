// vantbrook status: what the store says of every meter, for a person at a
// terminal and for a monitoring system that runs it as a check.
#include <cstdio>
#include <memory>

#include "command_arguments.h"
#include "fleet_commands.h"
#include "platform/clock.h"
#include "selection_check.h"
#include "status_report.h"
#include "store.h"

namespace vb::cli {

namespace {

// A check that cannot tell: a monitoring plugin's "unknown".
constexpr int kStatusUnknown = 3;

}  // namespace

int runStatus(const std::vector<std::string>& arguments) {
  CLI::App app;
  StatusArguments given;
  defineStatus(app, given);
  if (std::optional<int> status = parseCommand(app, kStatusText, arguments, kStatusUnknown)) {
    return *status;
  }
  std::string error;
  std::unique_ptr<fleet::Store> store = fleet::Store::openForReading(given.dbPath, &error);
  if (!store) {
    std::printf("VANTBROOK UNKNOWN - %s\n", error.c_str());
    return kStatusUnknown;
  }
  fleet::MeterSelection selection;
  selection.meters = given.meters;
  selection.lines = given.lines;
  std::string unknown;
  std::vector<fleet::MeterRecord> records;
  if (!checkSelection(*store, selection, &unknown, &error) ||
      !store->meterRecords(selection, &records, &error)) {
    std::printf("VANTBROOK UNKNOWN - cannot read %s: %s\n", given.dbPath.c_str(), error.c_str());
    return kStatusUnknown;
  }
  if (!unknown.empty()) {
    std::printf("VANTBROOK UNKNOWN - %s\n", unknown.c_str());
    return kStatusUnknown;
  }
  const int64_t now = platform::wallClockSeconds();
  fleet::FleetStatus status = fleet::fleetStatus(std::move(records), now);
  if (!fleet::readOutboxStatus(*store, now, &status, &error)) {
    std::printf("VANTBROOK UNKNOWN - cannot read %s: %s\n", given.dbPath.c_str(), error.c_str());
    return kStatusUnknown;
  }
  if (given.json) {
    JsonWriter json;
    writeFleetStatusJson(json, status);
    std::fputs(json.text().c_str(), stdout);
  } else {
    std::fputs(renderStatus(status).c_str(), stdout);
  }
  return static_cast<int>(status.verdict);
}

}  // namespace vb::cli
