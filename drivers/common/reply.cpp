#include "reply.h"

#include <algorithm>
#include <cstring>

#include "serial_line.h"

namespace vb::driver {
namespace {

// Upper case as the default "C" locale has it: only a to z change, so the
// outcome never depends on a locale the host may have set.
unsigned char asciiUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

unsigned char replyByte(const char* reply, size_t i, bool clearBit7) {
  auto byte = static_cast<unsigned char>(reply[i]);
  return clearBit7 ? static_cast<unsigned char>(byte & 0x7F) : byte;
}

}  // namespace

bool ReadReply(DriverPort& port, uint32_t queued, Reply* reply) {
  *reply = Reply{};
  uint32_t count = std::min(queued, kReplyMaxBytes);
  if (ReadLine(port, reinterpret_cast<unsigned char*>(reply->text), &count,
               kReplyReadTimeoutMs) == 0) {
    std::memset(reply->text, 0, sizeof reply->text);
    return false;
  }
  reply->length = count;
  return true;
}

int ReplyContains(const char* reply, const char* keyword, bool clearBit7) {
  size_t replyLength = 0;
  while (replyByte(reply, replyLength, clearBit7) != 0) ++replyLength;
  const size_t keywordLength = std::strlen(keyword);
  if (keywordLength > replyLength) return 0;
  for (size_t start = 0; start + keywordLength <= replyLength; ++start) {
    size_t matched = 0;
    while (matched < keywordLength &&
           asciiUpper(replyByte(reply, start + matched, clearBit7)) ==
               asciiUpper(static_cast<unsigned char>(keyword[matched]))) {
      ++matched;
    }
    if (matched == keywordLength) return 1;
  }
  return 0;
}

}  // namespace vb::driver
