#include "message_frame.h"

#include <algorithm>

#include "result.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
  PutU16(at, static_cast<uint16_t>(value));
  PutU16(at + 2, static_cast<uint16_t>(value >> 16));
}

uint16_t GetU16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t GetU32(const uint8_t* at) {
  return static_cast<uint32_t>(GetU16(at)) | (static_cast<uint32_t>(GetU16(at + 2)) << 16);
}

void BuildCommandHeader(uint8_t* buffer, uint8_t messageClass, uint16_t command,
                        uint32_t dataCount, uint16_t parameter) {
  buffer[0] = kMessageMarker;
  buffer[1] = messageClass;
  PutU16(buffer + 2, command);
  PutU32(buffer + 4, dataCount);
  PutU16(buffer + 8, parameter);
}

bool Reply::U16At(uint32_t offset, uint16_t* value) const {
  if (!Holds(offset, 2)) return false;
  *value = GetU16(bytes + offset);
  return true;
}

void ReportMeterStatus(ResultRecord* result, uint32_t status) {
  if (status >= 1 && status < VB_RESULT_CODE_COUNT) {
    SetResult(result, static_cast<int32_t>(status), kSource,
              ResultText(static_cast<int32_t>(status)));
  } else {
    SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL, "Unknown error code in reply: %d",
               static_cast<int>(status));
  }
}

void ReportShortReply(ResultRecord* result, uint32_t received) {
  SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL, "Reply too short: %u bytes",
             static_cast<unsigned>(received));
}

int ValidateReply(ResultRecord* result, const Reply& reply, uint16_t command, uint32_t limit) {
  const Reply bounded{reply.bytes, std::min(reply.length, limit)};
  if (!bounded.Holds(0, 1) || bounded.bytes[0] != kMessageMarker) {
    SetResult(result, VB_COMMAND_NOT_SUCCESSFUL, kSource, "Reply message format not recognised");
    return 0;
  }
  uint16_t echo = 0;
  uint16_t status = 0;
  if (!bounded.U16At(kReplyCommandOffset, &echo) || !bounded.U16At(kReplyStatusOffset, &status)) {
    ReportShortReply(result, bounded.length);
    return 0;
  }
  if (echo != command) {
    SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL, "Wrong command number in reply: %d", echo);
    return 0;
  }
  if (status != 0) {
    ReportMeterStatus(result, status);
    return 0;
  }
  return 1;
}

int CheckReplyStatus(ResultRecord* result, const Reply& reply) {
  uint16_t status = 0;
  if (!reply.U16At(kReplyStatusOffset, &status)) {
    ReportShortReply(result, reply.length);
    return 0;
  }
  if (status != 0) {
    ReportMeterStatus(result, status);
    return 0;
  }
  return 1;
}

}  // namespace vb::request
