// Device replies: reading one that is already queued, and testing it for a
// keyword.
#pragma once

#include <cstdint>

#include "driver_port.h"
#include "line_constants.h"

namespace vb::driver {

// A reply as read off the line: exactly the bytes read, followed by a 0.
struct Reply {
  char text[kReplyBufferSize] = {};
  uint32_t length = 0;
};

// Reads a reply of which `queued` bytes are waiting (at most 127 of them are
// read, with a short time-out). False when the read failed; the error text
// then holds the read error and the reply is empty.
bool ReadReply(DriverPort& port, uint32_t queued, Reply* reply);

// 1 when keyword occurs anywhere in the reply text, letters compared without
// regard to case; otherwise 0. With clearBit7 the reply's bytes are compared
// with bit 7 cleared, and a byte that is then 0 ends the reply.
int ReplyContains(const char* reply, const char* keyword, bool clearBit7);

// The same, with the driver's own rule for bit 7.
inline int ReplyContains(const DriverPort& port, const char* reply, const char* keyword) {
  return ReplyContains(reply, keyword, port.traits().clearBit7InReplies);
}

}  // namespace vb::driver
