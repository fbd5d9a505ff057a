// The meter clock as text: a meter time "YYYY-MM-DD[THH:MM[:SS]]" (a space may
// stand for the T) with no time zone, read exactly as given, as CDTF.
#pragma once

#include <cstdint>
#include <string>

namespace vb::metersim {

// False when the text is malformed, names no real date or time, carries a
// zone, or does not lie after 1990-01-01 00:00:00 within CDTF's range (CDTF
// 0 stands for "follow the host's clock" in the options).
bool parseMeterClock(const std::string& text, int32_t* cdtf);

}  // namespace vb::metersim
