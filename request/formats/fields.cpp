#include "formats/fields.h"

#include <cstring>

#include "trace.h"

namespace vb::request {
namespace {

// True when size bytes at cursor lie within the bound (0: no bound). Computed
// in 64 bits so that a cursor near the top of the range cannot wrap.
bool InBounds(uint32_t cursor, uint32_t size, uint32_t bound) {
  return bound == 0 || uint64_t{cursor} + size <= bound;
}

uint32_t LittleEndian(const uint8_t* bytes, uint32_t size) {
  uint32_t value = 0;
  for (uint32_t i = size; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

}  // namespace

uint8_t ReadU8(uint32_t& cursor, const uint8_t* message, uint32_t bound) {
  if (!InBounds(cursor, 1, bound)) return 0;
  return message[cursor++];
}

uint16_t ReadU16(uint32_t& cursor, const uint8_t* message, uint32_t bound) {
  if (!InBounds(cursor, 2, bound)) return 0;
  uint16_t value = static_cast<uint16_t>(LittleEndian(message + cursor, 2));
  cursor += 2;
  return value;
}

uint32_t ReadU32(uint32_t& cursor, const uint8_t* message, uint32_t bound) {
  if (!InBounds(cursor, 4, bound)) return 0;
  uint32_t value = LittleEndian(message + cursor, 4);
  cursor += 4;
  return value;
}

uint32_t ReadCdtf(uint32_t& cursor, const uint8_t* message, uint32_t bound) {
  uint32_t value = ReadU32(cursor, message, bound);
  if (value > INT32_MAX) {
    Trace("CDTF Time is invalid - setting it to 0\n");
    return 0;
  }
  return value;
}

float ReadFloat(uint32_t& cursor, const uint8_t* message, uint32_t bound) {
  if (!InBounds(cursor, 4, bound)) return 0.0f;
  uint32_t bits = ReadU32(cursor, message, bound);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void ReadString(uint32_t& cursor, char field[VB_TEXT_FIELD], const uint8_t* message,
                uint32_t bound) {
  std::memset(field, 0, VB_TEXT_FIELD);
  if (cursor >= bound) return;
  uint32_t room = bound - cursor;
  uint32_t stored = room < VB_TEXT_FIELD - 1 ? room : VB_TEXT_FIELD - 1;
  uint32_t length = 0;
  while (length < room && message[cursor + length] != '\0') ++length;
  std::memcpy(field, message + cursor, length < stored ? length : stored);
  cursor += length < room ? length + 1 : room;
}

}  // namespace vb::request
