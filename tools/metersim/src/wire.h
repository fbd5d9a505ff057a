// Little-endian fields of meter messages: appending to a reply, reading a
// command with every read checked against the message length.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vb::metersim {

class WireWriter {
 public:
  explicit WireWriter(std::vector<uint8_t>* out) : out_(out) {}
  void u8(uint8_t value) { out_->push_back(value); }
  void u16(uint16_t value) {
    u8(static_cast<uint8_t>(value));
    u8(static_cast<uint8_t>(value >> 8));
  }
  void u32(uint32_t value) {
    u16(static_cast<uint16_t>(value));
    u16(static_cast<uint16_t>(value >> 16));
  }
  void i32(int32_t value) { u32(static_cast<uint32_t>(value)); }
  void f32(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    u32(bits);
  }
  // A text and its terminating NUL.
  void text(const std::string& value) {
    out_->insert(out_->end(), value.begin(), value.end());
    u8(0);
  }

 private:
  std::vector<uint8_t>* out_;
};

// Reads at an offset; false (value untouched) when the field would end
// beyond the message.
inline bool readU16(const std::vector<uint8_t>& message, size_t offset, uint16_t* value) {
  if (offset > message.size() || message.size() - offset < 2) return false;
  *value = static_cast<uint16_t>(message[offset] | (message[offset + 1] << 8));
  return true;
}

inline bool readU32(const std::vector<uint8_t>& message, size_t offset, uint32_t* value) {
  uint16_t low = 0;
  uint16_t high = 0;
  if (!readU16(message, offset, &low) || !readU16(message, offset + 2, &high)) return false;
  *value = low | (static_cast<uint32_t>(high) << 16);
  return true;
}

inline void putU16(std::vector<uint8_t>* message, size_t offset, uint16_t value) {
  (*message)[offset] = static_cast<uint8_t>(value);
  (*message)[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void putU32(std::vector<uint8_t>* message, size_t offset, uint32_t value) {
  putU16(message, offset, static_cast<uint16_t>(value));
  putU16(message, offset + 2, static_cast<uint16_t>(value >> 16));
}

}  // namespace vb::metersim
