// How long things take on the line: the receive time-out a download needs for
// the largest reply its room allows, and the longest a request waits for a
// meter that never answers.
#pragma once

#include <cstdint>

#include "options.h"

namespace vb::cli {

// The largest download reply the library makes room for: the header room
// and `capacity` entries.
uint64_t largestReplyBytes(int logNo, uint32_t capacity);

// Time the line needs for `bytes` at `baud` (10 bits a byte), in ms.
uint64_t lineTimeMs(uint64_t bytes, uint32_t baud);

// The receive time-out that lets the largest reply of a download arrive:
// its line time with a margin for framing and pauses, never below the
// default time-out.
uint32_t neededReceiveTimeoutMs(int logNo, uint32_t capacity, uint32_t baud);

// The longest a request waits for a meter that never answers. The receive
// time-out does not bound it: the link's receiver gives a silent line up
// after the frame time-out, each command attempt waits that long again, and
// every second attempt reconnects first.
uint64_t silentMeterWaitMs(const ConnectionOptions& connection);

}  // namespace vb::cli
