#include "modem_calls.h"

#include <cstring>

#include "line_constants.h"
#include "modem_protocol.h"
#include "reply.h"
#include "serial_line.h"

namespace vb::dialport {
namespace {

using driver::DriverPort;
using driver::Reply;

// A reply whose first byte is above this cannot be a result code.
constexpr unsigned char kHighestTextByte = 0x7F;

int writeText(DriverPort& port, const char* text) {
  return driver::WriteLine(port, reinterpret_cast<const unsigned char*>(text),
                           static_cast<uint32_t>(std::strlen(text)));
}

// Length of text, counted no further than limit + 1.
size_t boundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

enum class DialOutcome { Unrecognised, Failed, Connected };

// Tests one dial reply for the result codes, failures first, so a reply
// holding both "CONNECT" and "NO CARRIER" fails.
DialOutcome classifyDialReply(DriverPort& port, const Reply& reply) {
  for (const char* code : kDialFailureCodes) {
    if (driver::ReplyContains(port, reply.text, code) != 0) {
      driver::SetErrorText(port, code);
      return DialOutcome::Failed;
    }
  }
  if (driver::ReplyContains(port, reply.text, kConnectCode) != 0) return DialOutcome::Connected;
  return DialOutcome::Unrecognised;
}

// Waits for and reads up to five replies to the dial command.
DialOutcome awaitDialResult(DriverPort& port) {
  Reply reply;
  for (uint32_t pass = 0; pass < kDialReplyPasses; ++pass) {
    const uint32_t queued =
        driver::WaitForInput(port, kDialReplyWaitMs, driver::kReplyPollIntervalMs);
    if (queued == 0) {
      driver::SetErrorText(port, kNoReplyToDial);
      return DialOutcome::Failed;
    }
    if (!driver::ReadReply(port, queued, &reply)) return DialOutcome::Failed;
    const DialOutcome outcome = classifyDialReply(port, reply);
    if (outcome != DialOutcome::Unrecognised) return outcome;
  }
  // Five replies without a result code: the last one says what happened.
  if (static_cast<unsigned char>(reply.text[0]) > kHighestTextByte) {
    driver::SetSystemErrorText(port, kUnreadableModemError);
  } else {
    port.storeErrorText(reply.text);
  }
  return DialOutcome::Failed;
}

}  // namespace

int EnterCommandMode(DriverPort& port) {
  if (driver::Pause(port, kEscapeGuardMs) == 0) return 0;
  if (driver::WriteLine(port, kEscapeSequence, sizeof kEscapeSequence) == 0) {
    driver::SetErrorText(port, kUnableToEnterCommandMode);
    return 0;
  }
  return driver::Pause(port, kEscapeGuardMs);
}

int InitialiseModem(DriverPort& port) {
  for (const char* command : kSetupCommands) {
    writeText(port, command);
    if (driver::Pause(port, kSetupCommandPauseMs) == 0) return 0;
  }
  return 1;
}

int HangUp(DriverPort& port) {
  if (writeText(port, kHangUpCommand) == 0) {
    driver::SetErrorText(port, kFailedToSendHangUp);
    return 0;
  }
  const uint32_t queued =
      driver::WaitForInput(port, kHangUpReplyWaitMs, driver::kReplyPollIntervalMs);
  if (queued == 0) {
    driver::SetErrorText(port, kNoReplyToHangUp);
    return 0;
  }
  Reply reply;
  if (!driver::ReadReply(port, queued, &reply)) return 0;
  if (reply.length == 0) {
    driver::SetErrorText(port, kNoReplyToHangUp);
    return 0;
  }
  if (driver::ReplyContains(port, reply.text, kOkReply) != 0) return 1;
  driver::SetErrorText(port, kNoOkToHangUp);
  return 0;
}

int Dial(DriverPort& port, const char* number) {
  const size_t numberLength = boundedLength(number, kMaxNumberLength);
  if (numberLength > kMaxNumberLength) {
    driver::SetErrorText(port, kNumberTooLong);
    return 0;
  }
  char command[kDialCommandBufferSize] = {};
  const size_t prefixLength = sizeof kDialPrefix - 1;
  std::memcpy(command, kDialPrefix, prefixLength);
  std::memcpy(command + prefixLength, number, numberLength);
  command[prefixLength + numberLength] = '\r';
  if (writeText(port, command) == 0) {
    driver::SetErrorText(port, kFailedToSendDial);
    return 0;
  }

  const DialOutcome outcome = awaitDialResult(port);
  // Whatever the modem sent after the reply that was read (the rest of a
  // CONNECT line, say) must not reach the link's data.
  if (!port.line().purge()) {
    driver::SetSystemErrorText(port, driver::kPurgeFailed);
    return 0;
  }
  if (outcome != DialOutcome::Connected) return 0;
  return driver::Pause(port, kAfterConnectPauseMs);
}

int ConnectCall(DriverPort& port, const char* number) {
  if (EnterCommandMode(port) == 0) return 0;
  if (HangUp(port) == 0) return 0;
  return Dial(port, number);
}

}  // namespace vb::dialport
