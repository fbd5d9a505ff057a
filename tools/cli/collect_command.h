// The collect command's work, shared by `collect` and `demo fleet`.
#pragma once

#include <optional>
#include <string>

#include "collector.h"
#include "command_arguments.h"
#include "fleet_commands.h"
#include "mqtt_publisher.h"

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
  std::string onAlarm;            // run for every alarm raised or cleared
  int64_t leaseSeconds = fleet::Store::kDefaultLeaseSeconds;
  fleet::CollectSettings settings;
  std::optional<fleet::MqttConfig> mqtt;  // publish the outbox to this broker
};

// The MQTT options as the publisher takes them (serve's too).
fleet::MqttSettings mqttSettings(const MqttArguments& arguments, const std::string& collector);

// Checks the fleet file, then (unless only checking) collects it into the
// store and prints the summary; returns the exit status.
int collectFleet(const CollectRequest& request);

}  // namespace vb::cli
