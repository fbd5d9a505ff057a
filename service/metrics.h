// The service's metrics in the Prometheus text format, named in base units
// as exporters name theirs: counters of what the collector did since the
// service started, kept here as it happens, and gauges of the fleet read
// from the store at each scrape.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "collector.h"
#include "fleet_status.h"

namespace vb::service {

class Metrics {
 public:
  void attemptEnded(const fleet::MeterOutcome& outcome, double busySeconds);
  // The MQTT publisher's connection and the messages it has delivered.
  void mqtt(bool connected, uint64_t published);

  // The whole exposition: the counters, then the fleet's gauges.
  std::string render(const fleet::FleetStatus& status, int64_t now) const;

 private:
  mutable std::mutex lock_;
  // By meter, line and outcome code.
  std::map<std::tuple<std::string, std::string, int32_t>, uint64_t> attempts_;
  std::map<std::string, double> busySeconds_;  // by line
  std::map<std::string, uint64_t> bytes_;      // by line
  std::map<std::string, uint64_t> entries_;    // by line
  std::optional<bool> mqttConnected_;          // unset: not publishing
  uint64_t mqttPublished_ = 0;
};

// A label value as the text format writes it: backslash, double quote and
// line feed escaped.
std::string labelValue(const std::string& text);

}  // namespace vb::service
