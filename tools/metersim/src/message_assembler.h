// Puts the host's messages together from its data frames, each frame at its
// position. A frame beyond what has arrived shows a gap, which the meter asks
// the host to fill with a resend request for the gap's start.
#pragma once

#include <cstdint>
#include <vector>

#include "frame_reader.h"

namespace vb::metersim {

struct AssemblyResult {
  bool complete = false;
  std::vector<uint8_t> message;  // when complete
  bool requestResend = false;
  uint32_t resendFrom = 0;  // when requestResend
};

class MessageAssembler {
 public:
  // Takes one data frame. A frame at position 0 starts a new message; a
  // frame that continues no message in progress is stale and ignored.
  AssemblyResult add(const HostFrame& frame);
  // Drops a message in progress.
  void reset();

 private:
  // Offset of the first byte not yet received.
  uint32_t firstMissing() const;

  bool inProgress_ = false;
  std::vector<uint8_t> bytes_;
  std::vector<bool> received_;
  bool lastSeen_ = false;
  uint32_t end_ = 0;
  uint32_t lastRequested_ = 0;
  bool requested_ = false;
};

}  // namespace vb::metersim
