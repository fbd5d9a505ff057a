// Exit statuses of the vantbrook program, one per class of outcome, and the
// one-line error report on standard error.
#pragma once

#include <cstdint>
#include <string>

#include "vantbrook/records.h"

namespace vb::cli {

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 2,
  kExitLink = 3,          // the line, the link or the call failed
  kExitMeterRefused = 4,  // the meter answered, but refused
  kExitDataError = 5,     // a reply that does not decode
  kExitInterrupted = 130,
};

// The exit status for a request's result code.
ExitStatus exitStatusForResult(int32_t code);

// A text field of a record: up to its NUL or the field's end.
std::string fieldText(const char* field, size_t size);

// A result's message on one readable line (see platform::oneLine).
std::string oneLineMessage(const ResultRecord& result);

// "<message> (code N, <source>)" on one line.
std::string describeResult(const ResultRecord& result);
std::string describeResult(const std::string& message, const ResultRecord& result);

}  // namespace vb::cli
