// CRC-16 of the link frames and of the logger's totals records: polynomial
// 0x8005 in its reflected form 0xA001, register starting at 0xFFFF, no final
// exclusive-or. Check values: "123456789" gives 0x4B37, "abc" gives 0x5749.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vb {

// Register value before the first byte.
inline constexpr uint16_t kCrc16Init = 0xFFFF;

// Feeds count bytes into the register and returns the new register, so a
// check can run over data that arrives in pieces.
uint16_t Crc16Update(uint16_t reg, const uint8_t* bytes, size_t count);

// The CRC of count bytes from a fresh register.
uint16_t Crc16(const uint8_t* bytes, size_t count);

}  // namespace vb
