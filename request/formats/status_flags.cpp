#include "formats/status_flags.h"

namespace vb::request {
namespace {
const char* const kStatusFlagTexts[VB_STATUS_FLAG_TEXT_COUNT] = VB_STATUS_FLAG_TEXTS;
}

const char* const* StatusFlagTexts() { return kStatusFlagTexts; }

std::vector<const char*> StatusFlagDescriptions(uint32_t statusFlags) {
  if (statusFlags == 0) return {kStatusFlagTexts[0]};
  std::vector<const char*> texts;
  for (int bit = 0; bit + 1 < VB_STATUS_FLAG_TEXT_COUNT; ++bit) {
    if ((statusFlags & (1u << bit)) != 0) texts.push_back(kStatusFlagTexts[bit + 1]);
  }
  return texts;
}

}  // namespace vb::request
