#include "outbox_messages.h"

#include <ctime>

#include <nlohmann/json.hpp>

namespace vb::fleet {

namespace {

using Json = nlohmann::ordered_json;

std::string dumped(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string units(bool converted) { return converted ? "engineering" : "raw"; }

Json optionalNumber(const std::optional<double>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json pairJson(const PairEntry& pair) {
  Json json = Json::object();
  json["rsn"] = pair.rsn;
  json["meter_time"] = pair.time ? Json(meterTimeText(*pair.time)) : Json(nullptr);
  json["flow"] = optionalNumber(pair.flow);
  json["pressure"] = optionalNumber(pair.pressure);
  return json;
}

Json totalsJson(uint32_t rsn, const TotalsRecord& record) {
  Json json = Json::object();
  json["rsn"] = rsn;
  json["meter_time"] = meterTimeText(record.dateTime);
  json["totals"] = Json::array();
  for (uint32_t total : record.totals) json["totals"].push_back(total);
  json["extra1"] = record.extra1;
  json["extra2"] = record.extra2;
  json["crc_valid"] = record.crcValid != 0;
  return json;
}

// A meter id as one topic level: a '/' would add levels, and '+' and '#'
// are wildcards no message may carry (the payload keeps the id itself).
std::string topicLevel(const std::string& id) {
  std::string level = id;
  for (char& c : level) {
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return level;
}

std::string timeText(int64_t seconds, const char* format) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, format, &parts);
  return text;
}

}  // namespace

std::string meterTimeText(uint32_t hostTime) { return timeText(hostTime, "%Y-%m-%dT%H:%M:%S"); }

std::string utcTimeText(int64_t seconds) { return timeText(seconds, "%Y-%m-%dT%H:%M:%SZ"); }

OutboxMessage readingMessage(const MeterOutcome& outcome, int64_t at,
                             const std::vector<NewestEntry>& loggers) {
  Json json = Json::object();
  json["meter"] = outcome.meter;
  json["line"] = outcome.line;
  json["at"] = utcTimeText(at);
  json["ok"] = outcome.ok;
  json["code"] = outcome.code;
  json["source"] = outcome.source;
  json["message"] = outcome.message;
  json["entries_new"] = outcome.entriesNew;
  json["loggers"] = Json::array();
  for (const NewestEntry& logger : loggers) {
    Json entry = Json::object();
    entry["logger"] = logger.logNo;
    entry["entries_new"] = logger.entriesNew;
    if (logger.totals) {
      entry["units"] = "totals";
      entry["newest"] = totalsJson(logger.totals->first, logger.totals->second);
    } else {
      entry["units"] = units(logger.converted);
      entry["newest"] = logger.pair ? pairJson(*logger.pair) : Json(nullptr);
    }
    json["loggers"].push_back(entry);
  }
  return {"reading", "meter/" + topicLevel(outcome.meter) + "/reading", dumped(json), true};
}

std::vector<OutboxMessage> entriesMessages(const std::string& meter, int logNo, int epoch,
                                           const DownloadBatch& batch) {
  std::vector<OutboxMessage> messages;
  const bool totals = batch.totalsHeader != nullptr;
  const size_t count = totals ? batch.totals.size() : batch.pairs.size();
  for (size_t first = 0; first < count; first += kEntriesPerMessage) {
    Json json = Json::object();
    json["meter"] = meter;
    json["logger"] = logNo;
    json["epoch"] = epoch;
    json["units"] = totals ? "totals" : units(batch.converted);
    json["entries"] = Json::array();
    for (size_t i = first; i < count && i < first + kEntriesPerMessage; ++i) {
      json["entries"].push_back(totals ? totalsJson(batch.totals[i].first, batch.totals[i].second)
                                       : pairJson(batch.pairs[i]));
    }
    messages.push_back({"entries",
                        "meter/" + topicLevel(meter) + "/entries/" + std::to_string(logNo),
                        dumped(json), false});
  }
  return messages;
}

OutboxMessage alarmMessage(const AlarmChange& change) {
  std::string topic = "meter/" + topicLevel(change.meter) + "/alarm/" + change.kind;
  if (change.logNo != 0) topic += "/" + std::to_string(change.logNo);
  if (!change.raised) return {"alarm", topic, "", true};
  Json json = Json::object();
  json["id"] = change.id;
  json["meter"] = change.meter;
  json["logger"] = change.logNo;
  json["kind"] = change.kind;
  json["severity"] = severityName(change.severity);
  json["raised_at"] = utcTimeText(change.at);
  json["value"] = change.value;
  json["detail"] = change.detail;
  return {"alarm", topic, dumped(json), true};
}

}  // namespace vb::fleet
