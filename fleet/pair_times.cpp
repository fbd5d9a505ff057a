#include "pair_times.h"

namespace vb::fleet {

namespace {

// The header's last pair sits where counting from its first pair puts it.
bool countsForward(const DataHeaderRecord& h) {
  if (!validMeterTime(h.firstPairDateTime) || h.loggingInterval == 0) return false;
  if (h.lastPairRSN < h.firstPairRSN) return false;
  if (!validMeterTime(h.lastPairDateTime)) return false;
  return uint64_t{h.firstPairDateTime} + uint64_t{h.lastPairRSN - h.firstPairRSN} *
                                             h.loggingInterval ==
         h.lastPairDateTime;
}

}  // namespace

bool validMeterTime(uint32_t hostTime) {
  return hostTime > kMeterClockZero && hostTime <= kLatestMeterTime;
}

std::optional<uint32_t> pairTime(const DataHeaderRecord& h, uint32_t rsn) {
  if (rsn > h.lastPairRSN || rsn < h.firstPairRSN) return std::nullopt;
  if (countsForward(h)) {
    return static_cast<uint32_t>(h.firstPairDateTime +
                                 uint64_t{rsn - h.firstPairRSN} * h.loggingInterval);
  }
  // Counting back crosses no clock setting as long as the time it gives is
  // no earlier than the setting itself.
  if (h.loggingInterval == 0 || !validMeterTime(h.lastPairDateTime) ||
      !validMeterTime(h.postDateTime) || h.postDateTime > h.lastPairDateTime) {
    return std::nullopt;
  }
  const uint64_t back = uint64_t{h.lastPairRSN - rsn} * h.loggingInterval;
  if (back > h.lastPairDateTime - h.postDateTime) return std::nullopt;
  const uint32_t time = static_cast<uint32_t>(h.lastPairDateTime - back);
  return validMeterTime(time) ? std::optional<uint32_t>(time) : std::nullopt;
}

}  // namespace vb::fleet
