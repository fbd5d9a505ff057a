#include "crc16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

uint16_t CrcOf(const std::string& text) {
  return vb::Crc16(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(Crc16, CheckValues) {
  struct Case {
    const char* text;
    uint16_t crc;
  };
  const Case cases[] = {
      {"123456789", 0x4B37},
      {"abc", 0x5749},
      {"", 0xFFFF},
  };
  for (const Case& c : cases) EXPECT_EQ(CrcOf(c.text), c.crc) << '"' << c.text << '"';
}

TEST(Crc16, IncrementalOverPiecesEqualsOneShot) {
  const std::string text = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t split = 0; split <= text.size(); ++split) {
    const uint16_t head = vb::Crc16Update(vb::kCrc16Init, bytes, split);
    EXPECT_EQ(vb::Crc16Update(head, bytes + split, text.size() - split), 0x4B37) << split;
  }
}

}  // namespace
