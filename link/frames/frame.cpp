#include "frame.h"

#include <algorithm>
#include <cstring>

#include "crc16.h"

namespace vb::link {
namespace {

bool NeedsStuffing(uint8_t byte) {
  return std::find(kStuffedBytes.begin(), kStuffedBytes.end(), byte) != kStuffedBytes.end();
}

constexpr uint8_t kPositionFlags[kPositionBytes] = {FLAG_POS0_SHIFTED, FLAG_POS1_SHIFTED,
                                                   FLAG_POS2_SHIFTED};

bool IsLongFrameSize(uint32_t length) {
  return std::find(kLongFrameSizes.begin(), kLongFrameSizes.end(), length) !=
         kLongFrameSizes.end();
}

// The length byte before shifting: N itself, or the size code of a long frame.
uint8_t LengthByte(uint32_t frameLength) {
  if (frameLength <= kMaxShortFrameLength) return static_cast<uint8_t>(frameLength);
  const auto code = std::find(kLongFrameSizes.begin(), kLongFrameSizes.end(), frameLength);
  return static_cast<uint8_t>(code - kLongFrameSizes.begin());
}

void StoreCheck(uint8_t* check, uint16_t crc) {
  check[0] = ShiftIfNeeded(static_cast<uint8_t>(crc & 0xFF));
  check[1] = ShiftIfNeeded(static_cast<uint8_t>(crc >> 8));
}

// Writes the payload region from offset kHeaderSize up to `limit` and then
// the header and checks around it. The callers have checked the offer, the
// position and that `frame` holds the longest frame the limit can give
// (limit + kCheckSize, which also covers a stuffed pair written one byte
// past the limit before it is given back).
size_t Assemble(const uint8_t* message, uint32_t offered, uint32_t limit, bool padToLimit,
                uint32_t* position, FrameKind kind, uint8_t* frame) {
  uint32_t offset = kHeaderSize;
  uint32_t consumed = 0;
  while (offset < limit) {
    if (consumed < offered) {
      const uint8_t byte = message[consumed++];
      if (NeedsStuffing(byte)) {
        frame[offset++] = kEscapeByte;
        frame[offset++] = static_cast<uint8_t>(byte ^ kStuffMask);
      } else {
        frame[offset++] = byte;
      }
    } else if (!padToLimit && offset <= kLastUnpaddedOffset) {
      break;
    } else {
      frame[offset++] = kEscapeByte;
    }
  }
  // A stuffed pair that crossed the limit gives its byte back: the payload
  // ends with a lone escape byte, which the receiver drops, and the byte
  // starts the next frame.
  if (offset > limit) {
    --consumed;
    --offset;
  }

  const uint32_t frameLength = offset + static_cast<uint32_t>(kCheckSize);
  uint8_t flags = FLAG_SET;
  if (*position == 0) flags |= FLAG_FIRST;
  if (consumed == offered) flags |= FLAG_LAST;
  flags |= kind == FrameKind::kData ? FLAG_DATA : static_cast<uint8_t>(FLAG_LAST | FLAG_FIRST);

  const uint8_t length = LengthByte(frameLength);
  frame[0] = kStartByte;
  frame[kLengthOffset] = ShiftIfNeeded(length);
  if (frame[kLengthOffset] != length) flags |= FLAG_LEN_SHIFTED;
  frame[kFixedOffset] = kFixedByte;
  for (size_t k = 0; k < kPositionBytes; ++k) {
    const auto byte = static_cast<uint8_t>(*position >> (8 * k));
    frame[kPositionOffset + k] = ShiftIfNeeded(byte);
    if (frame[kPositionOffset + k] != byte) flags |= kPositionFlags[k];
  }
  frame[kFlagsOffset] = flags;
  *position += consumed;

  StoreCheck(frame + kHeaderCheckOffset, Crc16(frame, kHeaderCheckOffset));
  StoreCheck(frame + offset, Crc16(frame + kHeaderSize, offset - kHeaderSize));
  if (frameLength < kTerminatedBelow) {
    frame[frameLength] = kTerminator;
    return frameLength + 1;
  }
  return frameLength;
}

}  // namespace

size_t BuildFrame(const uint8_t* message, uint32_t offered, uint32_t* position, FrameKind kind,
                  uint8_t* frame, size_t capacity) {
  const bool validOffer =
      (offered >= 1 && offered <= kLongFrameSizes[0]) || IsLongFrameSize(offered);
  if (!validOffer || *position > kMaxPosition) return 0;
  if (capacity < std::max(offered, kMaxBuiltFrame)) return 0;
  const uint32_t limit = offered <= kFrameDataSize ? kShortFrameLimit : offered - kCheckSize;
  return Assemble(message, offered, limit, false, position, kind, frame);
}

size_t BuildControlFrame(uint8_t character, uint32_t argument, uint8_t* frame, size_t capacity) {
  return BuildFrame(&character, 1, &argument, FrameKind::kControl, frame, capacity);
}

size_t BuildLongFrame(const uint8_t* message, uint32_t available, uint32_t frameLength,
                      uint32_t* position, uint8_t* frame, size_t capacity) {
  if (!IsLongFrameSize(frameLength) || *position > kMaxPosition) return 0;
  if (capacity < frameLength) return 0;
  return Assemble(message, available, frameLength - kCheckSize, true, position, FrameKind::kData,
                  frame);
}

size_t SyncHeader(uint8_t* header, size_t filled) {
  filled = std::min(filled, kHeaderSize);
  const uint8_t* start = std::find(header, header + filled, kStartByte);
  const auto index = static_cast<size_t>(start - header);
  if (index == filled) return 0;
  std::memmove(header, start, filled - index);
  return filled - index;
}

bool CheckCrc(const uint8_t* region, size_t count, const uint8_t* check) {
  uint8_t expected[kCheckSize];
  StoreCheck(expected, Crc16(region, count));
  return expected[0] == check[0] && expected[1] == check[1];
}

bool CheckHeader(const uint8_t* header) {
  return CheckCrc(header, kHeaderCheckOffset, header + kHeaderCheckOffset);
}

bool CheckPayload(const uint8_t* rest, uint32_t frameLength) {
  const bool decodable = (frameLength >= kMinFrameLength && frameLength <= kMaxShortFrameLength) ||
                         IsLongFrameSize(frameLength);
  if (!decodable) return false;
  const size_t payload = frameLength - kFrameOverhead;
  return CheckCrc(rest, payload, rest + payload);
}

FrameHeader DecodeHeader(const uint8_t* header) {
  const uint8_t flags = header[kFlagsOffset];
  uint32_t position = 0;
  for (size_t k = 0; k < kPositionBytes; ++k) {
    uint8_t byte = header[kPositionOffset + k];
    if (flags & kPositionFlags[k]) byte ^= kShiftMask;
    position |= static_cast<uint32_t>(byte) << (8 * k);
  }
  FrameHeader decoded{};
  decoded.data = (flags & FLAG_DATA) != 0;
  decoded.first = (flags & FLAG_FIRST) != 0;
  decoded.last = (flags & FLAG_LAST) != 0;
  decoded.position = position;
  decoded.length = DecodeLength(header[kLengthOffset], flags);
  return decoded;
}

uint32_t DecodeLength(uint8_t lengthByte, uint8_t flags) {
  const uint8_t value =
      (flags & FLAG_LEN_SHIFTED) ? static_cast<uint8_t>(lengthByte ^ kShiftMask) : lengthByte;
  if (value >= kMinFrameLength) return value;
  if (value < kLongFrameSizes.size()) return kLongFrameSizes[value];
  return 0;
}

UnstuffResult Unstuff(const uint8_t* raw, size_t count, uint8_t* dest, size_t capacity) {
  size_t written = 0;
  bool marked = false;
  for (size_t i = 0; i < count; ++i) {
    if (raw[i] == kEscapeByte) {
      marked = true;
      continue;
    }
    if (written == capacity) return {written, true};
    dest[written++] = marked ? static_cast<uint8_t>(raw[i] ^ kStuffMask) : raw[i];
    marked = false;
  }
  return {written, false};
}

}  // namespace vb::link
