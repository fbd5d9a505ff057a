// A scripted meter that answers every command as a healthy meter would,
// with hooks for the test to answer a message differently, and a clock
// that skips the request library's pauses (the link library keeps its own).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logger_replies.h"
#include "platform/clock.h"
#include "scripted_meter.h"

namespace vb::request::testing {

// Command identities: class and number.
struct Command {
  uint8_t messageClass;
  uint16_t number;
  bool operator==(const Command& other) const {
    return messageClass == other.messageClass && number == other.number;
  }
  bool operator!=(const Command& other) const { return !(*this == other); }
};

inline constexpr Command kCancel{3, 3};
inline constexpr Command kQuery{3, 1};
inline constexpr Command kResume{3, 2};
inline constexpr Command kVersions{2, 1};
inline constexpr Command kSetTimeCommand{2, 5};
inline constexpr Command kUnlockCommand{2, 8};
inline constexpr Command kLockCommand{2, 9};
inline constexpr Command kDib{2, 11};
inline constexpr Command kHeader{2, 12};
inline constexpr Command kData{2, 13};
inline constexpr Command kRestart{2, 15};
inline constexpr Command kRestartWithParameters{2, 16};

Command CommandIn(const std::vector<uint8_t>& message);

// A reply with a 2-byte body (12 bytes): status-only commands.
std::vector<uint8_t> StatusReply(uint16_t echo, uint16_t status);

class StandardMeter {
 public:
  // Returns replies to answer a message differently, or nothing to let the
  // standard meter answer.
  using Override =
      std::function<std::optional<std::vector<ScriptedReply>>(const std::vector<uint8_t>&)>;

  StandardMeter();
  bool start() { return meter_.start(); }
  void setOverride(Override override);

  std::vector<std::vector<uint8_t>> received() const { return meter_.received(); }
  std::vector<Command> commands() const;
  uint32_t wakeups() const { return meter_.wakeups(); }

  DibWire dib;
  PairHeaderWire header;
  std::vector<std::pair<uint16_t, uint16_t>> pairs;
  std::vector<std::string> versions{"v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8"};

 private:
  std::vector<ScriptedReply> answer(const std::vector<uint8_t>& message);

  std::shared_ptr<Override> override_;
  ScriptedMeter meter_;
};

// Sleeps of the code under test return at once; their lengths are summed.
class SkippingClock : public platform::Clock {
 public:
  uint64_t nowMs() override { return platform::realClock().nowMs(); }
  void sleepMs(uint32_t ms) override { slept += ms; }
  std::atomic<uint64_t> slept{0};
};

}  // namespace vb::request::testing
