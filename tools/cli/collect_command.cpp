#include "collect_command.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <optional>

#include "collector.h"
#include "command_arguments.h"
#include "exit_status.h"
#include "fleet_file.h"
#include "json_writer.h"
#include "meter_time.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "store.h"

namespace vb::cli {

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kLiveRedrawMs = 250;
// How long an --on-alarm command may take before it is stopped.
constexpr uint32_t kAlarmHookMs = 60000;
// How long the run goes on publishing after its meters.
constexpr uint32_t kPublishAfterRunMs = 60000;

void printError(const std::string& text) { std::fprintf(stderr, "vantbrook: %s\n", text.c_str()); }

// "HH:MM" (the next time the clock shows it) or a full date and time, on
// the host's local standard time; the milliseconds from now until then.
std::optional<uint64_t> parseUntil(const std::string& text) {
  const uint32_t now = fleet::hostMeterTimeNow();
  std::optional<uint32_t> target;
  if (text.size() == 5 && text[2] == ':') {
    const std::string today = formatMeterTime(now).substr(0, 10);
    target = parseMeterTime(today + "T" + text);
    if (target && *target <= now) *target += kSecondsPerDay;
  } else {
    target = parseMeterTime(text);
  }
  if (!target) return std::nullopt;
  return *target > now ? uint64_t{*target - now} * 1000 : 0;
}

// "MESSAGE (code N, SOURCE)" on one line, as the other commands report.
std::string failureText(const fleet::MeterOutcome& outcome) {
  ResultRecord result{};
  result.code = outcome.code;
  platform::copyField(result.source, sizeof result.source, outcome.source.c_str());
  platform::copyField(result.message, sizeof result.message, outcome.message.c_str());
  return describeResult(result);
}

std::string outcomeText(const fleet::MeterOutcome& outcome) {
  if (outcome.ok) return "ok, " + std::to_string(outcome.entriesNew) + " new entries";
  return failureText(outcome);
}

// One line per fleet line, redrawn in place on a terminal.
class LiveDisplay {
 public:
  explicit LiveDisplay(const fleet::Collector& collector) : collector_(collector) {}
  ~LiveDisplay() { stop(); }

  void start() {
    running_ = true;
    thread_.start([this] {
      while (running_) {
        draw();
        platform::sleepMs(kLiveRedrawMs);
      }
      draw();
    });
  }
  void stop() {
    if (!running_.exchange(false)) return;
    while (!thread_.joinFor(1000)) {
    }
  }

 private:
  void draw() {
    const std::vector<fleet::LineActivity> lines = collector_.activity();
    std::string text;
    if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A";
    for (const fleet::LineActivity& line : lines) {
      char row[160];
      if (line.meter.empty()) {
        std::snprintf(row, sizeof row, "\r\x1b[2K%-12.12s %s\n", line.line.c_str(),
                      line.stage.empty() ? "starting" : line.stage.c_str());
      } else {
        std::snprintf(row, sizeof row, "\r\x1b[2K%-12.12s %-16.16s %-12.12s %3d%% %8llu entries\n",
                      line.line.c_str(), line.meter.c_str(), line.stage.c_str(), line.percent,
                      static_cast<unsigned long long>(line.entries));
      }
      text += row;
    }
    drawn_ = lines.size();
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }

  const fleet::Collector& collector_;
  platform::Thread thread_;
  std::atomic<bool> running_{false};
  size_t drawn_ = 0;
};

// UTC time as ISO 8601 ("2026-12-08T17:06:19Z").
std::string utcText(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string alarmText(const fleet::AlarmChange& alarm) {
  std::string where = alarm.meter;
  if (alarm.logNo != 0) where += " logger " + std::to_string(alarm.logNo);
  return where + " " + alarm.kind + " (" + fleet::severityName(alarm.severity) + "): " +
         alarm.detail;
}

// How the run's publishing went, for its summary.
struct MqttReport {
  fleet::PublisherStatus publisher;
  fleet::Store::OutboxStats outbox;
};

std::string mqttText(const MqttReport& report) {
  const fleet::PublisherStatus& publisher = report.publisher;
  std::string text = "MQTT " + publisher.broker + ": " + std::to_string(publisher.published) +
                     (publisher.published == 1 ? " message" : " messages") + " published";
  if (publisher.connections == 0 && publisher.failures > 0) {
    text += "; never connected (" + publisher.problem + "; " +
            std::to_string(publisher.failures) + (publisher.failures == 1 ? " try)" : " tries)");
  } else if (publisher.failures > 0) {
    text += "; " + std::to_string(publisher.failures) + " connections failed or were lost (last: " +
            publisher.problem + ")";
  }
  if (publisher.dropped > 0) {
    text += "; " + std::to_string(publisher.dropped) +
            " entries messages dropped from the full outbox";
  }
  if (!publisher.outboxHeldBy.empty()) {
    text += "; the outbox is published by the collector on " + publisher.outboxHeldBy;
  }
  const int64_t waiting = report.outbox.messages;
  if (waiting == 0) return text + "; none waiting.";
  return text + "; " + std::to_string(waiting) + (waiting == 1 ? " waits" : " wait") +
         " in the outbox for the next connection.";
}

void printSummary(const fleet::Summary& summary, const std::optional<MqttReport>& mqtt) {
  if (!summary.storeError.empty()) std::printf("Store failed: %s\n", summary.storeError.c_str());
  std::printf("Meters: %u ok, %u failed", summary.metersOk, summary.metersFailed);
  if (summary.metersLeft > 0) {
    std::printf(", %u left to another run that holds their lines", summary.metersLeft);
  }
  std::printf(". New entries: %llu. Calls: %u. Time: %.1f s.\n",
              static_cast<unsigned long long>(summary.entriesNew), summary.calls,
              summary.seconds);
  if (summary.metersFailed > 0) {
    std::printf("\nFailed meters:\n");
    for (const fleet::MeterOutcome& outcome : summary.meters) {
      if (outcome.ok || outcome.leftToOtherRun) continue;
      std::printf("  %-16s %-12s %s\n", outcome.meter.c_str(), outcome.line.c_str(),
                  failureText(outcome).c_str());
    }
  }
  if (summary.metersLeft > 0) {
    std::printf("\nLeft to another run:\n");
    for (const fleet::MeterOutcome& outcome : summary.meters) {
      if (!outcome.leftToOtherRun) continue;
      std::printf("  %-16s %-12s %s\n", outcome.meter.c_str(), outcome.line.c_str(),
                  outcome.message.c_str());
    }
  }
  if (mqtt) std::printf("%s\n", mqttText(*mqtt).c_str());
  for (bool raised : {true, false}) {
    bool any = false;
    for (const fleet::AlarmChange& alarm : summary.alarms) {
      if (alarm.raised != raised) continue;
      if (!any) std::printf("\nAlarms %s:\n", raised ? "raised" : "cleared");
      any = true;
      std::printf("  %s\n", alarmText(alarm).c_str());
    }
  }
}

void printSummaryJson(const fleet::Summary& summary, const std::optional<MqttReport>& mqtt,
                      const std::vector<std::string>& hookFailures) {
  JsonWriter json;
  json.beginObject()
      .key("meters_ok").value(summary.metersOk)
      .key("meters_failed").value(summary.metersFailed)
      .key("meters_left").value(summary.metersLeft)
      .key("entries_new").value(static_cast<int64_t>(summary.entriesNew))
      .key("bytes").value(static_cast<int64_t>(summary.bytes))
      .key("calls").value(summary.calls)
      .key("seconds").value(summary.seconds)
      .key("interrupted").value(summary.interrupted);
  if (!summary.storeError.empty()) json.key("store_error").value(summary.storeError);
  if (mqtt) {
    const fleet::PublisherStatus& publisher = mqtt->publisher;
    json.key("mqtt").beginObject()
        .key("broker").value(publisher.broker)
        .key("connections").value(publisher.connections)
        .key("failures").value(publisher.failures)
        .key("problem").value(publisher.problem)
        .key("published").value(static_cast<int64_t>(publisher.published))
        .key("dropped").value(publisher.dropped)
        .key("waiting").value(mqtt->outbox.messages)
        .key("outbox_held_by").value(publisher.outboxHeldBy)
        .key("oldest_waiting_at");
    mqtt->outbox.oldestAt ? json.value(utcText(*mqtt->outbox.oldestAt)) : json.null();
    json.endObject();
  }
  json.key("meters").beginArray();
  for (const fleet::MeterOutcome& outcome : summary.meters) {
    json.beginObject()
        .key("meter").utf8(outcome.meter)
        .key("line").utf8(outcome.line)
        .key("ok").value(outcome.ok)
        .key("left_to_other_run").value(outcome.leftToOtherRun)
        .key("code").value(outcome.code)
        .key("source").value(outcome.source)
        .key("message").value(outcome.message)
        .key("entries_new").value(static_cast<int64_t>(outcome.entriesNew))
        .key("bytes").value(static_cast<int64_t>(outcome.bytes))
        .key("calls").value(outcome.calls)
        .key("attempts").value(outcome.attempts)
        .key("line_seconds").value(outcome.lineSeconds)
        .endObject();
  }
  json.endArray().key("alarms").beginArray();
  for (const fleet::AlarmChange& alarm : summary.alarms) {
    json.beginObject()
        .key("id").value(alarm.id)
        .key("state").value(alarm.raised ? "raised" : "cleared")
        .key("meter").utf8(alarm.meter)
        .key("logger").value(alarm.logNo)
        .key("kind").value(alarm.kind)
        .key("severity").value(fleet::severityName(alarm.severity))
        .key("at").value(utcText(alarm.at))
        .key("value").value(alarm.value)
        .key("detail").utf8(alarm.detail)
        .endObject();
  }
  json.endArray().key("hook_failures").beginArray();
  for (const std::string& failure : hookFailures) json.value(failure);
  json.endArray().endObject();
  std::fputs(json.text().c_str(), stdout);
}

// Runs the --on-alarm command once per alarm raised or cleared; what
// failed, one text each.
std::vector<std::string> runAlarmHooks(const std::string& command,
                                       const std::vector<fleet::AlarmChange>& alarms) {
  std::vector<std::string> failures;
  for (const fleet::AlarmChange& alarm : alarms) {
    platform::ProcessOptions options;
    options.environment = {
        "VANTBROOK_ALARM_ID=" + std::to_string(alarm.id),
        std::string("VANTBROOK_ALARM_STATE=") + (alarm.raised ? "raised" : "cleared"),
        "VANTBROOK_ALARM_METER=" + alarm.meter,
        "VANTBROOK_ALARM_LOGGER=" + std::to_string(alarm.logNo),
        "VANTBROOK_ALARM_KIND=" + alarm.kind,
        std::string("VANTBROOK_ALARM_SEVERITY=") + fleet::severityName(alarm.severity),
        "VANTBROOK_ALARM_VALUE=" + std::to_string(alarm.value),
        "VANTBROOK_ALARM_DETAIL=" + alarm.detail,
        "VANTBROOK_ALARM_AT=" + utcText(alarm.at),
    };
    platform::ChildProcess hook;
    std::string failure;
    if (!hook.start("/bin/sh", {"-c", command}, options)) {
      failure = "cannot start it: " + platform::lastErrorText();
    } else if (!hook.waitFor(kAlarmHookMs)) {
      failure = "still running after " + std::to_string(kAlarmHookMs / 1000) + " s; stopped";
    } else if (hook.exitStatus() != 0) {
      failure = "exit status " + std::to_string(hook.exitStatus());
    }
    if (failure.empty()) continue;
    failures.push_back("--on-alarm for " + alarm.meter + " " + alarm.kind + " " +
                       (alarm.raised ? "raised" : "cleared") + ": " + failure);
    printError(failures.back());
  }
  return failures;
}

}  // namespace

fleet::MqttSettings mqttSettings(const MqttArguments& arguments, const std::string& collector) {
  fleet::MqttSettings settings;
  settings.url = arguments.url;
  settings.caFile = arguments.caFile;
  settings.clientId = arguments.clientId;
  settings.user = arguments.user;
  settings.passwordFile = arguments.passwordFile;
  settings.prefix = arguments.prefix;
  settings.entries = arguments.entries;
  settings.collector = collector;
  return settings;
}

int collectFleet(const CollectRequest& request) {
  std::string error;
  std::optional<fleet::Fleet> fleet = fleet::loadFleet(request.fleetPath, &error);
  if (!fleet) {
    printError(error);
    return kExitUsage;
  }
  // A name the fleet file does not know is a typo, not an empty selection.
  const fleet::MeterSelection& selection = request.settings.selection;
  for (const std::string& id : selection.meters) {
    if (std::none_of(fleet->meters.begin(), fleet->meters.end(),
                     [&id](const fleet::MeterConfig& meter) { return meter.id == id; })) {
      printError("collect: --meter " + id + ": " + request.fleetPath + " has no such meter");
      return kExitUsage;
    }
  }
  for (const std::string& name : selection.lines) {
    if (std::none_of(fleet->lines.begin(), fleet->lines.end(),
                     [&name](const fleet::LineConfig& line) { return line.name == name; })) {
      printError("collect: --line " + name + ": " + request.fleetPath + " has no such line");
      return kExitUsage;
    }
  }
  if (request.check) {
    std::printf("%s: %zu lines, %zu meters, no errors\n", request.fleetPath.c_str(),
                fleet->lines.size(), fleet->meters.size());
    return kExitOk;
  }
  std::unique_ptr<fleet::Store> store = fleet::Store::open(request.dbPath, &error);
  if (!store) {
    printError(error);
    return kExitStoreFailed;
  }
  store->setLeaseSeconds(request.leaseSeconds);
  if (!fleet::mapDeviceLines(&*fleet, &error, request.settings.collector)) {
    printError(error);
    return kExitUsage;
  }
  // The publisher reads the outbox beside the collection and goes on a
  // little after it; a broker that is away holds up neither.
  std::unique_ptr<fleet::MqttPublisher> publisher;
  std::vector<fleet::AlarmChange> publisherAlarms;  // read once its thread has ended
  if (request.mqtt) {
    publisher = std::make_unique<fleet::MqttPublisher>(*request.mqtt, *store);
    publisher->onAlarm(
        [&publisherAlarms](const fleet::AlarmChange& alarm) { publisherAlarms.push_back(alarm); });
    if (!publisher->start(&error)) {
      printError(error + "; the run goes on without publishing");
      publisher.reset();
    }
  }
  const bool live = request.progress == "auto" &&
                    platform::isTerminal(platform::StandardStream::Error);
  const bool logLines = request.progress == "lines" || (request.progress == "auto" && !live);
  fleet::Collector collector(*fleet, *store, request.settings);
  LiveDisplay display(collector);
  if (live) display.start();
  fleet::Summary summary = collector.run([logLines, &publisher](
                                             const fleet::MeterOutcome& outcome, bool willRetry) {
    if (publisher) publisher->nudge();
    if (!logLines) return;
    std::fprintf(stderr, "%s %s: %s%s\n", outcome.line.c_str(), outcome.meter.c_str(),
                 outcomeText(outcome).c_str(), willRetry ? "; will retry" : "");
    std::fflush(stderr);
  });
  display.stop();
  std::optional<MqttReport> mqtt;
  if (publisher) {
    // Stopped: only `offline` and a clean disconnect.
    publisher->finish(summary.interrupted ? 0 : kPublishAfterRunMs);
    summary.alarms.insert(summary.alarms.end(), publisherAlarms.begin(), publisherAlarms.end());
    mqtt = MqttReport{publisher->status(), {}};
    if (!store->outboxStats(&mqtt->outbox, &error)) summary.storeError = error;
  }
  std::vector<std::string> hookFailures;
  if (!request.onAlarm.empty()) hookFailures = runAlarmHooks(request.onAlarm, summary.alarms);
  if (request.json) {
    printSummaryJson(summary, mqtt, hookFailures);
  } else {
    printSummary(summary, mqtt);
  }
  std::fflush(stdout);
  if (!summary.storeError.empty()) {
    printError("the store failed: " + summary.storeError);
    return kExitStoreFailed;
  }
  if (summary.interrupted) return kExitInterrupted;
  for (const fleet::MeterOutcome& outcome : summary.meters) {
    if (outcome.code == fleet::kCodeStoreFailed) return kExitStoreFailed;
  }
  return summary.metersFailed == 0 ? kExitOk : kExitSomeMetersFailed;
}

int runCollect(const std::vector<std::string>& arguments) {
  CLI::App app;
  CollectArguments given;
  defineCollect(app, given);
  if (std::optional<int> status = parseCommand(app, kCollectText, arguments, kExitUsage)) {
    return *status;
  }
  if (!given.check && given.dbPath.empty()) {
    printError("collect: --db STORE is required (or --check)");
    return kExitUsage;
  }
  std::string error;
  CollectRequest request;
  request.fleetPath = given.fleetPath;
  request.dbPath = given.dbPath;
  request.check = given.check;
  request.json = given.json;
  request.progress = given.progress;
  request.onAlarm = given.onAlarm;
  fleet::CollectSettings& settings = request.settings;
  settings.retries = given.retries;
  settings.retryDelayMs = given.retryDelayS * 1000;
  settings.selection.meters = given.meters;
  settings.selection.lines = given.lines;
  settings.waitForLines = !given.noWait;
  settings.collector = given.collector;
  request.leaseSeconds = given.leaseSeconds;
  if (!given.until.empty()) {
    std::optional<uint64_t> fromNow = parseUntil(given.until);
    if (!fromNow) {
      printError("collect: --until: not a time: " + given.until);
      return kExitUsage;
    }
    settings.untilMs = platform::nowMs() + *fromNow;
  }
  if (!given.since.empty()) {
    settings.since = parseMeterTime(given.since);
    if (!settings.since) {
      printError("collect: --since: not a time: " + given.since);
      return kExitUsage;
    }
  }
  if (!given.mqtt.url.empty()) {
    request.mqtt = fleet::mqttConfig(mqttSettings(given.mqtt, given.collector), &error);
    if (!request.mqtt) {
      printError("collect: " + error);
      return kExitUsage;
    }
    settings.outbox = true;
    settings.outboxEntries = given.mqtt.entries;
  }
  settings.stopRequested = [] { return platform::interruptRequested(); };
  return collectFleet(request);
}

}  // namespace vb::cli
