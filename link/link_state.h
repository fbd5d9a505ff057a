// LinkState: one open link. It holds the port, the receive buffer and its
// gap bookkeeping, the verdict the receiver thread posts for RecvData, the
// five events between the caller's thread and the receiver thread, and the
// three locks.
//
// Locks and what they guard:
//   link lock   - receiver status, last control code, requested position;
//   gap lock    - receive buffer, gap table, expected position, message end,
//                 start point, message length, progress reset flag;
//   resume lock - resume point.
// Lock order: the gap lock may be taken while the link lock is held, never
// the other way round. The locks are re-entrant.
//
// The object is shared between the handle table, the caller's export call
// and the receiver thread, so it lives until the last of them lets go.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "gap_table.h"
#include "link_constants.h"
#include "platform/dynlib.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "port_functions.h"
#include "vantbrook/records.h"

namespace vb::link {

// A control request the meter sent, for the transmitter.
struct ControlRequest {
  uint8_t code = kNoControl;
  uint32_t position = 0;
};

class LinkState {
 public:
  LinkState(uint32_t frameTimeoutMs, VantbrookProgressCallback progress);
  ~LinkState();
  LinkState(const LinkState&) = delete;
  LinkState& operator=(const LinkState&) = delete;

  // Declared first so that it is freed last, after everything that may
  // still call into the driver.
  platform::DynamicLibrary driverLibrary;
  PortFunctions port;
  std::atomic<int32_t> portHandle{kNoHandle};
  const uint32_t frameTimeoutMs;
  std::atomic<VantbrookProgressCallback> progress;
  std::atomic<bool> running{false};
  // Set while the caller waits for a message: from the start of SendData or
  // RecvData until RecvData hands the receive state back. A silent line
  // times out only while a message is awaited.
  std::atomic<bool> messageAwaited{false};
  // Owned by the caller's thread; never destroyed on the receiver thread.
  std::unique_ptr<platform::Thread> receiverThread;

  platform::Event messageAvailable{platform::Event::Reset::Auto};
  platform::Event messageRead{platform::Event::Reset::Auto};
  platform::Event frameReceived{platform::Event::Reset::Auto};
  platform::Event rxInitialised{platform::Event::Reset::Auto};
  platform::Event rxAbort{platform::Event::Reset::Auto};

  platform::RecursiveLock linkLock;
  platform::RecursiveLock gapLock;

  // Only the caller's thread builds frames here.
  std::array<uint8_t, kTransmitBufferSize> transmitBuffer{};

  // --- Verdicts (link lock) ---
  // Posts a verdict for RecvData. A message-read signal left from a
  // hand-back that crossed an earlier reception is dropped, so that the
  // receiver's wait that follows ends only on RecvData's answer to this one.
  void postVerdict(uint32_t status);
  uint32_t receiverStatus();
  // RecvData's hand-back: the receiver may start the next message.
  void handBack();
  // A control frame "0", "1" or "2": remembered for the transmitter.
  void noteControl(uint8_t code, uint32_t position);
  // An unsupported control character.
  void noteUnsupportedControl(uint8_t code);
  // The last control request, which is then forgotten.
  ControlRequest takeControl();

  // --- Receive state (gap lock) ---
  // The reset at the start of each message: gaps, expected position and
  // start point cleared. Message end, message length and resume point stay.
  void resetReception();
  uint32_t expectedPosition();
  void setExpectedPosition(uint32_t position);
  uint32_t messageEnd();
  void setMessageEnd(uint32_t end);
  uint32_t messageLength();
  void setMessageLength(uint32_t length);
  uint32_t startPoint();
  // Start point set, gaps below it forgotten, progress count restarted.
  void setStartPoint(uint32_t offset);
  bool progressReset();
  void setProgressReset(bool reset);
  bool hasNoGaps();
  uint32_t firstGapStart();
  bool recordFrame(uint32_t position, uint32_t count, bool lastFrame);
  bool openGapAtExpected();
  // Stores count message bytes at position; false (nothing stored) when they
  // would not fit in the receive buffer.
  bool storeReceived(uint32_t position, const uint8_t* bytes, uint32_t count);
  // Reads the 32-bit little-endian value at a message offset.
  uint32_t receivedWord(uint32_t offset);
  // The message byte at an offset (0 beyond the buffer).
  uint8_t receivedByte(uint32_t offset);
  // Copies message bytes [from, to) to dest + from, where dest holds
  // capacity bytes: nothing is written at or beyond dest + capacity and
  // nothing is read beyond the receive buffer. Returns the number copied.
  uint32_t copyReceived(uint32_t from, uint32_t to, uint8_t* dest, uint32_t capacity);

  // --- Resume point (resume lock) ---
  uint32_t resumePoint();
  void setResumePoint(uint32_t point);

 private:
  platform::RecursiveLock resumeLock_;

  uint32_t receiverStatus_ = RX_COMPLETE;
  uint8_t lastControlCode_ = kNoControl;
  uint32_t requestedPosition_ = 0;

  std::unique_ptr<uint8_t[]> receiveBuffer_;
  GapTable gaps_;
  uint32_t expectedPosition_ = 0;
  uint32_t messageEnd_ = 0;
  uint32_t startPoint_ = 0;
  uint32_t messageLength_ = 0;
  bool progressReset_ = false;

  uint32_t resumePoint_ = 0;
};

}  // namespace vb::link
