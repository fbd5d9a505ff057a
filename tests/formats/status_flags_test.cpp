// Status flag texts for the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/status_flags.h"

namespace vb::request {
namespace {

std::vector<std::string> Descriptions(uint32_t flags) {
  std::vector<std::string> texts;
  for (const char* text : StatusFlagDescriptions(flags)) texts.emplace_back(text);
  return texts;
}

TEST(StatusFlags, DescribeEachSetBit) {
  struct {
    uint32_t flags;
    std::vector<std::string> texts;
  } const cases[] = {
      {0, {"No error indications"}},
      {0x0001, {"Flow sensor absent"}},
      {0x2000, {"DIB changed"}},
      {0x1801, {"Flow sensor absent", "Empty pipe", "Tamper switch activated"}},
      {0x8000, {}},  // a bit with no text
  };
  for (const auto& c : cases) EXPECT_EQ(Descriptions(c.flags), c.texts) << c.flags;
  EXPECT_STREQ(StatusFlagTexts()[14], "DIB changed");
}

}  // namespace
}  // namespace vb::request
