#include "scripted_device.h"

#include <thread>

namespace vb::drivertest {
namespace {

// Real time allowed for bytes to cross the pseudo-terminal. The driver's
// write always comes before the sleep in which its trigger is looked for,
// so this is only spent when the driver has not (yet) sent the trigger.
constexpr uint32_t kTriggerWaitMs = 20;
constexpr uint32_t kDeliveryWaitMs = 2000;
constexpr uint32_t kSentWaitMs = 1000;
constexpr uint32_t kShortReadMs = 10;
constexpr uint32_t kBlockingWriteMs = 50;
constexpr size_t kFillChunkBytes = 4096;
constexpr size_t kMaxFillChunks = 1024;

}  // namespace

void VirtualClock::sleepMs(uint32_t ms) {
  const uint64_t began = now_;
  now_ += ms;
  sleeps_.push_back(ms);
  if (listener_) listener_(began, now_);
}

std::vector<uint32_t> VirtualClock::pauses(uint32_t pollIntervalMs) const {
  std::vector<uint32_t> result;
  for (uint32_t ms : sleeps_) {
    if (ms != pollIntervalMs) result.push_back(ms);
  }
  return result;
}

ScriptedDevice::ScriptedDevice() = default;

ScriptedDevice::~ScriptedDevice() {
  platform::setClockForTesting(nullptr);
  master_.release();
  slaveProbe_.release();
}

bool ScriptedDevice::start() {
  if (!pty_.open()) return false;
  if (!master_.adopt(pty_.master()) || !slaveProbe_.adopt(pty_.slave())) return false;
  masterOpen_ = true;
  clock_.onSleep([this](uint64_t began, uint64_t now) { advance(began, now); });
  platform::setClockForTesting(&clock_);
  return true;
}

bool ScriptedDevice::slaveSettings(platform::SerialSettings* out) {
  return slaveProbe_.getSettings(out);
}

void ScriptedDevice::script(std::vector<ScriptStep> steps) {
  steps_ = std::move(steps);
  next_ = 0;
  stepBegun_ = false;
  previousDoneAt_ = clock_.nowMs();
  advance(previousDoneAt_, previousDoneAt_);
}

std::string ScriptedDevice::sent(size_t expected) {
  readAvailable();
  const uint64_t deadline = platform::realClock().nowMs() + kSentWaitMs;
  while (masterOpen_ && !outputBlocked_ && sent_.size() < expected &&
         platform::realClock().nowMs() < deadline) {
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstantMs = kShortReadMs;
    char byte = 0;
    size_t got = 0;
    if (!master_.setTimeouts(timeouts) || !master_.read(&byte, 1, &got)) break;
    if (got == 1) sent_.push_back(byte);
    readAvailable();
  }
  return sent_;
}

void ScriptedDevice::readAvailable() {
  if (!masterOpen_ || outputBlocked_) return;
  uint32_t queued = 0;
  while (master_.bytesQueued(&queued) && queued > 0) {
    std::string bytes(queued, '\0');
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstantMs = kShortReadMs;
    size_t got = 0;
    if (!master_.setTimeouts(timeouts) || !master_.read(bytes.data(), bytes.size(), &got) ||
        got == 0) {
      return;
    }
    sent_.append(bytes, 0, got);
  }
}

void ScriptedDevice::awaitTrigger() {
  if (!masterOpen_ || outputBlocked_) return;
  const uint64_t deadline = platform::realClock().nowMs() + kTriggerWaitMs;
  for (uint64_t now = platform::realClock().nowMs(); now < deadline;
       now = platform::realClock().nowMs()) {
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstantMs = static_cast<uint32_t>(deadline - now);
    char byte = 0;
    size_t got = 0;
    if (!master_.setTimeouts(timeouts) || !master_.read(&byte, 1, &got) || got == 0) return;
    sent_.push_back(byte);
    readAvailable();
    if (sent_.find(steps_[next_].trigger, matchedUpTo_) != std::string::npos) return;
  }
}

bool ScriptedDevice::consumeTrigger() {
  const std::string& trigger = steps_[next_].trigger;
  const size_t at = sent_.find(trigger, matchedUpTo_);
  if (at == std::string::npos) return false;
  matchedUpTo_ = at + trigger.size();
  return true;
}

void ScriptedDevice::advance(uint64_t sleepBegan, uint64_t now) {
  readAvailable();
  while (next_ < steps_.size()) {
    const ScriptStep& step = steps_[next_];
    if (!stepBegun_) {
      if (step.trigger.empty()) {
        stepBeganAt_ = previousDoneAt_;
      } else {
        if (!consumeTrigger()) {
          awaitTrigger();
          if (!consumeTrigger()) return;
        }
        // The driver wrote the trigger before this sleep began.
        stepBeganAt_ = sleepBegan;
      }
      stepBegun_ = true;
    }
    if (stepBeganAt_ + step.delayMs > now) return;
    carryOut(step);
    previousDoneAt_ = now;
    stepBegun_ = false;
    ++next_;
  }
}

void ScriptedDevice::carryOut(const ScriptStep& step) {
  switch (step.action) {
    case ScriptStep::Action::Reply:
      deliver(step.reply);
      break;
    case ScriptStep::Action::HangUp: {
      master_.release();
      masterOpen_ = false;
      platform::closeLine(pty_.releaseMaster());
      break;
    }
    case ScriptStep::Action::CloseLine: {
      slaveProbe_.release();
      platform::closeLine(pty_.releaseSlave());
      break;
    }
    case ScriptStep::Action::BlockOutput:
      blockOutput();
      break;
    case ScriptStep::Action::Run:
      step.run();
      break;
  }
}

void ScriptedDevice::deliver(const std::string& reply) {
  uint32_t before = 0;
  slaveProbe_.bytesQueued(&before);
  size_t written = 0;
  if (!master_.write(reply.data(), reply.size(), &written)) return;
  // The reply must be in the driver's input queue before its next poll.
  const uint64_t deadline = platform::realClock().nowMs() + kDeliveryWaitMs;
  uint32_t queued = 0;
  while (slaveProbe_.bytesQueued(&queued) && queued < before + reply.size() &&
         platform::realClock().nowMs() < deadline) {
    std::this_thread::yield();
  }
}

void ScriptedDevice::blockOutput() {
  outputBlocked_ = true;
  platform::SerialTimeouts timeouts;
  timeouts.writeTotalConstantMs = kBlockingWriteMs;
  if (!slaveProbe_.setTimeouts(timeouts)) return;
  // Large writes until the line refuses one, then single bytes until it
  // takes no more at all.
  const std::string chunk(kFillChunkBytes, 'x');
  size_t written = 0;
  for (size_t i = 0; i < kMaxFillChunks; ++i) {
    if (!slaveProbe_.write(chunk.data(), chunk.size(), &written)) break;
  }
  for (size_t i = 0; i < kFillChunkBytes; ++i) {
    if (!slaveProbe_.write(chunk.data(), 1, &written)) break;
  }
}

}  // namespace vb::drivertest
