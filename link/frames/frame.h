// Brisel link frames: the frame format on the line, building a frame, and
// taking a received frame apart step by step as the receiver reads it.
//
// A frame is a 9-byte header (start byte, length, flags, fixed byte, three
// position bytes, two header-check bytes), the stuffed payload, a two-byte
// payload check and, when the frame is shorter than 128 bytes, a trailing
// carriage return. Multi-byte numbers are little-endian. N, the frame length,
// counts header, payload and payload check, never the carriage return.
//
// Nothing here knows about ports: building writes into a caller's buffer and
// the caller sends it; receiving works on buffers the caller has read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vb::link {

// Bytes on the line.
inline constexpr uint8_t kStartByte = 0x01;
inline constexpr uint8_t kFixedByte = 0x20;
inline constexpr uint8_t kTerminator = 0x0D;
inline constexpr uint8_t kEscapeByte = 0x1C;
// A stuffed byte goes as the escape byte followed by the byte XOR this mask.
inline constexpr uint8_t kStuffMask = 0x40;
inline constexpr std::array<uint8_t, 9> kStuffedBytes = {0x01, 0x0D, 0x10, 0x11, 0x13,
                                                         0x1C, 0x8D, 0x90, 0x93};
// Header and check bytes are shifted (XOR the mask) when their low seven
// bits fall below kShiftBelow, which keeps them out of the control range.
inline constexpr uint8_t kShiftMask = 0x40;
inline constexpr uint8_t kShiftBelow = 0x20;

// Flags byte.
inline constexpr uint8_t FLAG_DATA = 0x80;
inline constexpr uint8_t FLAG_SET = 0x40;
inline constexpr uint8_t FLAG_LAST = 0x20;
inline constexpr uint8_t FLAG_FIRST = 0x10;
inline constexpr uint8_t FLAG_POS2_SHIFTED = 0x08;
inline constexpr uint8_t FLAG_POS1_SHIFTED = 0x04;
inline constexpr uint8_t FLAG_POS0_SHIFTED = 0x02;
inline constexpr uint8_t FLAG_LEN_SHIFTED = 0x01;

// Control characters, the single payload byte of a control frame.
inline constexpr uint8_t CTRL_ACK = '0';
inline constexpr uint8_t CTRL_NAK = '1';
inline constexpr uint8_t CTRL_RESEND = '2';
inline constexpr uint8_t CTRL_ABORT = '3';

// Header layout.
inline constexpr size_t kHeaderSize = 9;
inline constexpr size_t kLengthOffset = 1;
inline constexpr size_t kFlagsOffset = 2;
inline constexpr size_t kFixedOffset = 3;
inline constexpr size_t kPositionOffset = 4;
inline constexpr size_t kPositionBytes = 3;
inline constexpr size_t kHeaderCheckOffset = 7;
inline constexpr size_t kCheckSize = 2;
// Header plus payload check: N minus this is the payload size.
inline constexpr size_t kFrameOverhead = kHeaderSize + kCheckSize;
// The largest position the three position bytes carry.
inline constexpr uint32_t kMaxPosition = 0xFFFFFF;

// Frame lengths.
inline constexpr uint32_t kMinFrameLength = 12;
inline constexpr uint32_t kMaxShortFrameLength = 255;
// Frames shorter than this are followed by the terminator.
inline constexpr uint32_t kTerminatedBelow = 128;
// Long frame sizes; the index is the size code carried in the length byte.
inline constexpr std::array<uint32_t, 4> kLongFrameSizes = {256, 512, 1024, 2048};
inline constexpr uint32_t kMaxFrameLength = 2048;

// Building limits of the link library's own frames.
// Most message bytes the link offers one frame.
inline constexpr uint32_t kFrameDataSize = 128;
// With up to kFrameDataSize bytes offered the payload region ends before
// this offset, so a built frame is at most kMaxBuiltFrame bytes long.
inline constexpr uint32_t kShortFrameLimit = 126;
inline constexpr uint32_t kMaxBuiltFrame = 128;
// A frame that runs out of message bytes ends there unless its payload
// region already reaches past this offset; then it is padded with escape
// bytes up to its long size.
inline constexpr uint32_t kLastUnpaddedOffset = 254;

enum class FrameKind { kData, kControl };

// The byte as it goes on the line in a header or check position.
constexpr uint8_t ShiftIfNeeded(uint8_t byte) {
  return (byte & 0x7F) < kShiftBelow ? static_cast<uint8_t>(byte ^ kShiftMask) : byte;
}

// Builds one frame from the message bytes at the frame's position.
// message holds `offered` readable bytes; offered is 1..256 or exactly 512,
// 1024 or 2048 (the link library offers at most kFrameDataSize). *position
// is the message offset of message[0] and is advanced by the number of bytes
// that went into the frame. With more than kFrameDataSize bytes offered the
// frame is exactly `offered` bytes long.
// Returns the number of frame bytes written to `frame` (terminator
// included), or 0 without touching *position when the offer is out of range,
// *position exceeds kMaxPosition or capacity is below the longest frame the
// offer can give (kMaxBuiltFrame, or `offered` when larger).
size_t BuildFrame(const uint8_t* message, uint32_t offered, uint32_t* position, FrameKind kind,
                  uint8_t* frame, size_t capacity);

// A control frame carrying `character`, with `argument` in its position field
// (the offset of a resend request, else 0). Returns the byte count or 0 as
// BuildFrame does.
size_t BuildControlFrame(uint8_t character, uint32_t argument, uint8_t* frame, size_t capacity);

// A data frame of exactly frameLength bytes (256, 512, 1024 or 2048), as the
// meter sends them: it carries as many of the `available` message bytes as
// fit and is padded with escape bytes up to its size, also when fewer bytes
// are available. *position advances as in BuildFrame. Returns frameLength, or
// 0 without touching *position when frameLength is not a long size,
// *position exceeds kMaxPosition or capacity is below frameLength.
size_t BuildLongFrame(const uint8_t* message, uint32_t available, uint32_t frameLength,
                      uint32_t* position, uint8_t* frame, size_t capacity);

// Header synchronisation on the kHeaderSize-byte header buffer of which the
// first `filled` bytes are valid: moves the bytes from the first start byte
// on to the front and returns how many are now valid; 0 when there is no
// start byte, which discards everything read so far. filled is capped at
// kHeaderSize.
size_t SyncHeader(uint8_t* header, size_t filled);

// True when the kCheckSize bytes at `check`, as received, equal the CRC of
// the `count` bytes at `region`, low byte first, each shifted as on the line.
bool CheckCrc(const uint8_t* region, size_t count, const uint8_t* check);

// Header check of a complete kHeaderSize-byte header.
bool CheckHeader(const uint8_t* header);

// Payload check of the rest of a frame: the frameLength - kHeaderSize bytes
// after the header (payload, then its check). False for a frameLength that
// DecodeLength does not give.
bool CheckPayload(const uint8_t* rest, uint32_t frameLength);

struct FrameHeader {
  bool data;          // FLAG_DATA: a data frame, else a control frame
  bool first;         // FLAG_FIRST
  bool last;          // FLAG_LAST
  uint32_t position;  // un-shifted position field
  uint32_t length;    // N, or 0 when the length byte holds no valid length
};

// The flags, position and length of a complete header. Does not check it.
FrameHeader DecodeHeader(const uint8_t* header);

// Frame length from the length byte and the flags: 12..255 is N itself, size
// codes 0..3 are the long sizes, and 4..11 give 0: no valid length, a bad
// frame that must not be read further.
uint32_t DecodeLength(uint8_t lengthByte, uint8_t flags);

struct UnstuffResult {
  size_t written;  // message bytes written to the destination
  bool truncated;  // more message bytes followed than the destination holds
};

// Un-stuffs `count` raw payload bytes into dest, writing at most `capacity`
// bytes: an escape byte produces nothing and marks the next byte (a run of
// them marks only the byte after the run), a marked byte is written XOR
// kStuffMask, and a trailing escape byte produces nothing. Bytes beyond
// capacity are dropped and reported through `truncated`.
UnstuffResult Unstuff(const uint8_t* raw, size_t count, uint8_t* dest, size_t capacity);

}  // namespace vb::link
