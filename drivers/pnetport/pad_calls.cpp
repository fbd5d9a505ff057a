#include "pad_calls.h"

#include <cstring>

#include "line_constants.h"
#include "pad_protocol.h"
#include "platform/text.h"
#include "reply.h"
#include "serial_line.h"

namespace vb::pnetport {
namespace {

using driver::DriverPort;
using driver::Reply;

// Length of text, counted no further than limit + 1.
size_t boundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

// Waits for a reply and reads it. False with the error text set when none
// came or the read failed.
bool awaitReply(DriverPort& port, uint32_t waitMs, const char* noReplyText, Reply* reply) {
  const uint32_t queued = driver::WaitForInput(port, waitMs, driver::kReplyPollIntervalMs);
  if (queued == 0) {
    driver::SetErrorText(port, noReplyText);
    return false;
  }
  return driver::ReadReply(port, queued, reply);
}

// "Call failed to address <address>: len= <n>: " and the reply itself, cut
// to the field and stored exactly as composed.
void storeShortReplyText(DriverPort& port, const char* address, const Reply& reply) {
  char text[driver::kErrorTextSize];
  platform::formatField(text, sizeof text, kCallFailedFormat, address,
                        static_cast<int>(reply.length));
  size_t used = std::strlen(text);
  for (size_t i = 0; used < sizeof text - 1 && reply.text[i] != '\0'; ++i) {
    text[used++] = reply.text[i];
  }
  port.storeErrorText(text);
}

}  // namespace

int ClearCall(DriverPort& port) {
  if (driver::WriteLine(port, kClearCommand, sizeof kClearCommand) == 0) {
    driver::SetErrorText(port, kFailedToSendClear);
    return 0;
  }
  Reply reply;
  if (!awaitReply(port, kClearReplyWaitMs, kNoReplyToClear, &reply)) return 0;
  if (reply.length == 0) {
    driver::SetErrorText(port, kNoReplyToClear);
    return 0;
  }
  if (driver::ReplyContains(port, reply.text, kPrompt) != 0) return 1;
  driver::SetErrorText(port, reply.text);
  return 0;
}

int PlaceCall(DriverPort& port, const char* address) {
  const size_t addressLength = boundedLength(address, kMaxAddressLength);
  if (addressLength > kMaxAddressLength) {
    driver::SetErrorText(port, kAddressTooLong);
    return 0;
  }
  char command[kCallCommandBufferSize] = {};
  std::memcpy(command, address, addressLength);
  command[addressLength] = '\r';
  if (driver::WriteLine(port, reinterpret_cast<const unsigned char*>(command),
                        static_cast<uint32_t>(addressLength + 1)) == 0) {
    driver::SetErrorText(port, kFailedToSendCall);
    return 0;
  }

  // The first reply is normally the PAD's echo of the address; only a
  // refusal is looked for in it.
  Reply first;
  if (!awaitReply(port, kCallReplyWaitMs, kNoReplyToCall, &first)) return 0;
  if (driver::ReplyContains(port, first.text, kErrorSignal) != 0) {
    driver::SetErrorText(port, first.text);
    return 0;
  }

  Reply second;
  if (!awaitReply(port, kCallReplyWaitMs, kNoReplyToCall, &second)) return 0;
  if (second.length < kMinConnectedReplyBytes) {
    storeShortReplyText(port, address, second);
    return 0;
  }
  if (driver::ReplyContains(port, second.text, kConnectedSignal) != 0) return 1;
  driver::SetErrorText(port, second.text);
  return 0;
}

}  // namespace vb::pnetport
