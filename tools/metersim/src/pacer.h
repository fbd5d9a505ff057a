// Paces what the simulator sends at a line rate of baud bit/s, 10 bits a
// byte, against a schedule that starts when sending starts, so rounding never
// accumulates into drift.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vb::metersim {

class Pacer {
 public:
  explicit Pacer(uint32_t baud) : baud_(baud) {}
  bool paced() const { return baud_ != 0; }
  // Starts a new schedule at nowMs (after the line was idle).
  void restart(uint64_t nowMs) {
    startMs_ = nowMs;
    sent_ = 0;
  }
  // Bytes that may go at nowMs, at most `wanted`.
  size_t allowance(uint64_t nowMs, size_t wanted) const {
    if (baud_ == 0) return wanted;
    const uint64_t due = 1 + (nowMs - startMs_) * baud_ / kBitsPerByteMs;
    const uint64_t allowed = due > sent_ ? due - sent_ : 0;
    return allowed < wanted ? static_cast<size_t>(allowed) : wanted;
  }
  void sent(size_t count) { sent_ += count; }
  // Milliseconds from nowMs until the next byte may go (at least 1).
  uint32_t waitMs(uint64_t nowMs) const {
    if (baud_ == 0) return 0;
    // Byte number sent_ + 1 is due at sent_ * kBitsPerByteMs / baud.
    const uint64_t dueAt = startMs_ + (sent_ * kBitsPerByteMs + baud_ - 1) / baud_;
    return dueAt > nowMs ? static_cast<uint32_t>(dueAt - nowMs) : 1;
  }

 private:
  // Ten bits a byte, a thousand milliseconds a second.
  static constexpr uint64_t kBitsPerByteMs = 10 * 1000;
  uint32_t baud_;
  uint64_t startMs_ = 0;
  uint64_t sent_ = 0;
};

}  // namespace vb::metersim
