// Building meter replies byte by byte for the decoder tests, and running a
// decoder on them from a heap buffer of exactly the received size, so that
// AddressSanitizer catches any read past the reply.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vantbrook/records.h"

namespace vb::request::test {

class Bytes {
 public:
  Bytes& u8(uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  Bytes& u16(uint16_t value) { return u8(value & 0xFF).u8(value >> 8); }
  Bytes& u32(uint32_t value) { return u16(value & 0xFFFF).u16(value >> 16); }
  Bytes& f32(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return u32(bits);
  }
  // The text and its NUL.
  Bytes& text(const std::string& value) {
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return u8(0);
  }
  Bytes& append(const Bytes& other) {
    bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
    return *this;
  }
  void patchU32(size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  void truncate(size_t size) { bytes_.resize(size); }

  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A reply to command: marker, class, command echo, status 0, the byte count
// of what follows offset 10, then two or four uninterpreted bytes and body.
inline Bytes Reply(uint16_t command, uint32_t gap, const Bytes& body) {
  Bytes reply;
  reply.u8(0xFF).u8(2).u16(command).u16(0).u32(gap + body.size());
  for (uint32_t i = 0; i < gap; ++i) reply.u8(0);
  return reply.append(body);
}

// A logger header with its byteCount set to its own length.
inline Bytes WithByteCount(Bytes header) {
  header.patchU32(0, header.size());
  return header;
}

// A reply held in a heap allocation of exactly its size.
class ReplyBuffer {
 public:
  explicit ReplyBuffer(const Bytes& reply)
      : size_(reply.size()), bytes_(new uint8_t[reply.size()]) {
    if (size_ > 0) std::memcpy(bytes_.get(), reply.bytes().data(), size_);
  }
  // Points the request at the reply with the given reply room.
  void attach(RequestRecord* request, uint32_t room) {
    request->data = bytes_.get();
    request->dataLength = room;
  }
  uint32_t size() const { return size_; }

 private:
  uint32_t size_;
  std::unique_ptr<uint8_t[]> bytes_;
};

// Fills a record with a pattern, so that a test can tell which bytes a
// decoder wrote.
template <typename Record>
void FillPattern(Record* record) {
  std::memset(static_cast<void*>(record), 0xA5, sizeof *record);
}

template <typename Record>
bool SameBytes(const Record& a, const Record& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace vb::request::test
