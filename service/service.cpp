#include "service.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "collector.h"
#include "event_hub.h"
#include "fleet_file.h"
#include "http_api.h"
#include "json_writer.h"
#include "metrics.h"
#include "platform/clock.h"
#include "platform/service_manager.h"
#include "platform/text.h"
#include "status_report.h"
#include "store.h"

namespace vb::service {

namespace {

using platform::LogPriority;
using platform::logLine;

constexpr uint32_t kLoopMs = 200;
// How long a stopping service goes on publishing.
constexpr uint32_t kPublishWhileStoppingMs = 3000;
constexpr size_t kMaxTokenBytes = 4096;

std::string outcomeText(const fleet::MeterOutcome& outcome) {
  if (outcome.ok) return "collected, " + std::to_string(outcome.entriesNew) + " new entries";
  return outcome.message + " (code " + std::to_string(outcome.code) + ", " + outcome.source + ")";
}

std::string eventJson(const fleet::CollectorEvent& event) {
  cli::JsonWriter json;
  json.beginObject();
  switch (event.kind) {
    case fleet::CollectorEvent::Kind::Activity:
      json.key("line").utf8(event.activity.line)
          .key("meter").utf8(event.activity.meter)
          .key("stage").value(event.activity.stage)
          .key("entries").value(static_cast<int64_t>(event.activity.entries));
      break;
    case fleet::CollectorEvent::Kind::AttemptEnded:
      json.key("meter").utf8(event.outcome.meter)
          .key("line").utf8(event.outcome.line)
          .key("ok").value(event.outcome.ok)
          .key("code").value(event.outcome.code)
          .key("message").value(event.outcome.message)
          .key("entries_new").value(static_cast<int64_t>(event.outcome.entriesNew))
          .key("will_retry").value(event.willRetry)
          .key("seconds").value(event.seconds);
      break;
    case fleet::CollectorEvent::Kind::Alarm:
      json.key("id").value(event.alarm.id)
          .key("state").value(event.alarm.raised ? "raised" : "cleared")
          .key("meter").utf8(event.alarm.meter)
          .key("logger").value(event.alarm.logNo)
          .key("kind").value(event.alarm.kind)
          .key("severity").value(fleet::severityName(event.alarm.severity))
          .key("at").value(cli::utcText(event.alarm.at))
          .key("detail").utf8(event.alarm.detail);
      break;
  }
  json.endObject();
  std::string text = json.text();
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

const char* eventName(fleet::CollectorEvent::Kind kind) {
  switch (kind) {
    case fleet::CollectorEvent::Kind::AttemptEnded:
      return "attempt";
    case fleet::CollectorEvent::Kind::Alarm:
      return "alarm";
    case fleet::CollectorEvent::Kind::Activity:
      break;
  }
  return "activity";
}

// The publisher's state into the metrics, and into the log when it changed.
void reportPublisher(const fleet::PublisherStatus& now, fleet::PublisherStatus* before,
                     Metrics* metrics) {
  metrics->mqtt(now.connected, now.published);
  if (now.connected && !before->connected) {
    logLine(LogPriority::Notice, "MQTT: connected to " + now.broker);
  } else if (!now.connected && !now.problem.empty() &&
             (before->connected || now.problem != before->problem)) {
    logLine(LogPriority::Warning, "MQTT: " + now.broker + ": " + now.problem +
                                      "; the messages wait in the outbox, and the broker is "
                                      "tried again");
  }
  if (now.dropped > before->dropped) {
    logLine(LogPriority::Warning, "MQTT: " + std::to_string(now.dropped - before->dropped) +
                                      " entries messages dropped from the full outbox");
  }
  if (!now.storeError.empty() && now.storeError != before->storeError) {
    logLine(LogPriority::Error, "MQTT: the store failed: " + now.storeError);
  }
  *before = now;
}

// The fleet file checked and its device lines mapped; nothing (logged)
// when it is wrong.
std::optional<fleet::Fleet> loadFleet(const std::string& path, const std::string& collector) {
  std::string error;
  std::optional<fleet::Fleet> fleet = fleet::loadFleet(path, &error);
  if (fleet && !fleet::mapDeviceLines(&*fleet, &error, collector)) fleet.reset();
  if (!fleet) logLine(LogPriority::Error, error);
  return fleet;
}

bool readToken(const std::string& path, std::string* token, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read the token file " + path;
    return false;
  }
  std::string text(kMaxTokenBytes + 1, '\0');
  file.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(file.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty() || text.size() > kMaxTokenBytes) {
    *error = "the token file " + path + " holds no token (one line of up to " +
             std::to_string(kMaxTokenBytes) + " characters)";
    return false;
  }
  *token = text;
  return true;
}

// The collector that runs now, for the HTTP side: replaced when the fleet
// file is read again.
class RunningCollector final : public CollectorAccess {
 public:
  void set(fleet::Collector* collector, const fleet::Fleet* fleet) {
    std::lock_guard<std::mutex> guard(lock_);
    collector_ = collector;
    fleet_ = fleet;
  }
  std::vector<fleet::LineActivity> activity() override {
    std::lock_guard<std::mutex> guard(lock_);
    return collector_ != nullptr ? collector_->activity() : std::vector<fleet::LineActivity>();
  }
  bool collectNow(const std::string& meter, std::string* reason, int* status) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (collector_ == nullptr || fleet_ == nullptr) {
      *reason = "the service is reading its fleet file again; ask once more";
      *status = 503;
      return false;
    }
    const bool known = std::any_of(fleet_->meters.begin(), fleet_->meters.end(),
                                   [&](const fleet::MeterConfig& m) { return m.id == meter; });
    if (!known) {
      *reason = "no meter '" + meter + "' in the fleet file";
      *status = 404;
      return false;
    }
    if (collector_->collectNow(meter, reason)) return true;
    // Known, but not now: its calls a day are spent, or its line is held
    // by another run.
    *status = reason->find("calls today") != std::string::npos ? 429 : 409;
    return false;
  }
  bool schedule(const std::string& meter, Schedule* schedule) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (fleet_ == nullptr) return false;
    for (const fleet::MeterConfig& config : fleet_->meters) {
      if (config.id != meter) continue;
      schedule->intervalS = config.intervalS;
      schedule->window = config.window ? fleet::formatWindow(*config.window) : std::string();
      schedule->maxCallsPerDay = config.maxCallsPerDay;
      schedule->callsToday = collector_ != nullptr ? collector_->callsTodayOf(meter) : 0;
      return true;
    }
    return false;
  }

 private:
  std::mutex lock_;
  fleet::Collector* collector_ = nullptr;
  const fleet::Fleet* fleet_ = nullptr;
};

}  // namespace

bool parseAddress(const std::string& text, std::string* host, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string name = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const int number = std::stoi(digits);
  if (number > 65535) return false;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  *host = name.empty() ? "0.0.0.0" : name;
  *port = number;
  return true;
}

int runService(const ServiceOptions& options) {
  std::string host;
  int port = 0;
  if (!parseAddress(options.httpAddress, &host, &port)) {
    logLine(LogPriority::Error, "serve: --http " + options.httpAddress +
                                    " is not an address and port such as 127.0.0.1:8080");
    return kServiceUsage;
  }
  ApiSettings api;
  api.host = host;
  api.port = port;
  std::string error;
  if (!options.tokenFile.empty()) {
    std::string token;
    if (!readToken(options.tokenFile, &token, &error)) {
      logLine(LogPriority::Error, "serve: " + error);
      return kServiceUsage;
    }
    api.token = token;
  }
  if (!isLoopback(host) && !api.token) {
    logLine(LogPriority::Error,
            "serve: --http " + options.httpAddress +
                " reaches beyond this host: give --token-file, whose token then guards every "
                "request but /healthz");
    return kServiceUsage;
  }
  std::optional<fleet::MqttConfig> mqtt;
  if (options.mqtt) {
    mqtt = fleet::mqttConfig(*options.mqtt, &error);
    if (!mqtt) {
      logLine(LogPriority::Error, "serve: " + error);
      return kServiceUsage;
    }
  }
  std::optional<fleet::Fleet> fleet = loadFleet(options.fleetPath, options.collector);
  if (!fleet) return kServiceUsage;
  std::unique_ptr<fleet::Store> store = fleet::Store::open(options.dbPath, &error);
  std::unique_ptr<fleet::Store> reader =
      store ? fleet::Store::openForReading(options.dbPath, &error) : nullptr;
  if (!store || !reader) {
    logLine(LogPriority::Error, "serve: " + error);
    return kServiceStoreFailed;
  }
  store->setLeaseSeconds(options.leaseSeconds);

  Metrics metrics;
  EventHub events;
  // A broker that is away holds up nothing: the publisher tries again on
  // its own thread, and the messages wait in the outbox.
  std::unique_ptr<fleet::MqttPublisher> publisher;
  if (mqtt) {
    publisher = std::make_unique<fleet::MqttPublisher>(*mqtt, *store);
    publisher->onAlarm([&events](const fleet::AlarmChange& alarm) {
      logLine(LogPriority::Warning, std::string("alarm ") + (alarm.raised ? "raised" : "cleared") +
                                        ": " + alarm.meter + " " + alarm.kind + ": " +
                                        alarm.detail);
      fleet::CollectorEvent event;
      event.kind = fleet::CollectorEvent::Kind::Alarm;
      event.alarm = alarm;
      events.publish({eventName(event.kind), eventJson(event)});
    });
    if (!publisher->start(&error)) {
      logLine(LogPriority::Error, "serve: " + error + "; the service goes on without publishing");
      publisher.reset();
    }
  }
  fleet::PublisherStatus published;
  RunningCollector running;
  HttpApi http(api, *reader, *store, running, metrics, events);
  if (!http.start(&error)) {
    logLine(LogPriority::Error, "serve: " + error);
    return kServiceUsage;
  }
  const std::string url = "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                          ":" + std::to_string(http.port()) + "/";
  logLine(LogPriority::Notice, "serving " + std::to_string(fleet->meters.size()) + " meters on " +
                                   std::to_string(fleet->lines.size()) + " lines; " + url);
  if (options.listening) options.listening(url);
  platform::notifyReady();

  const uint64_t watchdogMs = platform::watchdogPingIntervalMs();
  uint64_t pingAt = 0;
  bool stopping = false;
  while (!stopping) {
    fleet::CollectSettings settings;
    settings.continuous = true;
    settings.retries = options.retries;
    settings.retryDelayMs = options.retryDelayS * 1000;
    settings.stopRequested = options.stopRequested;
    settings.collector = options.collector;
    settings.outbox = mqtt.has_value();
    settings.outboxEntries = mqtt && mqtt->entries;
    fleet::Collector collector(*fleet, *store, settings);
    collector.onEvent([&events, &metrics, &publisher](const fleet::CollectorEvent& event) {
      if (publisher && event.kind != fleet::CollectorEvent::Kind::Activity) publisher->nudge();
      if (event.kind == fleet::CollectorEvent::Kind::AttemptEnded) {
        metrics.attemptEnded(event.outcome, event.seconds);
        logLine(event.outcome.ok ? LogPriority::Info : LogPriority::Warning,
                event.outcome.line + " " + event.outcome.meter + ": " + outcomeText(event.outcome) +
                    (event.willRetry ? "; will retry" : ""));
      } else if (event.kind == fleet::CollectorEvent::Kind::Alarm) {
        logLine(event.alarm.severity == fleet::Severity::Critical && event.alarm.raised
                    ? LogPriority::Error
                    : LogPriority::Warning,
                std::string("alarm ") + (event.alarm.raised ? "raised" : "cleared") + ": " +
                    event.alarm.meter + " " + event.alarm.kind + ": " + event.alarm.detail);
      }
      events.publish({eventName(event.kind), eventJson(event)});
    });
    running.set(&collector, &*fleet);
    fleet::Summary summary;
    std::thread worker([&] { summary = collector.run([](const fleet::MeterOutcome&, bool) {}); });
    std::optional<fleet::Fleet> next;
    for (;;) {
      platform::sleepMs(kLoopMs);
      if (watchdogMs > 0 && platform::nowMs() >= pingAt) {
        platform::notifyWatchdog();
        pingAt = platform::nowMs() + watchdogMs;
      }
      if (publisher) reportPublisher(publisher->status(), &published, &metrics);
      if (options.stopRequested && options.stopRequested()) {
        stopping = true;
        platform::notifyStopping();
        logLine(LogPriority::Notice, "stopping: the calls under way are ended");
        // Idle lines wait for their next meter; the calls under way end
        // through the stop request itself.
        collector.finish();
        break;
      }
      if (options.reloadRequested && options.reloadRequested()) {
        logLine(LogPriority::Notice, "reading " + options.fleetPath + " again");
        next = loadFleet(options.fleetPath, options.collector);
        if (!next) {
          logLine(LogPriority::Error, "the fleet file was refused; the service goes on with the "
                                      "one it had");
          continue;
        }
        platform::notifyReloading();
        collector.finish();
        break;
      }
    }
    worker.join();
    running.set(nullptr, nullptr);
    if (!summary.storeError.empty()) logLine(LogPriority::Error, "store: " + summary.storeError);
    if (next) {
      fleet = std::move(next);
      logLine(LogPriority::Notice, "now serving " + std::to_string(fleet->meters.size()) +
                                       " meters on " + std::to_string(fleet->lines.size()) +
                                       " lines");
      platform::notifyReady();
    }
  }
  if (publisher) publisher->finish(kPublishWhileStoppingMs);
  http.stop();
  return 0;
}

}  // namespace vb::service
