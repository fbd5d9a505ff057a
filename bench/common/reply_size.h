// What a download of all entries brings: the reply message (logger header
// and entries) as the simulated meter builds it for the same seed, and the
// bytes it takes on the line once cut into frames and stuffed. The figures
// that show what framing and stuffing cost.
#pragma once

#include <cstdint>
#include <vector>

namespace vb::bench {

struct ReplySize {
  uint32_t messageBytes = 0;  // the reply message: header and entries
  uint32_t entryBytes = 0;    // the entries alone
  uint32_t lineBytes = 0;     // frames as sent: headers, stuffed payload, checks, CRs
  uint32_t frames = 0;
  uint32_t escapes = 0;  // message bytes that go stuffed: one escape byte each
};

// The reply to GetData of everything from logger logNo (1: pairs, 3:
// totals) of a meter started with this seed and these counts. longFrameSize
// 0 for short frames.
ReplySize downloadReplySize(uint16_t logNo, uint64_t seed, uint32_t pairs, uint32_t totals,
                            uint32_t longFrameSize);

// The reply message itself, for decoding benchmarks.
std::vector<uint8_t> downloadReply(uint16_t logNo, uint64_t seed, uint32_t pairs, uint32_t totals);

}  // namespace vb::bench
