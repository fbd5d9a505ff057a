// Arbitrary device replies against the keywords the dialogues look for and
// against an arbitrary keyword, and arbitrary texts as error texts: the
// reply is a read buffer as the line layer fills it (the bytes read, then a
// 0), the error text always stays terminated inside its field.
#include <algorithm>
#include <cstring>
#include <vector>

#include "driver_port.h"
#include "fuzz_input.h"
#include "line_constants.h"
#include "reply.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

const vb::driver::LineTraits kTraits[] = {
    {true, true, false, vb::driver::kPurgeFailed},
    {false, false, true, vb::driver::kPurgeFailedBare},
};

const char* const kKeywords[] = {"*", "ERR", "COM", "OK", "CONNECT", "BUSY", "NO CARRIER",
                                 "NO DIALTONE", "ERROR", "RING"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const bool clearBit7 = input.flag();
  const std::vector<uint8_t> keywordBytes = input.bytes(input.u8() % 16);
  std::vector<char> keyword(keywordBytes.begin(), keywordBytes.end());
  keyword.push_back('\0');
  const std::vector<uint8_t> bytes = input.rest();

  std::vector<char> reply(bytes.size() < vb::driver::kReplyMaxBytes ? bytes.size() + 1
                                                                    : vb::driver::kReplyBufferSize);
  std::copy_n(bytes.begin(), reply.size() - 1, reply.begin());
  reply.back() = '\0';

  for (const char* word : kKeywords) {
    const int found = vb::driver::ReplyContains(reply.data(), word, clearBit7);
    Require(found == 0 || found == 1);
  }
  const int found = vb::driver::ReplyContains(reply.data(), keyword.data(), clearBit7);
  Require(found == 0 || found == 1);

  for (const vb::driver::LineTraits& traits : kTraits) {
    vb::driver::DriverPort port(traits);
    std::vector<char> text(bytes.begin(), bytes.end());
    text.push_back('\0');
    vb::driver::SetErrorText(port, text.data());
    const char* published = port.publishErrorText();
    Require(std::memchr(published, '\0', vb::driver::kErrorTextSize) != nullptr);
    Require(port.errorText().size() < vb::driver::kErrorTextSize);
  }
  return 0;
}
