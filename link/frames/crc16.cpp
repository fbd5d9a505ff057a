#include "crc16.h"

#include <array>

namespace vb {
namespace {

constexpr uint16_t kReflectedPolynomial = 0xA001;

// Entry i is the register after feeding i through eight reflected shifts.
constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < table.size(); ++i) {
    unsigned reg = i;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 1u) ? (reg >> 1) ^ kReflectedPolynomial : reg >> 1;
    }
    table[i] = static_cast<uint16_t>(reg);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

static_assert(kTable[0x00] == 0x0000 && kTable[0x01] == 0xC0C1 && kTable[0x80] == 0xA001 &&
                  kTable[0xFF] == 0x4040,
              "CRC-16 table does not match the reflected polynomial 0xA001");

}  // namespace

uint16_t Crc16Update(uint16_t reg, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    reg = static_cast<uint16_t>(kTable[(reg ^ bytes[i]) & 0xFFu] ^ (reg >> 8));
  }
  return reg;
}

uint16_t Crc16(const uint8_t* bytes, size_t count) {
  return Crc16Update(kCrc16Init, bytes, count);
}

}  // namespace vb
