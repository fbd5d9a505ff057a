// A far end for cases the simulated meter cannot produce (wrong echoes,
// replies shorter than their fields, replies cut at a chosen byte): it
// speaks the link frames from the meter's side on a pseudo-terminal that
// COM1 points at, acknowledges each complete host message and answers it
// with whatever the test's script returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/thread.h"

namespace vb::request::testing {

// One reply: the message bytes [from, to) are sent as data frames (whole
// frames, so a cut lands on the next frame boundary), after a pause.
struct ScriptedReply {
  std::vector<uint8_t> bytes;
  uint32_t from = 0;
  uint32_t to = std::numeric_limits<uint32_t>::max();
  uint32_t delayMs = 0;
};

class ScriptedMeter {
 public:
  // Answers one complete host message; no replies: stay silent.
  using Script = std::function<std::vector<ScriptedReply>(const std::vector<uint8_t>& message)>;

  explicit ScriptedMeter(Script script);
  ~ScriptedMeter();
  ScriptedMeter(const ScriptedMeter&) = delete;
  ScriptedMeter& operator=(const ScriptedMeter&) = delete;

  // Creates the pseudo-terminal, points COM1 at it and serves.
  bool start();
  void stop();

  // Host messages in order of arrival.
  std::vector<std::vector<uint8_t>> received() const;
  // Wake-up texts seen: one per link opened.
  uint32_t wakeups() const;

 private:
  void serve();
  void take(const uint8_t* bytes, size_t count);
  bool parseFrame();
  void answer(const std::vector<uint8_t>& message);
  void sendMessage(const ScriptedReply& reply);
  void sendControl(uint8_t character);

  Script script_;
  platform::PseudoTerminal pty_;
  platform::SerialDevice line_;
  platform::Thread thread_;
  std::atomic<bool> running_{false};
  std::vector<uint8_t> pending_;     // bytes read, not yet taken apart
  std::vector<uint8_t> assembling_;  // the host message being received
  std::string skipped_;              // bytes outside frames (the wake-up text)
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> received_;
  uint32_t wakeups_ = 0;
};

// A reply header: marker, class byte, command echo, status and a byte count
// of `body` after offset 10, followed by the body.
std::vector<uint8_t> MakeReply(uint16_t echo, uint16_t status, const std::vector<uint8_t>& body);

// The command number and class of a host command message (0 when too short).
uint16_t CommandOf(const std::vector<uint8_t>& message);
uint8_t ClassOf(const std::vector<uint8_t>& message);

}  // namespace vb::request::testing
