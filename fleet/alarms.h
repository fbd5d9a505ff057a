// Alarm kinds: what can go wrong with a meter that an engineer must hear of,
// each with its severity. The collector raises and clears them; the store
// keeps them (one open alarm per meter, logger and kind); status, the
// service, its metrics and MQTT read them.
#pragma once

#include <cstdint>
#include <string>

namespace vb::fleet {

enum class Severity { Warning, Critical };

struct AlarmKind {
  const char* name;
  Severity severity;
  const char* meaning;
};

// Not collected for longer than the meter's interval and its slack.
inline constexpr AlarmKind kAlarmNotCollected{"not_collected", Severity::Warning,
                                              "not collected for longer than its interval"};
// Failed a number of runs in a row.
inline constexpr AlarmKind kAlarmFailing{"failing", Severity::Critical,
                                         "failed several runs in a row"};
inline constexpr AlarmKind kAlarmClockDrift{"clock_drift", Severity::Warning,
                                            "meter clock beyond its drift limit"};
inline constexpr AlarmKind kAlarmLoggerRestarted{"logger_restarted", Severity::Warning,
                                                 "logger restarted: a new epoch began"};
inline constexpr AlarmKind kAlarmRecordsMissing{"records_missing", Severity::Warning,
                                                "records missing within the logger's epoch"};
inline constexpr AlarmKind kAlarmRecordsOverwritten{
    "records_overwritten", Severity::Warning, "records overwritten before they were collected"};
inline constexpr AlarmKind kAlarmValuesNotConverted{
    "values_not_converted", Severity::Warning, "values the meter's conversion could not give"};

// Entries messages the store's outbox shed, full while the MQTT broker was
// away: the entries are stored, but subscribers never saw them.
inline constexpr AlarmKind kAlarmEntriesNotPublished{
    "entries_not_published", Severity::Warning,
    "entries messages dropped from a full outbox before the broker took them"};

// The logger status flags, bit k at index k, as alarms: the ones that mean
// a meter cannot measure, or may soon stop, are critical.
inline constexpr int kStatusFlagCount = 14;
inline constexpr AlarmKind kStatusFlagAlarms[kStatusFlagCount] = {
    {"flow_sensor_absent", Severity::Critical, "Flow sensor absent"},
    {"flow_sensor_fault", Severity::Critical, "Flow sensor fault"},
    {"pressure_sensor_absent", Severity::Critical, "Pressure sensor absent"},
    {"pressure_sensor_fault", Severity::Critical, "Pressure sensor fault"},
    {"battery_1_absent", Severity::Critical, "Battery 1 absent"},
    {"battery_1_discharged", Severity::Critical, "Battery 1 discharged"},
    {"battery_1_warning", Severity::Warning, "Battery 1 warning"},
    {"battery_2_absent", Severity::Critical, "Battery 2 absent"},
    {"battery_2_discharged", Severity::Critical, "Battery 2 discharged"},
    {"battery_2_warning", Severity::Warning, "Battery 2 warning"},
    {"external_power_absent", Severity::Warning, "External power absent"},
    {"empty_pipe", Severity::Warning, "Empty pipe"},
    {"tamper_switch", Severity::Critical, "Tamper switch activated"},
    {"identity_changed", Severity::Warning, "Identity block changed"},
};

const char* severityName(Severity severity);
// The kind of that name; nullptr for a name that is none.
const AlarmKind* alarmKindNamed(const std::string& name);

// An alarm raised or cleared, as a run reports it and hooks receive it.
struct AlarmChange {
  int64_t id = 0;
  std::string meter;
  int logNo = 0;  // 0: the meter as a whole
  std::string kind;
  Severity severity = Severity::Warning;
  bool raised = true;  // false: cleared
  int64_t at = 0;      // UTC seconds
  int64_t value = 0;
  std::string detail;
};

}  // namespace vb::fleet
