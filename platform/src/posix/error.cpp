// The calling thread's last OS error (an errno value) and its system text.
#include "platform/error.h"

#include <errno.h>

#include <cstring>

namespace vb::platform {

namespace {

thread_local int lastError = 0;

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer);
// these overloads take whichever the C library declares.
[[maybe_unused]] const char* errorTextFrom(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* errorTextFrom(const char* text, const char*) { return text; }

}  // namespace

int lastErrorCode() { return lastError; }

void setLastErrorCode(int code) { lastError = code; }

void setLastFailure(FailureKind kind) {
  switch (kind) {
    case FailureKind::None:
      lastError = 0;
      return;
    case FailureKind::Cancelled:
      lastError = ECANCELED;
      return;
    case FailureKind::TimedOut:
      lastError = ETIMEDOUT;
      return;
    case FailureKind::Gone:
      lastError = EIO;
      return;
    case FailureKind::BadArgument:
      lastError = EINVAL;
      return;
    case FailureKind::Other:
      lastError = EPERM;
      return;
  }
}

FailureKind lastFailure() {
  switch (lastError) {
    case 0:
      return FailureKind::None;
    case ECANCELED:
      return FailureKind::Cancelled;
    case ETIMEDOUT:
      return FailureKind::TimedOut;
    case EIO:
    case ENXIO:
    case ENODEV:
    case ENOENT:
    case EPIPE:
    case EHOSTDOWN:
      return FailureKind::Gone;
    case EINVAL:
    case EBADF:
    case ENOTTY:
      return FailureKind::BadArgument;
    default:
      return FailureKind::Other;
  }
}

std::string lastErrorText() {
  char buffer[256] = {};
  std::string text = errorTextFrom(strerror_r(lastError, buffer, sizeof buffer), buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace vb::platform
