#include "connection.h"

#include "late_answers.h"
#include "link_call.h"
#include "platform/clock.h"
#include "result.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

constexpr uint32_t kReconnectPauseMs = 1000;
constexpr int32_t kHeld = 1;

bool PortCallbacksUsable(const RequestRecord& request) {
  return request.reopenPortCallback != nullptr && request.closePortCallback != nullptr;
}

}  // namespace

int OpenLink(RequestRecord* request, ResultRecord* result) {
  if (request->linkHandle != kNoHandle) return 1;
  if (LinkOpenPort(request, result) == 0) return 0;
  ForgetFurtherAnswers(request->linkHandle);
  return 1;
}

int CloseLink(RequestRecord* request, ResultRecord* result) {
  const int32_t link = request->linkHandle;
  if (link == kNoHandle) return 0;
  const int32_t closed = LinkClosePort(request, result);
  ForgetFurtherAnswers(link);
  return closed != 0 ? 1 : 0;
}

int TidyUpAndClosePort(RequestRecord* request, ResultRecord* result) {
  Trace("In TidyUpAndClosePort\n");
  if (request->holdConnection == kHeld &&
      (result->code == VB_OK || result->code == VB_NO_DATA_IN_RANGE)) {
    Trace("Brisel connection held\n");
    return 1;
  }
  ResultRecord scratch{};
  return CloseLink(request, &scratch);
}

int Reconnect(RequestRecord* request, ResultRecord* result) {
  const uint32_t attempts = request->reconnectAttempts == 0 ? 1 : request->reconnectAttempts;
  const bool useCallbacks = PortCallbacksUsable(*request);
  bool applicationPortClosed = false;
  ResultRecord scratch{};
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (request->linkHandle != kNoHandle && CloseLink(request, &scratch) == 0) break;
    if (useCallbacks && request->portHandle != kNoHandle) {
      applicationPortClosed = true;
      if (request->closePortCallback(&request->portHandle) == 0) {
        Trace("Failed to close application port during reconnect");
        break;
      }
    }
    platform::sleepMs(kReconnectPauseMs);
    if (useCallbacks && applicationPortClosed) request->reopenPortCallback(&request->portHandle);
    if (OpenLink(request, &scratch) != 0) {
      ++request->connectCount;
      return 1;
    }
    // The host aborted the new call's set-up: no further attempt, and the
    // abort is the outcome.
    if (scratch.code == VB_USER_ABORT) {
      *result = scratch;
      return 0;
    }
  }
  SetResult(result, VB_PORT_DRIVER_ERROR, kSource, "\nFailed to re-connect");
  return 0;
}

// A hold that failed holds nothing: with the hold left armed, the next
// ordinary request would leave its link, and a PAD or modem call, open.
int HoldConnection(DibRecord*, RequestRecord* request, ResultRecord* result) {
  request->holdConnection = kHeld;
  if (OpenLink(request, result) == 0 || request->linkHandle == kNoHandle) {
    request->holdConnection = 0;
    return 0;
  }
  ++request->connectCount;
  return 1;
}

int ReleaseConnection(DibRecord*, RequestRecord* request, ResultRecord* result) {
  request->holdConnection = 0;
  return TidyUpAndClosePort(request, result);
}

}  // namespace vb::request
