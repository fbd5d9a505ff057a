#include "link_state.h"

#include <algorithm>
#include <cstring>

#include "frame.h"

namespace vb::link {

LinkState::LinkState(uint32_t frameTimeout, VantbrookProgressCallback progressCallback)
    : frameTimeoutMs(frameTimeout),
      progress(progressCallback),
      receiveBuffer_(new uint8_t[kReceiveCapacity]) {
  std::memset(receiveBuffer_.get(), kReceiveFill, kReceiveCapacity);
}

LinkState::~LinkState() = default;

void LinkState::postVerdict(uint32_t status) {
  platform::LockGuard guard(linkLock);
  messageRead.reset();
  receiverStatus_ = status;
  messageAvailable.set();
}

uint32_t LinkState::receiverStatus() {
  platform::LockGuard guard(linkLock);
  return receiverStatus_;
}

void LinkState::handBack() {
  platform::LockGuard guard(linkLock);
  messageAwaited.store(false);
  receiverStatus_ = RX_COMPLETE;
  messageRead.set();
}

void LinkState::noteControl(uint8_t code, uint32_t position) {
  platform::LockGuard guard(linkLock);
  lastControlCode_ = code;
  receiverStatus_ = RX_COMPLETE;
  if (code == CTRL_RESEND) requestedPosition_ = position;
}

void LinkState::noteUnsupportedControl(uint8_t code) {
  platform::LockGuard guard(linkLock);
  lastControlCode_ = code >= '3' && code <= '9' ? code : kNoControl;
}

ControlRequest LinkState::takeControl() {
  platform::LockGuard guard(linkLock);
  ControlRequest request{lastControlCode_, requestedPosition_};
  lastControlCode_ = kNoControl;
  return request;
}

void LinkState::resetReception() {
  platform::LockGuard guard(gapLock);
  gaps_.clear();
  expectedPosition_ = 0;
  startPoint_ = 0;
  progressReset_ = false;
}

uint32_t LinkState::expectedPosition() {
  platform::LockGuard guard(gapLock);
  return expectedPosition_;
}

void LinkState::setExpectedPosition(uint32_t position) {
  platform::LockGuard guard(gapLock);
  expectedPosition_ = position;
}

uint32_t LinkState::messageEnd() {
  platform::LockGuard guard(gapLock);
  return messageEnd_;
}

void LinkState::setMessageEnd(uint32_t end) {
  platform::LockGuard guard(gapLock);
  messageEnd_ = end;
}

uint32_t LinkState::messageLength() {
  platform::LockGuard guard(gapLock);
  return messageLength_;
}

void LinkState::setMessageLength(uint32_t length) {
  platform::LockGuard guard(gapLock);
  messageLength_ = length;
  progressReset_ = true;
}

uint32_t LinkState::startPoint() {
  platform::LockGuard guard(gapLock);
  return startPoint_;
}

void LinkState::setStartPoint(uint32_t offset) {
  platform::LockGuard guard(gapLock);
  startPoint_ = offset;
  gaps_.trim(offset);
  progressReset_ = true;
}

bool LinkState::progressReset() {
  platform::LockGuard guard(gapLock);
  return progressReset_;
}

void LinkState::setProgressReset(bool reset) {
  platform::LockGuard guard(gapLock);
  progressReset_ = reset;
}

bool LinkState::hasNoGaps() {
  platform::LockGuard guard(gapLock);
  return gaps_.hasNoGaps(startPoint_);
}

uint32_t LinkState::firstGapStart() {
  platform::LockGuard guard(gapLock);
  return gaps_.firstGapStart(startPoint_);
}

bool LinkState::recordFrame(uint32_t position, uint32_t count, bool lastFrame) {
  platform::LockGuard guard(gapLock);
  return gaps_.recordFrame(position, count, lastFrame, startPoint_, expectedPosition_);
}

bool LinkState::openGapAtExpected() {
  platform::LockGuard guard(gapLock);
  return gaps_.openGapAt(expectedPosition_);
}

bool LinkState::storeReceived(uint32_t position, const uint8_t* bytes, uint32_t count) {
  if (position > kReceiveCapacity || count > kReceiveCapacity - position) return false;
  platform::LockGuard guard(gapLock);
  std::memcpy(receiveBuffer_.get() + position, bytes, count);
  return true;
}

uint32_t LinkState::receivedWord(uint32_t offset) {
  uint32_t value = 0;
  for (uint32_t i = 4; i-- > 0;) value = (value << 8) | receivedByte(offset + i);
  return value;
}

uint8_t LinkState::receivedByte(uint32_t offset) {
  if (offset >= kReceiveCapacity) return 0;
  platform::LockGuard guard(gapLock);
  return receiveBuffer_[offset];
}

uint32_t LinkState::copyReceived(uint32_t from, uint32_t to, uint8_t* dest, uint32_t capacity) {
  if (dest == nullptr) return 0;
  const uint32_t end = std::min({to, capacity, kReceiveCapacity});
  if (from >= end) return 0;
  platform::LockGuard guard(gapLock);
  std::memcpy(dest + from, receiveBuffer_.get() + from, end - from);
  return end - from;
}

uint32_t LinkState::resumePoint() {
  platform::LockGuard guard(resumeLock_);
  return resumePoint_;
}

void LinkState::setResumePoint(uint32_t point) {
  platform::LockGuard guard(resumeLock_);
  resumePoint_ = point;
}

}  // namespace vb::link
