#include "status_report.h"

#include <cstdio>
#include <ctime>

namespace vb::cli {

namespace {

std::string cell(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string attemptText(const fleet::MeterRecord::Attempt& attempt) {
  if (!attempt.endedAt) return "running since " + utcText(attempt.startedAt);
  const int64_t code = attempt.code.value_or(0);
  if (code == 0) return "ok at " + utcText(*attempt.endedAt);
  return attempt.message + " (code " + std::to_string(code) + ", " + attempt.source + ") at " +
         utcText(*attempt.endedAt);
}

void writeAlarmJson(JsonWriter& json, const fleet::AlarmRow& alarm) {
  json.beginObject()
      .key("id").value(alarm.id)
      .key("meter").utf8(alarm.meter)
      .key("logger").value(alarm.logNo)
      .key("kind").value(alarm.kind)
      .key("severity").value(alarm.severity)
      .key("raised_at").value(utcText(alarm.raisedAt));
  json.key("cleared_at");
  alarm.clearedAt ? json.value(utcText(*alarm.clearedAt)) : json.null();
  json.key("acknowledged_at");
  alarm.acknowledgedAt ? json.value(utcText(*alarm.acknowledgedAt)) : json.null();
  json.key("value").value(alarm.value).key("detail").utf8(alarm.detail).endObject();
}

// "12 messages wait, the oldest for 3h12m; collector hill (mqtt://hub:1883):
// disconnected since ...: Connection refused".
std::string outboxText(const fleet::OutboxStatus& outbox) {
  std::string text = "MQTT outbox: ";
  if (outbox.messages == 0) {
    text += "empty\n";
  } else {
    text += std::to_string(outbox.messages) +
            (outbox.messages == 1 ? " message waits" : " messages wait") +
            " for the broker, the oldest for " +
            ageText(outbox.oldestAgeS.value_or(0)) + "\n";
  }
  for (const fleet::BrokerState& broker : outbox.brokers) {
    text += "  " + broker.collector + " to " + broker.broker + ": " + broker.state + " since " +
            utcText(broker.since) + (broker.detail.empty() ? "" : ": " + broker.detail) + "\n";
  }
  return text;
}

}  // namespace

std::string utcText(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&time, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  }
  return text;
}

std::string ageText(int64_t seconds) {
  char text[32];
  if (seconds < 0) seconds = 0;
  if (seconds >= 86400) {
    std::snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(seconds / 86400),
                  static_cast<long long>(seconds % 86400 / 3600));
  } else if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
  }
  return text;
}

std::string statusSummaryLine(const fleet::FleetStatus& status) {
  using fleet::MeterState;
  auto count = [&status](MeterState state) {
    return std::to_string(status.byState[static_cast<size_t>(state)]);
  };
  return std::string("VANTBROOK ") + fleet::verdictName(status.verdict) + " - " +
         std::to_string(status.meters.size()) + " meters: " + count(MeterState::Ok) + " ok, " +
         count(MeterState::Late) + " late, " + count(MeterState::Missing) + " missing, " +
         count(MeterState::Failing) + " failing, " + count(MeterState::Never) + " never; " +
         std::to_string(status.alarmsOpen) + " alarms open (" +
         std::to_string(status.criticalAlarms) + " critical)";
}

std::string renderStatus(const fleet::FleetStatus& status) {
  std::string text = statusSummaryLine(status) + "\n";
  if (status.outbox && status.outbox->any()) text += "\n" + outboxText(*status.outbox);
  if (status.meters.empty()) return text;
  text += "\n" + cell("METER", 18) + cell("LINE", 12) + cell("STATE", 9) +
          cell("LAST COLLECTED", 22) + cell("AGE", 8) + cell("FAILED", 7) + cell("ALARMS", 7) +
          "LAST ATTEMPT\n";
  for (const fleet::MeterStatus& meter : status.meters) {
    const fleet::MeterRecord& record = meter.record;
    text += cell(record.meter, 18) + cell(record.line, 12) +
            cell(fleet::meterStateName(meter.state), 9) +
            cell(record.lastSuccessAt ? utcText(*record.lastSuccessAt) : "never", 22) +
            cell(meter.ageS ? ageText(*meter.ageS) : "-", 8) +
            cell(std::to_string(record.failedRuns), 7) +
            cell(std::to_string(record.openAlarms.size()), 7) +
            (record.lastAttempt ? attemptText(*record.lastAttempt) : "none") + "\n";
  }
  text += "\n" + cell("METER", 18) + cell("LOGGER", 7) + cell("EPOCH", 6) + cell("FIRST", 11) +
          cell("LAST", 11) + cell("STORED", 11) + "MISSING\n";
  for (const fleet::MeterStatus& meter : status.meters) {
    for (const fleet::MeterRecord::Logger& logger : meter.record.loggers) {
      text += cell(meter.record.meter, 18) + cell(std::to_string(logger.logNo), 7) +
              cell(std::to_string(logger.epoch), 6) +
              cell(logger.firstRsn ? std::to_string(*logger.firstRsn) : "-", 11) +
              cell(logger.lastRsn ? std::to_string(*logger.lastRsn) : "-", 11) +
              cell(std::to_string(logger.stored), 11) + std::to_string(logger.missing()) + "\n";
    }
  }
  if (status.alarmsOpen == 0) return text;
  text += "\nOpen alarms:\n";
  for (const fleet::MeterStatus& meter : status.meters) {
    for (const fleet::AlarmRow& alarm : meter.record.openAlarms) {
      text += "  " + cell(meter.record.meter, 18) +
              cell(alarm.logNo == 0 ? "-" : "logger " + std::to_string(alarm.logNo), 9) +
              cell(alarm.kind, 24) + cell(alarm.severity, 9) + "since " +
              utcText(alarm.raisedAt) + ": " + alarm.detail + "\n";
    }
  }
  return text;
}

void writeMeterStatusJson(JsonWriter& json, const fleet::MeterStatus& meter) {
  const fleet::MeterRecord& record = meter.record;
  json.beginObject()
      .key("meter").utf8(record.meter)
      .key("line").utf8(record.line)
      .key("state").value(fleet::meterStateName(meter.state))
      .key("interval_s").value(meter.intervalS);
  json.key("last_collected");
  record.lastSuccessAt ? json.value(utcText(*record.lastSuccessAt)) : json.null();
  json.key("age_s");
  meter.ageS ? json.value(*meter.ageS) : json.null();
  json.key("failed_runs").value(record.failedRuns).key("last_attempt");
  if (record.lastAttempt) {
    const fleet::MeterRecord::Attempt& attempt = *record.lastAttempt;
    json.beginObject().key("started_at").value(utcText(attempt.startedAt)).key("ended_at");
    attempt.endedAt ? json.value(utcText(*attempt.endedAt)) : json.null();
    json.key("code");
    attempt.code ? json.value(*attempt.code) : json.null();
    json.key("source").value(attempt.source).key("message").value(attempt.message).endObject();
  } else {
    json.null();
  }
  json.key("loggers").beginArray();
  for (const fleet::MeterRecord::Logger& logger : record.loggers) {
    json.beginObject().key("logger").value(logger.logNo).key("epoch").value(logger.epoch);
    json.key("first_rsn");
    logger.firstRsn ? json.value(*logger.firstRsn) : json.null();
    json.key("last_rsn");
    logger.lastRsn ? json.value(*logger.lastRsn) : json.null();
    json.key("stored").value(logger.stored).key("missing").value(logger.missing()).endObject();
  }
  json.endArray().key("alarms").beginArray();
  for (const fleet::AlarmRow& alarm : record.openAlarms) writeAlarmJson(json, alarm);
  json.endArray().endObject();
}

void writeFleetStatusJson(JsonWriter& json, const fleet::FleetStatus& status) {
  using fleet::MeterState;
  json.beginObject().key("summary").beginObject()
      .key("verdict").value(fleet::verdictName(status.verdict))
      .key("exit_status").value(static_cast<int64_t>(status.verdict))
      .key("meters").value(static_cast<int64_t>(status.meters.size()));
  for (MeterState state : {MeterState::Ok, MeterState::Late, MeterState::Missing,
                           MeterState::Failing, MeterState::Never}) {
    json.key(fleet::meterStateName(state)).value(status.byState[static_cast<size_t>(state)]);
  }
  json.key("alarms_open").value(status.alarmsOpen)
      .key("critical_alarms").value(status.criticalAlarms)
      .endObject();
  if (status.outbox && status.outbox->any()) {
    const fleet::OutboxStatus& outbox = *status.outbox;
    json.key("outbox").beginObject().key("messages").value(outbox.messages).key("oldest_at");
    outbox.oldestAt ? json.value(utcText(*outbox.oldestAt)) : json.null();
    json.key("oldest_age_s");
    outbox.oldestAgeS ? json.value(*outbox.oldestAgeS) : json.null();
    json.key("brokers").beginArray();
    for (const fleet::BrokerState& broker : outbox.brokers) {
      json.beginObject()
          .key("collector").utf8(broker.collector)
          .key("broker").utf8(broker.broker)
          .key("state").value(broker.state)
          .key("since").value(utcText(broker.since))
          .key("detail").utf8(broker.detail)
          .endObject();
    }
    json.endArray().endObject();
  }
  json.key("meters").beginArray();
  for (const fleet::MeterStatus& meter : status.meters) writeMeterStatusJson(json, meter);
  json.endArray().endObject();
}

}  // namespace vb::cli
