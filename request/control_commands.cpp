#include "control_commands.h"

#include <cstring>

#include "formats/cdtf.h"
#include "host_buffer.h"
#include "message_frame.h"
#include "result.h"
#include "step_trace.h"
#include "trace.h"
#include "transaction.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

uint8_t* Buffer(RequestRecord* request) { return request->data; }

size_t PasswordLength(const RequestRecord& request) {
  size_t n = 0;
  while (n < sizeof request.password && request.password[n] != '\0') ++n;
  return n;
}

// Runs the command built in the buffer and checks the reply's status.
int RunStatusCommand(RequestRecord* request, ResultRecord* result, uint32_t replyRoom,
                     uint32_t* received) {
  if (CommandTransaction(request, result, replyRoom, received) == 0) return 0;
  return CheckReplyStatus(result, Reply{Buffer(request), *received});
}

}  // namespace

int CancelSession(RequestRecord* request, ResultRecord* result) {
  StepTrace trace("Cancel Session");
  BuildCommandHeader(Buffer(request), kClassControl, kCtlCancelSession,
                     kCancelSessionSent - kDataCountBase, 0);
  PutU16(Buffer(request) + kCommandDataOffset, kCancelSessionValue);
  request->dataLength = kCancelSessionSent;
  uint32_t received = 0;
  return RunStatusCommand(request, result, kStatusReplyRoom, &received);
}

int Unlock(RequestRecord* request, ResultRecord* result) {
  StepTrace trace("Unlock");
  const size_t n = PasswordLength(*request);
  const uint32_t sent = kUnlockFixedPart + static_cast<uint32_t>(n);
  BuildCommandHeader(Buffer(request), kClassMeterCommand, kCmdUnlock, sent - kDataCountBase, 0);
  std::memcpy(Buffer(request) + kCommandDataOffset, request->password, n);
  Buffer(request)[kCommandDataOffset + n] = '\0';
  request->dataLength = sent;
  uint32_t received = 0;
  if (CommandTransaction(request, result, kStatusReplyRoom, &received) == 0) return 0;
  const Reply reply{Buffer(request), received};
  uint16_t status = 0;
  if (!reply.U16At(kReplyStatusOffset, &status)) {
    ReportShortReply(result, received);
    return 0;
  }
  if (status == VB_PARAMETER_NOT_VALID) {
    SetResult(result, VB_PARAMETER_NOT_VALID, kSource, "Incorrect password");
    return 0;
  }
  return CheckReplyStatus(result, reply);
}

int Lock(RequestRecord* request, ResultRecord* result) {
  StepTrace trace("Lock");
  BuildCommandHeader(Buffer(request), kClassMeterCommand, kCmdLock, kLockSent - kDataCountBase,
                     0);
  request->dataLength = kLockSent;
  uint32_t received = 0;
  return RunStatusCommand(request, result, kStatusReplyRoom, &received);
}

int SetTime(RequestRecord* request, ResultRecord* result) {
  StepTrace trace("Set Time");
  const int32_t meterTime = HostClockToCdtf();
  BuildCommandHeader(Buffer(request), kClassMeterCommand, kCmdSetTime,
                     kSetTimeSent - kDataCountBase, 0);
  PutU32(Buffer(request) + kCommandDataOffset, static_cast<uint32_t>(meterTime));
  request->dataLength = kSetTimeSent;
  uint32_t received = 0;
  if (RunStatusCommand(request, result, kSetTimeReplyRoom, &received) == 0) return 0;
  const Reply reply{Buffer(request), received};
  if (reply.Holds(kSetTimePrevTimeOffset, 4)) {
    Trace("New Time %d\n", static_cast<int32_t>(GetU32(reply.bytes + kSetTimeNewTimeOffset)));
    Trace("Prev Time %d\n", static_cast<int32_t>(GetU32(reply.bytes + kSetTimePrevTimeOffset)));
  }
  return 1;
}

int CheckRestartParameters(ResultRecord* result) {
  const HostBuffer& host = SavedHostBuffer();
  if (host.data == nullptr || host.dataLength >= kRestartParameterBytes) return 1;
  SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL,
             "Restart parameters need %u bytes of host data, got %u",
             static_cast<unsigned>(kRestartParameterBytes),
             static_cast<unsigned>(host.dataLength));
  return 0;
}

int RestartLogger(RequestRecord* request, ResultRecord* result) {
  StepTrace trace("RestartLogger");
  if (CheckRestartParameters(result) == 0) return 0;
  const HostBuffer& host = SavedHostBuffer();
  const uint16_t logNo = static_cast<uint16_t>(request->logNo);
  if (host.data == nullptr) {
    BuildCommandHeader(Buffer(request), kClassMeterCommand, kCmdRestartLogger,
                       kRestartSent - kDataCountBase, 0);
    request->dataLength = kRestartSent;
  } else {
    BuildCommandHeader(Buffer(request), kClassMeterCommand, kCmdRestartLoggerWithParameters,
                       kRestartWithParametersSent - kDataCountBase, 0);
    std::memcpy(Buffer(request) + kRestartParameterOffset, host.data, kRestartParameterBytes);
    request->dataLength = kRestartWithParametersSent;
  }
  PutU16(Buffer(request) + kCommandDataOffset, logNo);
  uint32_t received = 0;
  if (CommandTransaction(request, result, kRestartReplyRoom, &received) == 0) return 0;
  const Reply reply{Buffer(request), received};
  uint16_t echo = 0;
  if (!reply.U16At(kRestartLogNoEchoOffset, &echo)) {
    // A reply without the LogNo may still carry the meter's refusal.
    uint16_t status = 0;
    if (reply.U16At(kReplyStatusOffset, &status) && status != 0) {
      ReportMeterStatus(result, status);
    } else {
      ReportShortReply(result, received);
    }
    return 0;
  }
  if (echo != logNo) {
    SetResultF(result, VB_LOGNO_MISMATCH, "Bad LogNo received. Expected %d, got %d",
               static_cast<int>(logNo), static_cast<int>(echo));
    return 0;
  }
  return CheckReplyStatus(result, reply);
}

}  // namespace vb::request
