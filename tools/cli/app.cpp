#include "app.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "exit_status.h"
#include "json_writer.h"
#include "meter_link.h"
#include "platform/terminal.h"
#include "progress_bar.h"
#include "report.h"
#include "requests.h"

namespace vb::cli {

namespace {

void printError(const std::string& text) {
  std::fprintf(stderr, "vantbrook: %s\n", text.c_str());
}

Outcome runOne(MeterLink& link, Command request, const Options& options,
               const LoggerData* earlierHeader) {
  switch (request) {
    case Command::Dib:
      return requestDib(link);
    case Command::Versions:
      return requestVersions(link);
    case Command::Header:
      return requestHeader(link, options.download);
    case Command::Download:
      return requestDownload(link, options.download, earlierHeader);
    default:
      return requestMessage(link, options.messageText, options.messageRoom);
  }
}

bool writeCsv(const std::string& path, const LoggerData& logger) {
  std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
  file << renderCsv(logger);
  file.close();
  return !file.fail();
}

void printOutcomes(const std::vector<Outcome>& outcomes, bool session,
                   const Presentation& presentation) {
  if (presentation.json) {
    JsonWriter json;
    if (session) {
      json.beginObject().key("session").beginArray();
      for (const Outcome& outcome : outcomes) writeJson(json, outcome);
      json.endArray().endObject();
    } else {
      writeJson(json, outcomes.front());
    }
    std::fputs(json.text().c_str(), stdout);
    return;
  }
  bool first = true;
  for (const Outcome& outcome : outcomes) {
    if (!outcome.succeeded) continue;
    if (session) {
      std::printf("%s[%s]\n", first ? "" : "\n", commandName(outcome.request));
    }
    first = false;
    std::fputs(renderTable(outcome, presentation.tableEntryLimit).c_str(), stdout);
  }
}

}  // namespace

int runMeterCommand(const Options& options, const Presentation& presentation) {
  switch (options.progress) {
    case ProgressStyle::Auto:
      ProgressBar::setStyle(platform::isTerminal(platform::StandardStream::Error)
                                ? ProgressBar::Style::Bar
                                : ProgressBar::Style::Off);
      break;
    case ProgressStyle::Lines:
      ProgressBar::setStyle(ProgressBar::Style::Lines);
      break;
    case ProgressStyle::Off:
      ProgressBar::setStyle(ProgressBar::Style::Off);
      break;
  }
  const bool session = options.command == Command::Session;
  std::vector<Command> requests =
      session ? options.sessionRequests : std::vector<Command>{options.command};

  std::vector<Outcome> outcomes;
  // Reserved up front: earlierHeader points into it.
  outcomes.reserve(requests.size());
  ResultRecord failure{};
  bool failed = false;
  {
    MeterLink link(options.connection);
    if (!link.prepare(&failure)) {
      failed = true;
    } else if (session && !link.hold(&failure)) {
      failed = true;
    }
    const LoggerData* earlierHeader = nullptr;
    for (size_t i = 0; !failed && i < requests.size(); ++i) {
      if (platform::interruptRequested()) break;
      outcomes.push_back(runOne(link, requests[i], options, earlierHeader));
      const Outcome& outcome = outcomes.back();
      if (!outcome.succeeded) {
        failure = outcome.result;
        failed = true;
      } else if (outcome.request == Command::Header) {
        earlierHeader = &outcome.logger;
      }
    }
    // The link is released and the line closed here, before any output.
  }

  if (!outcomes.empty()) printOutcomes(outcomes, session, presentation);
  std::fflush(stdout);

  int status = kExitOk;
  for (const Outcome& outcome : outcomes) {
    if (!outcome.succeeded || outcome.request != Command::Download) continue;
    if (outcome.logger.mayBeCut) {
      printError("warning: the download filled all " +
                 std::to_string(outcome.logger.entryCount()) +
                 " entries it had room for; the logger may hold more (see --capacity)");
    }
    if (!options.download.csvPath.empty() && !writeCsv(options.download.csvPath, outcome.logger)) {
      printError("cannot write " + options.download.csvPath);
      status = kExitUsage;
    }
  }
  if (platform::interruptRequested()) {
    printError(failed ? "interrupted: " + describeResult(failure) : std::string("interrupted"));
    return kExitInterrupted;
  }
  if (failed) {
    printError(describeResult(failure));
    return exitStatusForResult(failure.code);
  }
  return status;
}

int runFlags(const Options& options) {
  if (options.json) {
    JsonWriter json;
    writeFlagsJson(json, options.flagsValue);
    std::fputs(json.text().c_str(), stdout);
  } else {
    std::fputs(renderFlagsTable(options.flagsValue).c_str(), stdout);
  }
  return kExitOk;
}

}  // namespace vb::cli
