// The wake-up text: the host sends it once, unframed, when it opens a link;
// the meter, and anything that watches the line, tells it from the frames.
#pragma once

#include <cstdint>

namespace vb::link {

inline constexpr char kWakeupText[] = "Vey Automation: Merrowtide wakeup\r";
inline constexpr uint32_t kWakeupTextLength = sizeof(kWakeupText) - 1;

}  // namespace vb::link
