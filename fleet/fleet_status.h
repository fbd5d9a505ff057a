// The fleet at a glance: each meter's state from what the store holds, and
// the verdict over all of them as a monitoring system reads it (0 ok,
// 1 warning, 2 critical). `status`, the service's API and its metrics all
// judge the fleet here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "schedule.h"
#include "store.h"

namespace vb::fleet {

struct MeterStatus {
  MeterRecord record;
  MeterState state = MeterState::Never;
  int64_t intervalS = kDefaultIntervalS;
  std::optional<int64_t> ageS;  // since the last complete collection
  int criticalAlarms = 0;
  int warningAlarms = 0;
};

enum class Verdict { Ok = 0, Warning = 1, Critical = 2 };
const char* verdictName(Verdict verdict);  // "OK", "WARNING", "CRITICAL"

// The MQTT outbox and each publishing collector's connection.
struct OutboxStatus {
  int64_t messages = 0;
  std::optional<int64_t> oldestAt;  // UTC seconds
  std::optional<int64_t> oldestAgeS;
  std::vector<BrokerState> brokers;
  // Worth showing: messages wait, or a collector has published.
  bool any() const { return messages > 0 || !brokers.empty(); }
};

struct FleetStatus {
  std::vector<MeterStatus> meters;
  // Meters by state, indexed by MeterState.
  std::array<int, 5> byState{};
  int alarmsOpen = 0;
  int criticalAlarms = 0;
  Verdict verdict = Verdict::Ok;
  std::optional<OutboxStatus> outbox;  // when read (readOutboxStatus)
};

MeterStatus meterStatus(MeterRecord record, int64_t now);
FleetStatus fleetStatus(std::vector<MeterRecord> records, int64_t now);
// Reads the outbox's size and age at `now` and the brokers' states into
// the status.
bool readOutboxStatus(Store& store, int64_t now, FleetStatus* status, std::string* error);

}  // namespace vb::fleet
