#include "failure_report.h"

#include "entry_numbers.h"
#include "exit_status.h"
#include "line_timing.h"
#include "meter_time.h"
#include "platform/devicemap.h"
#include "vantbrook/vantbrook.h"

namespace vb::cli {

namespace {

// The start of the port driver's text when the serial line itself did not
// open, as opposed to a call that failed.
constexpr char kPortOpenFailure[] = "Failed to open port";

// Failures of the line itself, where knowing which device was used helps.
bool lineFailure(int32_t code) {
  return code == VB_REQUEST_TIMEOUT || code == VB_PORT_DRIVER_ERROR ||
         code == VB_FRAME_RETRIES_FAILED || code == VB_UNSUPPORTED_CONTROL ||
         code == VB_UNSPECIFIED_LINK_ERROR;
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string seconds(uint64_t ms) { return std::to_string((ms + 999) / 1000) + " s"; }

std::string lineNote(const ConnectionOptions& connection, const std::string& message) {
  if (connection.route != Route::Device) return platform::describeComPort(connection.com);
  if (message.find(connection.device) != std::string::npos) return std::string();
  return "line " + connection.device;
}

std::string callContext(const ConnectionOptions& connection, const std::string& message) {
  const bool pad = connection.route == Route::Pnet;
  if (startsWith(message, kPortOpenFailure)) {
    return std::string("opening the line to the ") + (pad ? "PAD" : "modem") + ": ";
  }
  return pad ? "PAD call to " + connection.address + " refused: "
             : "dialling " + connection.address + ": ";
}

std::string loggerHolds(const LoggerData& logger) {
  const std::string name = "logger " + std::to_string(logger.logNo);
  if (logger.entriesHeld() == 0) return name + " holds no entries";
  auto at = [](uint32_t time) {
    return validMeterTime(time) ? " (" + formatMeterTime(time) + ")" : std::string();
  };
  return name + " holds " + std::to_string(logger.entriesHeld()) + " entries, RSN " +
         std::to_string(logger.firstRsn()) + at(logger.firstTime()) + " to " +
         std::to_string(logger.lastRsn()) + at(logger.lastTime());
}

}  // namespace

std::string failureMessage(const ResultRecord& result, const Options& options,
                           const FailureContext& context) {
  const ConnectionOptions& connection = options.connection;
  const std::string library = oneLineMessage(result);
  std::string message = library;
  const bool call = connection.route == Route::Pnet || connection.route == Route::Dial;
  // A call the PAD or the modem refused reached its line: the refusal says
  // it all.
  bool callRefused = false;
  if (context.openingLink && call && result.code != VB_USER_ABORT) {
    message = callContext(connection, library) + library;
    callRefused = !startsWith(library, kPortOpenFailure);
  }
  if (result.code == VB_PARAMETER_NOT_VALID && connection.password.empty() &&
      library == "Incorrect password") {
    message += ": no --password was given, and this logger asks for one";
  }
  if (context.header && result.code == VB_NO_DATA_IN_RANGE) {
    message += "; " + loggerHolds(*context.header);
  }
  if (context.header && result.code == VB_MESSAGE_TRUNCATED && context.plan) {
    message += "; " + loggerHolds(*context.header) + ", more than the room for " +
               std::to_string(context.plan->capacity) + ": --capacity must be at least " +
               std::to_string(context.header->entriesHeld());
  }
  if (result.code == VB_REQUEST_TIMEOUT && context.plan &&
      context.plan->receiveTimeoutMs < context.plan->neededTimeoutMs) {
    const DownloadPlan& plan = *context.plan;
    message += "; a reply of up to " + std::to_string(plan.capacity) + " entries needs up to " +
               seconds(plan.neededTimeoutMs) + " at " + std::to_string(plan.baud) +
               " bit/s: leave --timeout out or give --timeout " +
               std::to_string(plan.neededTimeoutMs) + " or more, or a smaller --capacity";
  }
  if (lineFailure(result.code) && !callRefused) {
    const std::string note = lineNote(connection, library);
    if (!note.empty()) message += "; " + note;
  }
  return message;
}

std::string shortTimeoutWarning(const DownloadPlan& plan) {
  if (plan.receiveTimeoutMs >= plan.neededTimeoutMs) return std::string();
  return "warning: --timeout " + std::to_string(plan.receiveTimeoutMs) +
         " ms is shorter than the " + std::to_string(plan.neededTimeoutMs) +
         " ms that a reply of up to " + std::to_string(plan.capacity) + " entries may need at " +
         std::to_string(plan.baud) + " bit/s; the download may time out";
}

}  // namespace vb::cli
