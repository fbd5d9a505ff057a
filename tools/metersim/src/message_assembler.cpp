#include "message_assembler.h"

#include <algorithm>

#include "link_constants.h"

namespace vb::metersim {

void MessageAssembler::reset() {
  inProgress_ = false;
  bytes_.clear();
  received_.clear();
  lastSeen_ = false;
  end_ = 0;
  requested_ = false;
}

uint32_t MessageAssembler::firstMissing() const {
  const auto gap = std::find(received_.begin(), received_.end(), false);
  return static_cast<uint32_t>(gap - received_.begin());
}

AssemblyResult MessageAssembler::add(const HostFrame& frame) {
  AssemblyResult result;
  if (frame.position == 0) {
    reset();
    inProgress_ = true;
  }
  const uint64_t frameEnd = uint64_t{frame.position} + frame.payload.size();
  if (!inProgress_ || frame.payload.empty() || frameEnd > kMaxHostMessage) return result;

  if (frameEnd > bytes_.size()) {
    bytes_.resize(frameEnd);
    received_.resize(frameEnd, false);
  }
  std::copy(frame.payload.begin(), frame.payload.end(), bytes_.begin() + frame.position);
  std::fill(received_.begin() + frame.position, received_.begin() + frameEnd, true);
  if (frame.last) {
    lastSeen_ = true;
    end_ = static_cast<uint32_t>(frameEnd);
  }

  const uint32_t missing = firstMissing();
  if (lastSeen_ && missing >= end_) {
    result.complete = true;
    result.message.assign(bytes_.begin(), bytes_.begin() + end_);
    reset();
    return result;
  }
  // Ask once for each new gap, and again whenever the message's last frame
  // arrives with the gap still open.
  const bool gapShown = frame.position > missing || (frame.last && missing < end_);
  if (gapShown && (!requested_ || missing != lastRequested_ || frame.last)) {
    result.requestResend = true;
    result.resendFrom = missing;
    requested_ = true;
    lastRequested_ = missing;
  }
  return result;
}

}  // namespace vb::metersim
