#include "exit_status.h"

#include <cstring>

#include "platform/text.h"
#include "vantbrook/vantbrook.h"

namespace vb::cli {

ExitStatus exitStatusForResult(int32_t code) {
  switch (code) {
    case VB_OK:
      return kExitOk;
    case VB_COMMAND_NOT_SUCCESSFUL:
    case VB_BAD_BYTE_COUNT:
    case VB_SUPPLIER_MISMATCH:
      return kExitDataError;
    case VB_NOT_IMPLEMENTED:
    case VB_WRITE_ACCESS_DENIED:
    case VB_READ_ACCESS_DENIED:
    case VB_LOGGER_DOES_NOT_EXIST:
    case VB_LOGGER_NOT_READ:
    case VB_NO_DATA_IN_RANGE:
    case VB_BUSY:
    case VB_PARAMETER_NOT_VALID:
    case VB_TAMPER_SEAL_ACTIVE:
    case VB_METER_ID_MISMATCH:
    case VB_LOGNO_MISMATCH:
    case VB_METER_NOT_RESPONDING:
    case VB_DIB_NOT_AVAILABLE:
      return kExitMeterRefused;
    default:
      // 11, 12, 16, 18, 19, 21, 23, 24, 25 and anything unknown: the link.
      return kExitLink;
  }
}

std::string fieldText(const char* field, size_t size) {
  const void* end = std::memchr(field, '\0', size);
  size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - field) : size;
  return std::string(field, length);
}

std::string oneLineMessage(const ResultRecord& result) {
  return platform::oneLine(fieldText(result.message, sizeof result.message));
}

std::string describeResult(const ResultRecord& result) {
  return describeResult(oneLineMessage(result), result);
}

std::string describeResult(const std::string& message, const ResultRecord& result) {
  return message + " (code " + std::to_string(result.code) + ", " +
         fieldText(result.source, sizeof result.source) + ")";
}

}  // namespace vb::cli
