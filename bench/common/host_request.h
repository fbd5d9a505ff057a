// The host side of a benchmark: request records for a link on the host's
// own line, the requests the benchmarks time, and the outcome of each.
#pragma once

#include <cstdint>
#include <string>

#include "vantbrook/vantbrook.h"

namespace vb::bench {

// Time-outs as a host on a slow line sets them. The receive time-out bounds
// the wait for the receiver's verdict on a whole reply, which comes only
// with its last frame (or a frame time-out): it must cover the longest
// reply's line time (40 kB at 4800 bit/s take about 90 s), or every long
// download is cut into resume cycles.
inline constexpr uint32_t kReceiveTimeoutMs = 300000;
inline constexpr uint32_t kFrameTimeoutMs = 2000;

struct Outcome {
  bool ok = false;
  double seconds = 0;    // wall time of the request
  uint32_t entries = 0;  // entries decoded (downloads)
  std::string failure;   // code, source and message when not ok
};

// A request on the host's own line (port handle), logger 1, everything.
RequestRecord baseRequest(int32_t portHandle);

// Runs one request and times it.
Outcome runRequest(RequestRecord* request, int16_t code);

// Downloads all `count` entries of logger 1 (raw pairs, or converted when
// `converted`) or of logger 3 (totals records).
Outcome downloadPairs(RequestRecord* request, uint32_t count, bool converted = false);
Outcome downloadTotals(RequestRecord* request, uint32_t count);

}  // namespace vb::bench
