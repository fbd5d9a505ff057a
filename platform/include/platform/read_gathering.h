// When a serial read that has part of what it wants may pause, so that the
// rest gathers in the kernel instead of waking the reader for every byte of a
// line that delivers a byte at a time. The POSIX serial device keeps one per
// line (a Windows port gathers by itself until a read's count has come); it
// is here so that its tests can drive it with made-up times.
//
// No read may end later than it would without pausing, on a line that keeps
// its rate or on one twice as fast or faster (an unpaced pseudo-terminal, a
// pseudo-terminal set to half the rate its sender keeps). The model: a line
// at its rate delivers byte i of a stream no earlier than origin + i byte
// times, and at most a lateness after that (a sender a tick behind, a
// receiver's buffer handing bytes over in groups, the reader's wake-up): two
// byte times, or the largest chunk a wait brought in the stream if that is
// more. A chunk the reader woke for bounds the origin from both sides, any
// other chunk (the first of a read, which may have waited in the queue, or
// one gathered in a pause) from above only. A stream counts as at its rate
// once chunks the reader woke for agree over twice the lateness, long enough
// to tell a line twice as fast; a chunk outside the bounds (a faster line, or
// a sender that stopped) begins a new stream. A read at rate pauses until the
// earliest time the last byte it wants can come.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vb::platform {

class ReadGathering {
 public:
  using Clock = std::chrono::steady_clock;
  using Duration = std::chrono::nanoseconds;

  // How a chunk was read: Woken, the reader waited for the line and read the
  // chunk as it came; FirstOfRead, the first chunk of a read, whose bytes may
  // have waited in the queue; Gathered, read straight after a pause.
  enum class Chunk { Woken, FirstOfRead, Gathered };

  // The longest pause: a line at 9600 bit/s then wakes its reader about every
  // eighth byte.
  static constexpr Duration kLongestPause = std::chrono::milliseconds(8);

  // A read begins on a line whose character time is byteTime (zero, rate
  // unknown: never pause). A new rate begins a new stream.
  void beginRead(Duration byteTime) {
    if (byteTime != byteTime_) restart();
    byteTime_ = byteTime;
  }

  // Forgets the stream (the line was opened or let go).
  void restart() { inStream_ = false; }

  // A chunk of `taken` bytes read at readAt. Returns the earliest time its
  // last byte can have come, from which the line counts as quiet: readAt,
  // unless the chunk gathered in a pause.
  Clock::time_point took(Clock::time_point readAt, size_t taken, Chunk chunk) {
    if (taken == 0 || byteTime_ <= Duration::zero()) return readAt;
    if (!inStream_) {
      startStream(readAt);
      return readAt;
    }
    index_ += static_cast<int64_t>(taken);
    const bool woken = chunk == Chunk::Woken;
    const Clock::time_point origin = readAt - byteTime_ * index_;
    // Sooner than the stream so far allows, or (a larger hand-over allowed
    // for) too late for it.
    const bool tooEarly = woken_ > 0 && origin < earliestOrigin();
    if (woken) largestWoken_ = std::max(largestWoken_, static_cast<int64_t>(taken));
    const bool tooLate = woken && origin - lateness() > latestOrigin_;
    if (tooEarly || tooLate) {
      startStream(readAt);
      return readAt;
    }
    latestOrigin_ = std::min(latestOrigin_, origin);
    if (woken) {
      if (woken_++ == 0) firstWokenAt_ = readAt;
      latestWokenOrigin_ = std::max(latestWokenOrigin_, origin);
    }
    if (chunk != Chunk::Gathered || woken_ == 0) return readAt;
    return std::min(readAt, earliestOrigin() + byteTime_ * index_);
  }

  // After the chunk read at readAt, with stillWanted bytes to come: how long
  // to pause, at most `limit` (what the read's time-outs leave); zero to wait
  // on the line at once.
  Duration pauseFor(Clock::time_point readAt, size_t stillWanted, Duration limit) const {
    if (!inStream_ || woken_ < 2 || readAt - firstWokenAt_ < 2 * lateness()) {
      return Duration::zero();
    }
    const Clock::time_point lastByteEarliest =
        earliestOrigin() + byteTime_ * (index_ + static_cast<int64_t>(stillWanted));
    return std::max(std::min({lastByteEarliest - readAt, kLongestPause, limit}),
                    Duration::zero());
  }

 private:
  // The chunk at readAt holds byte 0 of a new stream.
  void startStream(Clock::time_point readAt) {
    inStream_ = true;
    index_ = 0;
    woken_ = 0;
    largestWoken_ = 1;
    latestOrigin_ = readAt;
    latestWokenOrigin_ = Clock::time_point::min();
  }

  Duration lateness() const { return byteTime_ * std::max<int64_t>(2, largestWoken_); }

  // The origin is no earlier than any woken-for chunk allows.
  Clock::time_point earliestOrigin() const { return latestWokenOrigin_ - lateness(); }

  Duration byteTime_{};
  bool inStream_ = false;
  int64_t index_ = 0;  // of the last byte taken, in the stream
  int64_t woken_ = 0;  // chunks the reader woke for, in the stream
  int64_t largestWoken_ = 1;
  Clock::time_point firstWokenAt_;
  Clock::time_point latestOrigin_;       // no later than this
  Clock::time_point latestWokenOrigin_;  // no earlier than this less the lateness
};

}  // namespace vb::platform
