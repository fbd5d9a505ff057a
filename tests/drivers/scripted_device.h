// A PAD or modem played by a script on a real pseudo-terminal, in virtual
// time. The driver under test takes over the slave side; the script reads
// what the driver sends on the master side and writes replies there.
//
// Time runs only when the driver sleeps (pauses and reply polls) through the
// installed VirtualClock, so waits of seconds or minutes cost nothing. At
// the end of every sleep, each step whose time has come is carried out and
// its reply is in the slave's input queue before the sleep returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/serial.h"

namespace vb::drivertest {

// A clock whose time moves only when somebody sleeps on it.
class VirtualClock : public platform::Clock {
 public:
  uint64_t nowMs() override { return now_; }
  void sleepMs(uint32_t ms) override;
  // Called at the end of every sleep with the time it began and the new time.
  void onSleep(std::function<void(uint64_t, uint64_t)> listener) {
    listener_ = std::move(listener);
  }
  // Every sleep so far, in order.
  const std::vector<uint32_t>& sleeps() const { return sleeps_; }
  // The sleeps that were not reply polls of the given interval.
  std::vector<uint32_t> pauses(uint32_t pollIntervalMs) const;

 private:
  uint64_t now_ = 0;
  std::vector<uint32_t> sleeps_;
  std::function<void(uint64_t, uint64_t)> listener_;
};

// What the far end does at one point of the script.
struct ScriptStep {
  enum class Action {
    Reply,       // write `reply` to the line
    HangUp,      // close the master side: the driver's writes fail from now on
    CloseLine,   // close the driver's descriptor under it: every operation fails
    BlockOutput,  // stop taking the driver's output and fill the line until
                  // the driver's writes cannot complete
    Run           // call `run`, as another thread of the driver's caller would
  };
  // The step begins when the driver has sent these bytes (after the bytes
  // that earlier triggers matched); empty: when the previous step was done.
  std::string trigger;
  // Virtual milliseconds from the beginning of the step to its action.
  uint32_t delayMs = 0;
  std::string reply;
  Action action = Action::Reply;
  std::function<void()> run = nullptr;
};

inline ScriptStep replyTo(std::string trigger, std::string reply, uint32_t delayMs = 10) {
  return {std::move(trigger), delayMs, std::move(reply), ScriptStep::Action::Reply};
}
// Only takes the driver's bytes off the line: a purge by the driver would
// discard them from the pseudo-terminal if they were still in transit.
inline ScriptStep takeSent(std::string trigger) { return replyTo(std::move(trigger), "", 0); }
inline ScriptStep replyAfter(uint32_t delayMs, std::string reply) {
  return {"", delayMs, std::move(reply), ScriptStep::Action::Reply};
}
inline ScriptStep actAfter(std::string trigger, uint32_t delayMs, ScriptStep::Action action) {
  return {std::move(trigger), delayMs, "", action};
}
inline ScriptStep runAfter(std::string trigger, uint32_t delayMs, std::function<void()> run) {
  return {std::move(trigger), delayMs, "", ScriptStep::Action::Run, std::move(run)};
}

class ScriptedDevice {
 public:
  ScriptedDevice();
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // Opens the pseudo-terminal and installs the virtual clock.
  bool start();
  VirtualClock& clock() { return clock_; }
  const std::string& slavePath() const { return pty_.slavePath(); }
  // The slave descriptor, for a driver that attaches to an open line. It
  // stays the device's: the driver must let go of it without closing it.
  int32_t slaveHandle() const { return platform::fieldFromLine(pty_.slave()); }
  // Reads the slave's line settings (as the driver left them).
  bool slaveSettings(platform::SerialSettings* out);

  // Replaces the script; steps due at once are carried out now.
  void script(std::vector<ScriptStep> steps);
  // Carries out an action at once, outside the script.
  void actNow(const ScriptStep& step) { carryOut(step); }
  // Writes bytes to the driver's line at once.
  void inject(const std::string& bytes) { deliver(bytes); }
  // Every byte the driver has sent so far, waiting up to a second of real
  // time for at least `expected` bytes to cross the pseudo-terminal.
  std::string sent(size_t expected = 0);
  // True when every step of the script has been carried out.
  bool scriptDone() const { return next_ == steps_.size(); }

 private:
  void advance(uint64_t sleepBegan, uint64_t now);
  void readAvailable();
  void awaitTrigger();
  bool consumeTrigger();
  void carryOut(const ScriptStep& step);
  void deliver(const std::string& reply);
  void blockOutput();

  VirtualClock clock_;
  platform::PseudoTerminal pty_;
  platform::SerialDevice master_;
  platform::SerialDevice slaveProbe_;
  std::vector<ScriptStep> steps_;
  size_t next_ = 0;
  bool stepBegun_ = false;
  uint64_t stepBeganAt_ = 0;
  uint64_t previousDoneAt_ = 0;
  std::string sent_;
  size_t matchedUpTo_ = 0;
  bool masterOpen_ = false;
  bool outputBlocked_ = false;
};

}  // namespace vb::drivertest
