#include "metrics.h"

#include <cstdio>

namespace vb::service {

namespace {

void header(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

std::string labelValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void Metrics::attemptEnded(const fleet::MeterOutcome& outcome, double busySeconds) {
  std::lock_guard<std::mutex> guard(lock_);
  ++attempts_[{outcome.meter, outcome.line, outcome.code}];
  busySeconds_[outcome.line] += busySeconds;
  bytes_[outcome.line] += outcome.bytes;
  entries_[outcome.line] += outcome.entriesNew;
}

void Metrics::mqtt(bool connected, uint64_t published) {
  std::lock_guard<std::mutex> guard(lock_);
  mqttConnected_ = connected;
  mqttPublished_ = published;
}

std::string Metrics::render(const fleet::FleetStatus& status, int64_t) const {
  std::string out;
  {
    std::lock_guard<std::mutex> guard(lock_);
    header(&out, "vantbrook_attempts_total", "counter",
           "Attempts at meters since the service started, by meter, line and outcome code "
           "(0: collected).");
    for (const auto& [key, count] : attempts_) {
      const auto& [meter, line, code] = key;
      out += "vantbrook_attempts_total{meter=\"" + labelValue(meter) + "\",line=\"" +
             labelValue(line) + "\",code=\"" + std::to_string(code) + "\"} " +
             std::to_string(count) + "\n";
    }
    header(&out, "vantbrook_line_busy_seconds_total", "counter",
           "Seconds each line spent on meters since the service started.");
    for (const auto& [line, seconds] : busySeconds_) {
      out += "vantbrook_line_busy_seconds_total{line=\"" + labelValue(line) + "\"} " +
             number(seconds) + "\n";
    }
    header(&out, "vantbrook_reply_bytes_total", "counter",
           "Bytes of the meters' download replies, by line.");
    for (const auto& [line, bytes] : bytes_) {
      out += "vantbrook_reply_bytes_total{line=\"" + labelValue(line) + "\"} " +
             std::to_string(bytes) + "\n";
    }
    header(&out, "vantbrook_entries_stored_total", "counter",
           "Entries (pairs and totals records) stored new, by line.");
    for (const auto& [line, entries] : entries_) {
      out += "vantbrook_entries_stored_total{line=\"" + labelValue(line) + "\"} " +
             std::to_string(entries) + "\n";
    }
    if (mqttConnected_) {
      header(&out, "vantbrook_mqtt_connected", "gauge",
             "1 while the MQTT broker is connected, 0 while it is away.");
      out += "vantbrook_mqtt_connected " + std::string(*mqttConnected_ ? "1" : "0") + "\n";
      header(&out, "vantbrook_mqtt_published_total", "counter",
             "Messages the MQTT broker acknowledged since the service started.");
      out += "vantbrook_mqtt_published_total " + std::to_string(mqttPublished_) + "\n";
    }
  }
  if (status.outbox) {
    header(&out, "vantbrook_outbox_messages", "gauge",
           "Messages in the outbox, waiting for the MQTT broker.");
    out += "vantbrook_outbox_messages " + std::to_string(status.outbox->messages) + "\n";
    header(&out, "vantbrook_outbox_oldest_age_seconds", "gauge",
           "Age of the oldest message in the outbox (0 when it is empty).");
    out += "vantbrook_outbox_oldest_age_seconds " +
           std::to_string(status.outbox->oldestAgeS.value_or(0)) + "\n";
  }
  std::map<std::pair<std::string, std::string>, int> alarms;
  for (const fleet::MeterStatus& meter : status.meters) {
    for (const fleet::AlarmRow& alarm : meter.record.openAlarms) ++alarms[{alarm.kind, alarm.severity}];
  }
  header(&out, "vantbrook_alarms_open", "gauge", "Open alarms by kind and severity.");
  for (const auto& [key, count] : alarms) {
    out += "vantbrook_alarms_open{kind=\"" + labelValue(key.first) + "\",severity=\"" +
           labelValue(key.second) + "\"} " + std::to_string(count) + "\n";
  }
  header(&out, "vantbrook_meters", "gauge", "Meters by state (ok, late, missing, failing, never).");
  for (fleet::MeterState state : {fleet::MeterState::Ok, fleet::MeterState::Late,
                                  fleet::MeterState::Missing, fleet::MeterState::Failing,
                                  fleet::MeterState::Never}) {
    out += std::string("vantbrook_meters{state=\"") + fleet::meterStateName(state) + "\"} " +
           std::to_string(status.byState[static_cast<size_t>(state)]) + "\n";
  }
  header(&out, "vantbrook_meter_last_success_timestamp_seconds", "gauge",
         "When each meter was last collected completely (UTC seconds since 1970).");
  for (const fleet::MeterStatus& meter : status.meters) {
    if (!meter.record.lastSuccessAt) continue;
    out += "vantbrook_meter_last_success_timestamp_seconds{meter=\"" +
           labelValue(meter.record.meter) + "\"} " + std::to_string(*meter.record.lastSuccessAt) +
           "\n";
  }
  return out;
}

}  // namespace vb::service
