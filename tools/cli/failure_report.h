// What the program adds to the library's message when a request fails: what
// was being done, which line was used, what the logger holds and what to
// change. The result's code and source stay as the library set them.
#pragma once

#include <optional>
#include <string>

#include "options.h"
#include "outcome.h"
#include "requests.h"

namespace vb::cli {

struct FailureContext {
  // The request that failed, or the first one when the link did not open.
  Command request = Command::None;
  // The failure came while the line was opened or the call set up.
  bool openingLink = false;
  // The logger's header, read after a download failed for want of room or
  // of data in the range.
  std::optional<LoggerData> header;
  // The failed download's plan.
  std::optional<DownloadPlan> plan;
};

// The library's message, on one line, with what the program knows added.
std::string failureMessage(const ResultRecord& result, const Options& options,
                           const FailureContext& context);

// The warning for a receive time-out shorter than a download's largest
// reply needs; empty when it is long enough.
std::string shortTimeoutWarning(const DownloadPlan& plan);

}  // namespace vb::cli
