// Takes a fuzz input apart: small settings from its front, the rest as data.
// Every take is bounded by what is left; an exhausted input gives zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vb::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t u8() { return used_ < size_ ? data_[used_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  bool flag() { return (u8() & 1) != 0; }

  // Up to count bytes, copied into a buffer of exactly that many, so that a
  // read past them is seen by AddressSanitizer.
  std::vector<uint8_t> bytes(size_t count) {
    const size_t taken = count < remaining() ? count : remaining();
    std::vector<uint8_t> out(data_ + used_, data_ + used_ + taken);
    used_ += taken;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(remaining()); }
  size_t remaining() const { return size_ - used_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

}  // namespace vb::fuzz
