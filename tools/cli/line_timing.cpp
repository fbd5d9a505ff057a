#include "line_timing.h"

#include <algorithm>

namespace vb::cli {

namespace {

constexpr uint64_t kBitsPerByte = 10;
// Replies of pairs and of totals: header room, then bytes per entry.
constexpr uint64_t kPairReplyHeaderRoom = 332;
constexpr uint64_t kPairBytes = 4;
constexpr uint64_t kTotalsReplyHeaderRoom = 572;
constexpr uint64_t kTotalsRecordBytes = 40;
// Frames, acknowledgements and the meter's own pauses add to the line time.
constexpr uint64_t kReplyMarginPercent = 150;
constexpr uint64_t kReplySlackMs = 10000;

// What the link adds around the waits for a silent line: the wake-up pause
// of an open, the receiver's whole-second deadline and the transmitter's
// wait for an answer, and the pause of a reconnect.
constexpr uint64_t kOpenMs = 200;
constexpr uint64_t kAttemptSlackMs = 1000;
constexpr uint64_t kReceiverDeadlineGrainMs = 1000;
constexpr uint64_t kSendAnswerWaitDivisor = 10;
constexpr uint64_t kReconnectMs = 1400;

}  // namespace

uint64_t largestReplyBytes(int logNo, uint32_t capacity) {
  return logNo == 3 ? kTotalsReplyHeaderRoom + kTotalsRecordBytes * capacity
                    : kPairReplyHeaderRoom + kPairBytes * capacity;
}

uint64_t lineTimeMs(uint64_t bytes, uint32_t baud) {
  if (baud == 0) return 0;
  return (bytes * kBitsPerByte * 1000 + baud - 1) / baud;
}

uint32_t neededReceiveTimeoutMs(int logNo, uint32_t capacity, uint32_t baud) {
  const uint64_t line = lineTimeMs(largestReplyBytes(logNo, capacity), baud);
  const uint64_t needed = line * kReplyMarginPercent / 100 + kReplySlackMs;
  return static_cast<uint32_t>(
      std::clamp<uint64_t>(needed, kDefaultReceiveTimeoutMs, UINT32_MAX));
}

uint64_t silentMeterWaitMs(const ConnectionOptions& connection) {
  const uint64_t attempts = std::max<uint32_t>(connection.commandAttempts, 1);
  const uint64_t frame = connection.frameTimeoutMs;
  const uint64_t receive = std::min<uint64_t>(connection.receiveTimeoutMs,
                                              frame + kReceiverDeadlineGrainMs);
  const uint64_t perAttempt = frame / kSendAnswerWaitDivisor + receive + kAttemptSlackMs;
  return kOpenMs + attempts * perAttempt + (attempts - 1) / 2 * kReconnectMs;
}

}  // namespace vb::cli
