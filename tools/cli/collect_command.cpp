#include "collect_command.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <optional>

#include "collector.h"
#include "exit_status.h"
#include "fleet_file.h"
#include "json_writer.h"
#include "meter_time.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "store.h"

namespace vb::cli {

namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kLiveRedrawMs = 250;
constexpr uint32_t kDefaultRetryDelayS = 10;

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

void printSummary(const fleet::Summary& summary) {
  if (!summary.storeError.empty()) std::printf("Store failed: %s\n", summary.storeError.c_str());
  std::printf("Meters: %u ok, %u failed. New entries: %llu. Calls: %u. Time: %.1f s.\n",
              summary.metersOk, summary.metersFailed,
              static_cast<unsigned long long>(summary.entriesNew), summary.calls,
              summary.seconds);
  if (summary.metersFailed == 0) return;
  std::printf("\nFailed meters:\n");
  for (const fleet::MeterOutcome& outcome : summary.meters) {
    if (outcome.ok) continue;
    std::printf("  %-16s %-12s %s\n", outcome.meter.c_str(), outcome.line.c_str(),
                failureText(outcome).c_str());
  }
}

void printSummaryJson(const fleet::Summary& summary) {
  JsonWriter json;
  json.beginObject()
      .key("meters_ok").value(summary.metersOk)
      .key("meters_failed").value(summary.metersFailed)
      .key("entries_new").value(static_cast<int64_t>(summary.entriesNew))
      .key("bytes").value(static_cast<int64_t>(summary.bytes))
      .key("calls").value(summary.calls)
      .key("seconds").value(summary.seconds)
      .key("interrupted").value(summary.interrupted);
  if (!summary.storeError.empty()) json.key("store_error").value(summary.storeError);
  json.key("meters").beginArray();
  for (const fleet::MeterOutcome& outcome : summary.meters) {
    json.beginObject()
        .key("meter").utf8(outcome.meter)
        .key("line").utf8(outcome.line)
        .key("ok").value(outcome.ok)
        .key("code").value(outcome.code)
        .key("source").value(outcome.source)
        .key("message").value(outcome.message)
        .key("entries_new").value(static_cast<int64_t>(outcome.entriesNew))
        .key("bytes").value(static_cast<int64_t>(outcome.bytes))
        .key("calls").value(outcome.calls)
        .key("attempts").value(outcome.attempts)
        .endObject();
  }
  json.endArray().endObject();
  std::fputs(json.text().c_str(), stdout);
}

// Parses a command's arguments with CLI11; the exit status when the
// command is to end here (help shown, or a usage error), else nothing.
std::optional<int> parse(CLI::App& app, const std::vector<std::string>& arguments) {
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    printError(error.what());
    return kExitUsage;
  }
  return std::nullopt;
}

}  // namespace

int collectFleet(const CollectRequest& request) {
  std::string error;
  std::optional<fleet::Fleet> fleet = fleet::loadFleet(request.fleetPath, &error);
  if (!fleet) {
    printError(error);
    return kExitUsage;
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
  if (!fleet::mapDeviceLines(&*fleet, &error)) {
    printError(error);
    return kExitUsage;
  }
  const bool live = request.progress == "auto" &&
                    platform::isTerminal(platform::StandardStream::Error);
  const bool logLines = request.progress == "lines" || (request.progress == "auto" && !live);
  fleet::Collector collector(*fleet, *store, request.settings);
  LiveDisplay display(collector);
  if (live) display.start();
  fleet::Summary summary = collector.run([logLines](const fleet::MeterOutcome& outcome,
                                                    bool willRetry) {
    if (!logLines) return;
    std::fprintf(stderr, "%s %s: %s%s\n", outcome.line.c_str(), outcome.meter.c_str(),
                 outcomeText(outcome).c_str(), willRetry ? "; will retry" : "");
    std::fflush(stderr);
  });
  display.stop();
  if (request.json) {
    printSummaryJson(summary);
  } else {
    printSummary(summary);
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
  CLI::App app("Collects every meter of a fleet file into a SQLite store.", "vantbrook collect");
  app.footer(
      "Exit statuses: 0 every meter collected; 2 bad command line or fleet file (nothing\n"
      "collected); 6 some meters not collected (the others are stored); 7 the store\n"
      "cannot be opened or written; 130 interrupted (what was complete is kept).");
  CollectRequest request;
  std::string until, since;
  uint32_t retryDelayS = kDefaultRetryDelayS;
  app.add_option("FLEET", request.fleetPath, "the fleet file (TOML)")->required();
  app.add_flag("--check", request.check, "check the fleet file only");
  app.add_option("--db", request.dbPath, "the store (SQLite), created when missing");
  app.add_option("--retries", request.settings.retries,
                 "further attempts at a failed meter (default 2)");
  app.add_option("--retry-delay", retryDelayS,
                 "seconds before the first retry, doubling with each (default 10)");
  app.add_option("--until", until,
                 "start no attempt after this time: HH:MM or YYYY-MM-DDTHH:MM (local standard time)");
  app.add_option("--since", since,
                 "a logger read for the first time is read from this meter time on");
  app.add_flag("--json", request.json, "print the summary as JSON");
  app.add_option("--progress", request.progress,
                 "auto (live lines on a terminal, else log lines), lines or off")
      ->check(CLI::IsMember({"auto", "lines", "off"}));
  if (std::optional<int> status = parse(app, arguments)) return *status;
  if (!request.check && request.dbPath.empty()) {
    printError("collect: --db FILE is required (or --check)");
    return kExitUsage;
  }
  request.settings.retryDelayMs = retryDelayS * 1000;
  if (!until.empty()) {
    std::optional<uint64_t> fromNow = parseUntil(until);
    if (!fromNow) {
      printError("collect: --until: not a time: " + until);
      return kExitUsage;
    }
    request.settings.untilMs = platform::nowMs() + *fromNow;
  }
  if (!since.empty()) {
    request.settings.since = parseMeterTime(since);
    if (!request.settings.since) {
      printError("collect: --since: not a time: " + since);
      return kExitUsage;
    }
  }
  request.settings.stopRequested = [] { return platform::interruptRequested(); };
  return collectFleet(request);
}

}  // namespace vb::cli
