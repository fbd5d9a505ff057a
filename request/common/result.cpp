#include "result.h"

#include <cstdarg>
#include <cstdio>

#include "platform/text.h"

namespace vb::request {
namespace {
const char* const kResultTexts[VB_RESULT_CODE_COUNT] = VB_RESULT_TEXTS;
}

const char* ResultText(int32_t code) {
  if (code < 0 || code >= VB_RESULT_CODE_COUNT) return "";
  return kResultTexts[code];
}

void SetResult(ResultRecord* result, int32_t code, const char* source, const char* message) {
  result->code = code;
  platform::copyField(result->source, sizeof result->source, source);
  platform::copyField(result->message, sizeof result->message, message);
}

void SetResultF(ResultRecord* result, int32_t code, const char* format, ...) {
  char message[VB_MESSAGE_FIELD + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  SetResult(result, code, kSource, message);
}

}  // namespace vb::request
