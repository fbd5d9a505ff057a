// The two ways a failure reason becomes a connection's error text.
#include <cstring>
#include <string>

#include "driver_port.h"
#include "platform/error.h"

namespace vb::driver {
namespace {

constexpr char kCarriageReturn = '\r';

// Copies at most kErrorTextSize - 1 characters of text into field (which is
// all zero), clearing bit 7 when asked. Returns the length of the stored
// text, which ends early where a cleared character became 0.
size_t copyText(char* field, const char* text, bool clearBit7) {
  size_t n = 0;
  while (n < kErrorTextSize - 1 && text[n] != '\0') {
    field[n] = clearBit7 ? static_cast<char>(text[n] & 0x7F) : text[n];
    ++n;
  }
  return std::strlen(field);
}

// Removes carriage returns from the end, one by one, keeping the first
// character whatever it is.
void stripTrailingCarriageReturns(char* field, size_t length) {
  while (length > 1 && field[length - 1] == kCarriageReturn) field[--length] = '\0';
}

}  // namespace

void SetErrorText(DriverPort& port, const char* text) {
  char field[kErrorTextSize] = {};
  size_t length = copyText(field, text != nullptr ? text : "", port.traits().clearBit7InTexts);
  stripTrailingCarriageReturns(field, length);
  port.storeErrorText(field);
}

void SetSystemErrorText(DriverPort& port, const char* prefix) {
  const std::string systemText = platform::lastErrorText();
  char field[kErrorTextSize] = {};
  size_t length = copyText(field, prefix, port.traits().clearBit7InTexts);
  // The system text must fit, with its terminator, into the rest of the field.
  if (systemText.size() < kErrorTextSize - length) {
    std::memcpy(field + length, systemText.data(), systemText.size());
  }
  stripTrailingCarriageReturns(field, std::strlen(field));
  port.storeErrorText(field);
}

}  // namespace vb::driver
