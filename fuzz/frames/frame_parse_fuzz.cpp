// Arbitrary line bytes through the frame reader as the receiver uses it:
// synchronise on the start byte, check and decode the header, read the rest
// of the frame when its length is valid, check it and un-stuff the payload.
// Every buffer is allocated at exactly its size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame.h"
#include "fuzz_input.h"

using namespace vb::link;

namespace {

void ReadFrames(vb::fuzz::FuzzInput& input, size_t messageCapacity) {
  std::vector<uint8_t> header(kHeaderSize);
  size_t valid = 0;
  while (input.remaining() > 0) {
    const std::vector<uint8_t> piece = input.bytes(kHeaderSize - valid);
    std::memcpy(header.data() + valid, piece.data(), piece.size());
    valid = SyncHeader(header.data(), valid + piece.size());
    if (valid > kHeaderSize) __builtin_trap();
    if (valid < kHeaderSize) continue;
    valid = 0;
    if (!CheckHeader(header.data())) continue;
    const FrameHeader decoded = DecodeHeader(header.data());
    const uint32_t length = DecodeLength(header[kLengthOffset], header[kFlagsOffset]);
    if (length != decoded.length) __builtin_trap();
    if (decoded.position > kMaxPosition) __builtin_trap();
    if (length < kMinFrameLength) continue;
    if (length > kMaxFrameLength) __builtin_trap();
    const std::vector<uint8_t> rest = input.bytes(length - kHeaderSize);
    if (rest.size() < length - kHeaderSize) return;
    if (!CheckPayload(rest.data(), length)) continue;
    std::vector<uint8_t> message(messageCapacity);
    const UnstuffResult out =
        Unstuff(rest.data(), length - kFrameOverhead, message.data(), message.size());
    if (out.written > messageCapacity) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const size_t messageCapacity = input.u16() % (kMaxFrameLength + 1);
  ReadFrames(input, messageCapacity);
  // The checks also on a header as it arrives, without synchronisation.
  if (size >= kHeaderSize) {
    std::vector<uint8_t> header(data, data + kHeaderSize);
    CheckHeader(header.data());
    CheckCrc(header.data(), kHeaderCheckOffset, header.data() + kHeaderCheckOffset);
  }
  return 0;
}
