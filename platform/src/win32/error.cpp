// The calling thread's last OS error (a GetLastError value) and its text from
// FormatMessageA.
#include "platform/error.h"

#include <cstdint>

#include "system_text.h"

namespace vb::platform {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

namespace win32 {

std::string systemText(DWORD code) {
  char buffer[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  std::string text(buffer, length < sizeof buffer ? length : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) text = "Unknown error " + std::to_string(code);
  return text;
}

// Windows' 32-bit handle interoperability: a kernel handle has 32
// significant bits on both targets (on x64 the upper half repeats bit 31), so
// HandleToLong keeps all of it and LongToHandle gives it back.
static_assert(sizeof(HandleToLong(nullptr)) == sizeof(int32_t),
              "a kernel handle's 32 significant bits fill a record's handle field");

HANDLE toHandle(int32_t field) { return LongToHandle(field); }

int32_t toField(HANDLE handle) { return HandleToLong(handle); }

}  // namespace win32

int lastErrorCode() { return static_cast<int>(lastError); }

void setLastErrorCode(int code) { lastError = static_cast<DWORD>(code); }

void setLastFailure(FailureKind kind) {
  switch (kind) {
    case FailureKind::None:
      lastError = ERROR_SUCCESS;
      return;
    case FailureKind::Cancelled:
      lastError = ERROR_OPERATION_ABORTED;
      return;
    case FailureKind::TimedOut:
      lastError = ERROR_TIMEOUT;
      return;
    case FailureKind::Gone:
      lastError = ERROR_DEVICE_NOT_CONNECTED;
      return;
    case FailureKind::BadArgument:
      lastError = ERROR_INVALID_PARAMETER;
      return;
    case FailureKind::Other:
      lastError = ERROR_GEN_FAILURE;
      return;
  }
}

FailureKind lastFailure() {
  switch (lastError) {
    case ERROR_SUCCESS:
      return FailureKind::None;
    case ERROR_OPERATION_ABORTED:
      return FailureKind::Cancelled;
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
      return FailureKind::TimedOut;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BROKEN_PIPE:
    case ERROR_HANDLE_EOF:
      return FailureKind::Gone;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_FUNCTION:
      return FailureKind::BadArgument;
    default:
      return FailureKind::Other;
  }
}

std::string lastErrorText() { return win32::systemText(lastError); }

}  // namespace vb::platform
