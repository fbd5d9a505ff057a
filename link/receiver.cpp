#include "receiver.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "frame.h"
#include "link_constants.h"
#include "platform/clock.h"

namespace vb::link {
namespace {

// What one pass of the receive loop ended with.
enum class FrameOutcome {
  kNothing,  // no complete frame came in time, or the read was stopped
  kBad,      // a header or payload check failed, or no valid length
  kBadData,  // a data frame with a good header whose payload failed its check
  kDropped,  // a data frame that would end past the receive buffer
  kData,     // a good data frame
  kControl,  // a good control frame
};

class Receiver {
 public:
  explicit Receiver(LinkState& link)
      : link_(link),
        deadlineSeconds_(link.frameTimeoutMs / 1000),
        readWaitMs_(link.frameTimeoutMs / 10) {}

  void run() {
    const int32_t port = link_.portHandle.load();
    if (link_.port.startReadThread != nullptr) link_.port.startReadThread(port);
    while (link_.running.load()) {
      if (resetPending_) reset();
      header_.fill(kReceiveFill);
      payload_.fill(kReceiveFill);
      deliverVerdict(receiveFrame());
    }
    if (link_.port.closeReadThread != nullptr) link_.port.closeReadThread(port);
  }

 private:
  void reset() {
    link_.resetReception();
    payload_.fill(kReceiveFill);
    resetPending_ = false;
    frameSinceReset_ = false;
    lastFlag_ = false;
    messageEndKnown_ = false;
    aborted_ = false;
    pending_ = RX_COMPLETE;
    soFar_ = 0;
    total_ = 0;
    badFrames_ = 0;
    link_.rxInitialised.set();
  }

  static uint64_t nowSeconds() { return platform::nowMs() / 1000; }

  // Idle: nothing of a message has come since the last reset and the caller
  // awaits none. A silent idle line is no failure of any message.
  bool linkIdle() const { return !frameSinceReset_ && !link_.messageAwaited.load(); }

  // Reads until `wanted` bytes are valid in buffer, the frame time-out has
  // passed, the link is closing or the user aborted. The header buffer is
  // synchronised on its start byte after every read. True when complete.
  //
  // On an idle link the time-out starts when a message comes to be awaited,
  // so a message sent late in a read still gets the whole time-out. A read
  // that ends while the link is still idle sets idleReadExpired_.
  bool readInto(uint8_t* buffer, uint32_t wanted, bool synchronise) {
    uint64_t deadline = nowSeconds() + deadlineSeconds_;
    bool idle = linkIdle();
    const uint32_t readWait = idle ? std::max(readWaitMs_, kIdleReadWaitMs) : readWaitMs_;
    uint32_t valid = 0;
    for (;;) {
      const uint32_t want = wanted - valid;
      uint32_t count = want;
      const uint64_t started = platform::nowMs();
      const int32_t result =
          link_.port.receiveData(link_.portHandle.load(), buffer + valid, &count, readWait);
      // A failed read leaves a driver's count as it was: nothing came. A
      // count beyond what was asked for is not believed.
      if (count > want || (result == 0 && count == want)) count = 0;
      valid += count;
      if (synchronise) valid = static_cast<uint32_t>(SyncHeader(buffer, valid));
      if (count == 0) pauseAfterEmptyRead(started, readWait);
      pollProgress();
      if (valid == wanted) return true;
      if (idle) {
        // A hand-back that came while the link was idle (a RecvData that
        // gave up before this read saw it waiting) asks for a reset.
        if (link_.messageRead.tryWait()) {
          resetPending_ = true;
          idleReadExpired_ = true;
          return false;
        }
        if (!linkIdle()) {
          idle = false;
          deadline = nowSeconds() + deadlineSeconds_;
        }
      }
      if (nowSeconds() > deadline || !link_.running.load() || aborted_) {
        idleReadExpired_ = idle;
        return false;
      }
    }
  }

  // A port that fails at once (a line that has gone) is not read again
  // before the read wait has passed, so a dead line costs no processor time.
  void pauseAfterEmptyRead(uint64_t started, uint32_t readWait) {
    const uint64_t elapsed = platform::nowMs() - started;
    if (elapsed < readWait && link_.running.load()) {
      platform::sleepMs(static_cast<uint32_t>(readWait - elapsed));
    }
  }

  void pollProgress() {
    const VantbrookProgressCallback progress = link_.progress.load();
    if (progress == nullptr) return;
    if (progress(lastPercent_) == 1) {
      aborted_ = true;
      pending_ = RX_ABORTED;
    } else {
      platform::sleepMs(kProgressPollPauseMs);
    }
  }

  // A message that stopped arriving leaves a gap from the expected position.
  // An idle line that stayed silent leaves nothing: no message is missing,
  // and a verdict now would be taken for the answer to the next message.
  void readTimedOut() {
    if (aborted_ || idleReadExpired_) return;
    pending_ = link_.openGapAtExpected() ? RX_TIMED_OUT : RX_POOR_DATA;
  }

  void badFrame() {
    if (++badFrames_ >= kBadFrameLimit) pending_ = RX_POOR_DATA;
  }

  FrameOutcome receiveFrame() {
    if (!readInto(header_.data(), kHeaderSize, true)) {
      readTimedOut();
      return FrameOutcome::kNothing;
    }
    if (!CheckHeader(header_.data())) {
      badFrame();
      return FrameOutcome::kBad;
    }
    const FrameHeader header = DecodeHeader(header_.data());
    if (header.data) frameSinceReset_ = true;
    // Only a data frame's flag says that a message has ended; a control
    // frame always carries it.
    if (header.data && header.last) lastFlag_ = true;
    const uint32_t length = header.length;
    if (length < kMinFrameLength || length - kHeaderSize > payload_.size()) {
      badFrame();
      return FrameOutcome::kBad;
    }
    if (header.data && length + header.position - kHeaderSize >= kReceiveCapacity) {
      pending_ = RX_OVERFLOW;
      return FrameOutcome::kDropped;
    }
    if (!readInto(payload_.data(), length - kHeaderSize, false)) {
      readTimedOut();
      return FrameOutcome::kNothing;
    }
    if (!CheckPayload(payload_.data(), length)) {
      badFrame();
      return header.data ? FrameOutcome::kBadData : FrameOutcome::kBad;
    }
    const UnstuffResult unstuffed =
        Unstuff(payload_.data(), length - kFrameOverhead, message_.data(), message_.size());
    const uint32_t count = static_cast<uint32_t>(unstuffed.written);
    if (!header.data) {
      takeControl(count > 0 ? message_[0] : kNoControl, header.position);
      link_.frameReceived.set();
      return FrameOutcome::kControl;
    }
    takeData(header, count);
    link_.frameReceived.set();
    reportProgress(header, count);
    return FrameOutcome::kData;
  }

  void takeControl(uint8_t code, uint32_t position) {
    if (code == CTRL_ACK || code == CTRL_NAK || code == CTRL_RESEND) {
      link_.noteControl(code, position);
      pending_ = RX_COMPLETE;
    } else {
      link_.noteUnsupportedControl(code);
      pending_ = RX_UNSUPPORTED_CONTROL;
    }
    resetPending_ = true;
  }

  void takeData(const FrameHeader& header, uint32_t count) {
    link_.storeReceived(header.position, message_.data(), count);
    // Only the frame that holds the end of the message sets where it ends; a
    // frame sent again later, from inside the message, must not cut it short.
    if (header.last) {
      link_.setMessageEnd(header.position + count);
      messageEndKnown_ = true;
    }
    if (!link_.recordFrame(header.position, count, header.last)) pending_ = RX_POOR_DATA;
  }

  void reportProgress(const FrameHeader& header, uint32_t count) {
    const VantbrookProgressCallback progress = link_.progress.load();
    if (progress == nullptr) return;
    {
      platform::LockGuard guard(link_.gapLock);
      if (header.first) {
        const uint8_t marker = link_.receivedByte(header.position);
        if (marker == kMessageMarkerPlus || marker == kMessageMarkerFrame) {
          link_.setStartPoint(0);
          const uint32_t length = link_.receivedWord(
              marker == kMessageMarkerPlus ? kMessageLengthOffsetPlus : kMessageLengthOffsetFrame);
          link_.setMessageLength(length);
          soFar_ = 0;
          total_ = length;
        } else {
          total_ = link_.messageLength();
          soFar_ = link_.startPoint();
        }
      }
      if (link_.progressReset()) {
        total_ = link_.messageLength();
        soFar_ = link_.startPoint();
        link_.setProgressReset(false);
      }
    }
    soFar_ += count;
    lastPercent_ = soFar_ >= total_ ? 100 : static_cast<int>(uint64_t{soFar_} * 100 / total_);
    if (progress(lastPercent_) == 1) pending_ = RX_ABORTED;
  }

  // Posts the verdict the pass came to, if any, and waits for RecvData to
  // answer it.
  void deliverVerdict(FrameOutcome outcome) {
    if (!link_.running.load()) return;
    if (pending_ != RX_COMPLETE) {
      link_.postVerdict(pending_);
      if (aborted_) link_.rxAbort.set();
      waitForAnswer();
      return;
    }
    // After the frame that ends the message, every data frame (a part sent
    // again) brings a new verdict. The message is complete only when the
    // frame holding its end has arrived and no gap remains.
    const bool dataFrame = outcome == FrameOutcome::kData || outcome == FrameOutcome::kBadData;
    if (!lastFlag_ || !dataFrame) return;
    uint32_t status = RX_MISSING_BLOCKS;
    if (!messageEndKnown_) {
      if (!link_.openGapAtExpected()) status = RX_POOR_DATA;
    } else if (link_.hasNoGaps()) {
      status = RX_COMPLETE;
    }
    link_.postVerdict(status);
    waitForAnswer();
  }

  // Blocks until RecvData has consumed the verdict (or the link closes). A
  // hand-back starts the next message; a resend request continues this one.
  void waitForAnswer() {
    if (!link_.running.load()) return;
    link_.messageRead.wait(platform::kWaitForever);
    if (link_.receiverStatus() == RX_COMPLETE) resetPending_ = true;
    // The verdict has been answered; it is not posted again for later frames.
    pending_ = RX_COMPLETE;
    aborted_ = false;
  }

  LinkState& link_;
  const uint32_t deadlineSeconds_;
  const uint32_t readWaitMs_;
  std::array<uint8_t, kHeaderSize> header_{};
  std::array<uint8_t, kPayloadBufferSize> payload_{};
  std::array<uint8_t, kPayloadBufferSize> message_{};
  bool resetPending_ = true;
  // A data frame header passed its check since the last reset.
  bool frameSinceReset_ = false;
  bool idleReadExpired_ = false;
  bool lastFlag_ = false;
  bool messageEndKnown_ = false;
  bool aborted_ = false;
  uint32_t pending_ = RX_COMPLETE;
  uint16_t badFrames_ = 0;
  uint32_t soFar_ = 0;
  uint32_t total_ = 0;
  int lastPercent_ = 0;
};

}  // namespace

void runReceiver(LinkState& link) {
  // The buffers are too large for a thread's stack comfort; keep them on the
  // heap for the thread's lifetime.
  auto receiver = std::make_unique<Receiver>(link);
  receiver->run();
}

}  // namespace vb::link
