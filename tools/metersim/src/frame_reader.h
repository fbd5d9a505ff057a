// Takes the host's byte stream apart: link frames (synchronised on the start
// byte, header and payload checked, payload un-stuffed) and the wake-up text
// that a host sends when it opens a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vb::metersim {

struct HostFrame {
  bool data = false;  // data frame; else a control frame
  bool first = false;
  bool last = false;
  uint32_t position = 0;
  std::vector<uint8_t> payload;  // un-stuffed
};

class FrameReader {
 public:
  // Feeds bytes received at nowMs; complete frames and wake-ups are
  // collected. A frame left incomplete by a pause in the line longer than
  // kStaleFrameMs is given up, so that it cannot swallow the frames after it.
  void feed(const uint8_t* bytes, size_t count, uint64_t nowMs);
  // Takes the frames that passed their checks, in order.
  std::vector<HostFrame> takeFrames();
  // Wake-up texts seen since the last call.
  uint32_t takeWakeups();
  // Frames that failed a check (or carried no valid length).
  uint32_t badFrames() const { return badFrames_; }
  // Forgets a partly received frame (the line was cut).
  void reset();

 private:
  void parse();

  std::vector<uint8_t> pending_;
  uint64_t lastFeedMs_ = 0;
  std::vector<HostFrame> frames_;
  size_t wakeupMatched_ = 0;
  uint32_t wakeups_ = 0;
  uint32_t badFrames_ = 0;
};

}  // namespace vb::metersim
