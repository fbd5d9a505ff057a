#include "fleet_status.h"

#include <algorithm>
#include <cstring>

namespace vb::fleet {

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Warning:
      return "WARNING";
    case Verdict::Critical:
      return "CRITICAL";
    case Verdict::Ok:
      break;
  }
  return "OK";
}

MeterStatus meterStatus(MeterRecord record, int64_t now) {
  MeterStatus status;
  status.intervalS = record.intervalS.value_or(kDefaultIntervalS);
  if (record.lastSuccessAt) status.ageS = now - *record.lastSuccessAt;
  bool failing = false;
  for (const AlarmRow& alarm : record.openAlarms) {
    const bool critical = alarm.severity == severityName(Severity::Critical);
    (critical ? status.criticalAlarms : status.warningAlarms) += 1;
    failing = failing || alarm.kind == kAlarmFailing.name;
  }
  status.state = meterState(record.lastSuccessAt, status.intervalS, failing, now);
  status.record = std::move(record);
  return status;
}

FleetStatus fleetStatus(std::vector<MeterRecord> records, int64_t now) {
  FleetStatus fleet;
  for (MeterRecord& record : records) {
    MeterStatus status = meterStatus(std::move(record), now);
    fleet.byState[static_cast<size_t>(status.state)] += 1;
    fleet.alarmsOpen += status.criticalAlarms + status.warningAlarms;
    fleet.criticalAlarms += status.criticalAlarms;
    Verdict verdict = Verdict::Ok;
    switch (status.state) {
      case MeterState::Missing:
      case MeterState::Failing:
        verdict = Verdict::Critical;
        break;
      case MeterState::Late:
      case MeterState::Never:
        verdict = Verdict::Warning;
        break;
      case MeterState::Ok:
        break;
    }
    if (status.criticalAlarms > 0) verdict = Verdict::Critical;
    if (status.warningAlarms > 0 && verdict == Verdict::Ok) verdict = Verdict::Warning;
    fleet.verdict = std::max(fleet.verdict, verdict);
    fleet.meters.push_back(std::move(status));
  }
  return fleet;
}

bool readOutboxStatus(Store& store, int64_t now, FleetStatus* status, std::string* error) {
  Store::OutboxStats stats;
  OutboxStatus outbox;
  if (!store.outboxStats(&stats, error) || !store.brokerStates(&outbox.brokers, error)) {
    return false;
  }
  outbox.messages = stats.messages;
  outbox.oldestAt = stats.oldestAt;
  if (stats.oldestAt) outbox.oldestAgeS = std::max<int64_t>(now - *stats.oldestAt, 0);
  status->outbox = std::move(outbox);
  return true;
}

}  // namespace vb::fleet
