#include "formats/record_crc.h"

#include "crc16.h"

namespace vb::request {

uint16_t RecordCrc::compute(const uint8_t* bytes, size_t length) {
  register_ = Crc16Update(kCrc16Init, bytes, length);
  return register_;
}

bool RecordCrc::check(const uint8_t* bytes, size_t length, uint16_t expected) {
  return compute(bytes, length) == expected;
}

}  // namespace vb::request
