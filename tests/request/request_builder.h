// Builds RequestRecords for tests: COM1 with generous time-outs, no link,
// no application port, the other fields cleared.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "vantbrook/vantbrook.h"

namespace vb::request::testing {

inline constexpr uint32_t kGenerousTimeoutMs = 10000;

inline RequestRecord MakeRequest(int16_t requestCode) {
  RequestRecord request;
  std::memset(&request, 0, sizeof request);
  request.portNumber = 1;
  request.requestCode = requestCode;
  std::memcpy(request.protocol, "COM1", 4);
  request.receiveTimeout = kGenerousTimeoutMs;
  request.frameTimeout = 2000;
  request.linkHandle = -1;
  request.portHandle = -1;
  request.logNo = 1;
  request.commandAttempts = 1;
  request.reconnectAttempts = 1;
  request.resumeLimit = 3;
  return request;
}

// A ResultRecord filled with a recognisable code and texts.
inline ResultRecord MarkedResult() {
  ResultRecord result;
  std::memset(&result, 0, sizeof result);
  result.code = 4242;
  std::strcpy(result.source, "host source");
  std::strcpy(result.message, "host message");
  return result;
}

// Text of a fixed field that may fill it without a terminator.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace vb::request::testing
