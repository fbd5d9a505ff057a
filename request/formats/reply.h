// What every reply decoder shares: where a reply's fields lie, how much of it
// may be read, and the supplier check.
//
// A decoder reads only the reply bytes actually received, and never more
// than the reply room (the buffer's dataLength): fields beyond that read as 0
// or the empty text.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Offsets from the reply's 0xFF marker.
constexpr uint32_t kReplyByteCountOffset = 6;  // 32-bit count of the bytes after offset 10
constexpr uint32_t kReplyBodyOffset = 10;
constexpr uint32_t kReplyFieldsOffset = 12;    // identity block and version texts
constexpr uint32_t kLoggerHeaderOffset = 14;   // logger header, then the entries

// The number of reply bytes a decoder may read: the bytes received, at most
// the reply room; 0 when there is no buffer.
uint32_t ReadableReplyLength(const RequestRecord& request, uint32_t received);

// Reads the fields of one reply in wire order. Every read is bounded by the
// readable length. Once a field does not fit, every later field reads as 0
// or empty too, so that a short reply never shifts a later field onto the
// bytes of an earlier one.
class ReplyFields {
 public:
  ReplyFields(const RequestRecord& request, uint32_t received, uint32_t start);

  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  uint32_t cdtf();
  float real();
  void text(char field[VB_TEXT_FIELD]);
  void skip(uint32_t size);
  // Moves to a field whose position the reply itself gives.
  void seek(uint32_t offset);

  uint32_t readable() const { return readable_; }
  const uint8_t* message() const { return message_; }

 private:
  // Marks the rest of the reply as absent when a read did not advance.
  void endUnlessMoved(uint32_t before);
  // Reads one field with a bounded reader; once a field did not fit, every
  // later one reads as `none`.
  template <typename T>
  T read(T (*reader)(uint32_t&, const uint8_t*, uint32_t), T none);

  const uint8_t* message_;
  uint32_t readable_;
  uint32_t cursor_;
  bool ended_;
};

// Fails with code 14 when an expected supplier is set (non-zero) and the
// reply's supplier differs.
bool CheckSupplier(uint16_t expected, uint16_t received, ResultRecord* result);

}  // namespace vb::request
