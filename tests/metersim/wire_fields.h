// Reading fields of a meter reply in tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vb::metersim::test {

inline uint16_t u16At(const std::vector<uint8_t>& m, size_t at) {
  return static_cast<uint16_t>(m.at(at) | (m.at(at + 1) << 8));
}
inline uint32_t u32At(const std::vector<uint8_t>& m, size_t at) {
  return u16At(m, at) | (static_cast<uint32_t>(u16At(m, at + 2)) << 16);
}
inline float f32At(const std::vector<uint8_t>& m, size_t at) {
  const uint32_t bits = u32At(m, at);
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
// A NUL-terminated text at *at; moves *at past its NUL.
inline std::string textAt(const std::vector<uint8_t>& m, size_t* at) {
  std::string text;
  while (m.at(*at) != 0) text.push_back(static_cast<char>(m.at((*at)++)));
  ++*at;
  return text;
}

}  // namespace vb::metersim::test
