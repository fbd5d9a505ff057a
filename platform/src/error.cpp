// The calling thread's last OS error and its system text.
#include "platform/error.h"

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

std::string lastErrorText() {
  char buffer[256] = {};
  std::string text = errorTextFrom(strerror_r(lastError, buffer, sizeof buffer), buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace vb::platform
