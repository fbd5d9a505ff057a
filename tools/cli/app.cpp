#include "app.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "exit_status.h"
#include "failure_report.h"
#include "json_writer.h"
#include "meter_link.h"
#include "output_file.h"
#include "platform/terminal.h"
#include "progress_bar.h"
#include "report.h"
#include "requests.h"

namespace vb::cli {

namespace {

constexpr char kConfirmation[] = "yes";

void printError(const std::string& text) {
  std::fprintf(stderr, "vantbrook: %s\n", text.c_str());
}

void applyProgressStyle(ProgressStyle progress) {
  switch (progress) {
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
}

// A download that empties the logger runs only with --yes, or when the user
// types the confirmation on a terminal.
bool confirmEmptying(const Options& options) {
  if (!runsDownload(options) || !emptiesLogger(options.download) || options.download.confirmed) {
    return true;
  }
  const std::string what = std::string(options.download.restart ? "--restart" : "--reset") +
                           " empties logger " + std::to_string(options.download.logNo) +
                           " of the meter";
  if (!platform::isTerminal(platform::StandardStream::Input)) {
    printError(what + ": add --yes to go ahead");
    return false;
  }
  std::fprintf(stderr, "%s after the download. Type '%s' to go ahead: ", what.c_str(),
               kConfirmation);
  std::fflush(stderr);
  std::string answer;
  if (std::getline(std::cin, answer) && answer == kConfirmation) return true;
  printError("not confirmed; nothing was done");
  return false;
}

// The requests of one run, their outcomes and how the run ended.
struct Run {
  std::vector<Outcome> outcomes;
  bool failed = false;
  ResultRecord failure{};
  FailureContext context;
};

bool changesLogger(const DownloadOptions& download) {
  return download.setTimeMode != 0 || emptiesLogger(download);
}

void runRequests(const Options& options, const std::vector<Command>& requests, Run* run) {
  // Reserved up front: earlierHeader points into it.
  run->outcomes.reserve(requests.size());
  run->context.request = requests.front();
  // Every run holds its link: a header read after a download (to report what
  // the logger holds) then goes over the same call.
  MeterLink link(options.connection);
  if (!link.prepare(&run->failure) || !link.hold(&run->failure)) {
    run->failed = true;
    run->context.openingLink = true;
    return;
  }
  const LoggerData* earlierHeader = nullptr;
  for (Command request : requests) {
    if (platform::interruptRequested()) return;
    std::optional<DownloadPlan> plan;
    if (request == Command::Download) {
      plan = planDownload(options.connection, options.download, earlierHeader);
      const std::string warning = shortTimeoutWarning(*plan);
      if (!warning.empty()) printError(warning);
      run->outcomes.push_back(requestDownload(link, options.download, *plan));
    } else if (request == Command::Dib) {
      run->outcomes.push_back(requestDib(link));
    } else if (request == Command::Versions) {
      run->outcomes.push_back(requestVersions(link));
    } else if (request == Command::Header) {
      run->outcomes.push_back(requestHeader(link, options.download));
    } else {
      run->outcomes.push_back(requestMessage(link, options.messageText, options.messageRoom));
    }
    Outcome& outcome = run->outcomes.back();
    if (!outcome.succeeded) {
      run->failed = true;
      run->failure = outcome.result;
      run->context.request = request;
      run->context.plan = plan;
      const int32_t code = outcome.result.code;
      if (plan && (code == VB_NO_DATA_IN_RANGE || code == VB_MESSAGE_TRUNCATED) &&
          !platform::interruptRequested()) {
        Outcome header = requestHeader(link, options.download);
        if (header.succeeded) run->context.header = header.logger;
      }
      return;
    }
    if (request == Command::Header) earlierHeader = &outcome.logger;
    if (request == Command::Download && changesLogger(options.download)) {
      Outcome header = requestHeader(link, options.download);
      if (header.succeeded) outcome.afterwards = header.logger;
      outcome.clockSet = options.download.setTimeMode != 0;
      outcome.loggerEmptied = emptiesLogger(options.download);
    }
  }
  // The link is released and the line closed here, before any output.
}

void printOutcomes(const Run& run, bool session, const std::string& failureText,
                   const Presentation& presentation) {
  if (presentation.json) {
    JsonWriter json;
    if (session || run.failed) {
      json.beginObject();
      if (session) {
        json.key("session").beginArray();
        for (const Outcome& outcome : run.outcomes) {
          if (outcome.succeeded) writeJson(json, outcome);
        }
        json.endArray();
      }
      if (run.failed) writeErrorJson(json, run.context.request, run.failure, failureText);
      json.endObject();
    } else {
      writeJson(json, run.outcomes.front());
    }
    std::fputs(json.text().c_str(), stdout);
    return;
  }
  bool first = true;
  for (const Outcome& outcome : run.outcomes) {
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
  applyProgressStyle(options.progress);
  // What can be refused without the meter is refused before the line is
  // opened and any line time spent.
  OutputFile csv;
  if (!options.download.csvPath.empty()) {
    std::string reason;
    if (!csv.open(options.download.csvPath, &reason)) {
      printError("cannot write " + options.download.csvPath + ": " + reason);
      return kExitUsage;
    }
  }
  if (!confirmEmptying(options)) return kExitUsage;

  const bool session = options.command == Command::Session;
  const std::vector<Command> requests =
      session ? options.sessionRequests : std::vector<Command>{options.command};
  Run run;
  runRequests(options, requests, &run);

  const std::string failureText =
      run.failed ? failureMessage(run.failure, options, run.context) : std::string();
  if (!run.outcomes.empty() || (run.failed && presentation.json)) {
    printOutcomes(run, session, failureText, presentation);
  }
  std::fflush(stdout);

  int status = kExitOk;
  const Outcome* download = nullptr;
  for (const Outcome& outcome : run.outcomes) {
    if (outcome.succeeded && outcome.request == Command::Download) download = &outcome;
  }
  if (download != nullptr) {
    if (download->logger.mayBeCut) {
      printError("warning: the download filled all " +
                 std::to_string(download->logger.entryCount()) +
                 " entries it had room for; the logger may hold more (see --capacity)");
    }
    std::string reason;
    if (csv.isOpen() && !csv.commit(renderCsv(download->logger), &reason)) {
      printError("cannot write " + csv.path() + ": " + reason);
      status = kExitUsage;
    }
  }
  if (platform::interruptRequested()) {
    printError(run.failed ? "interrupted: " + describeResult(failureText, run.failure)
                          : std::string("interrupted"));
    return kExitInterrupted;
  }
  if (run.failed) {
    printError(describeResult(failureText, run.failure));
    return exitStatusForResult(run.failure.code);
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
