// The CRC-16 check of a logger-3 totals record (the link frames' CRC-16:
// reflected polynomial 0xA001, register starting at 0xFFFF, no final XOR).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vb::request {

class RecordCrc {
 public:
  RecordCrc() = default;
  virtual ~RecordCrc() = default;
  RecordCrc(const RecordCrc&) = delete;
  RecordCrc& operator=(const RecordCrc&) = delete;

  // Starts the register afresh, runs it over the bytes and returns it.
  uint16_t compute(const uint8_t* bytes, size_t length);
  // True when the CRC of the bytes equals expected.
  bool check(const uint8_t* bytes, size_t length, uint16_t expected);

 private:
  uint16_t register_ = 0;
};

}  // namespace vb::request
