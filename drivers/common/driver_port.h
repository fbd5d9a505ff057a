// DriverPort: one connection of a port driver (the line, its two locks, the
// error text and the abort of its call set-up), and the per-driver
// differences of the line layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "line_constants.h"
#include "platform/serial.h"
#include "platform/sync.h"

namespace vb::driver {

// How one driver's line layer differs from the other's.
struct LineTraits {
  // Bit 7 of every character stored as error text (a system text's prefix
  // included) is cleared.
  bool clearBit7InTexts;
  // Reply bytes are compared with bit 7 cleared, and a byte that is then 0
  // ends the reply.
  bool clearBit7InReplies;
  // A failed purge ends an open or attach instead of only being recorded.
  bool purgeFailureEndsOpen;
  // The purge failure text when OpenPort opens a new line.
  const char* purgeFailedTextForOpenPort;
};

class DriverPort {
 public:
  explicit DriverPort(const LineTraits& traits) : traits_(traits) {}
  DriverPort(const DriverPort&) = delete;
  DriverPort& operator=(const DriverPort&) = delete;

  const LineTraits& traits() const { return traits_; }
  platform::SerialDevice& line() { return line_; }
  // The line's OS handle, or -1 when no line is open.
  int32_t lineHandle() const {
    return line_.isOpen() ? platform::fieldFromLine(line_.handle()) : -1;
  }

  platform::RecursiveLock& readLock() { return readLock_; }
  platform::RecursiveLock& writeLock() { return writeLock_; }

  // Replaces the error text with a terminated text, cut to 127 characters
  // and stored as it is (see SetErrorText for the usual way in).
  void storeErrorText(const char* text);
  // The current error text.
  std::string errorText() const;
  // Copies the current error text into a field that only this call writes
  // and returns it, so a caller can read it while the reader thread records
  // a new failure. Valid until the connection is destroyed.
  const char* publishErrorText();

  // The call set-up of an open runs between these two. Meanwhile another
  // thread may abort it: every pause and reply wait of the dialogue (Pause,
  // WaitForInput) then ends at once. endCallSetUp() says whether it was
  // aborted and makes the waits of the call clearing that follows run their
  // full time again, so guard times and the wait for the clearing's answer
  // are kept.
  void beginCallSetUp();
  bool endCallSetUp();
  // True when a call set-up was running and is now aborted; false (nothing
  // done) outside one.
  bool abortCallSetUp();
  // Set from an abort until the set-up ends.
  platform::Event& callSetUpAborted() { return setUpAborted_; }

 private:
  const LineTraits& traits_;
  platform::SerialDevice line_;
  platform::RecursiveLock readLock_;
  platform::RecursiveLock writeLock_;
  // The reader and the writer may both record a failure at once.
  mutable std::mutex errorTextLock_;
  char errorText_[kErrorTextSize] = {};
  char publishedErrorText_[kErrorTextSize] = {};
  std::mutex setUpLock_;
  bool settingUp_ = false;  // under setUpLock_
  platform::Event setUpAborted_{platform::Event::Reset::Manual};
};

// Stores a plain text as the error text: at most 127 characters, bit 7
// cleared when the driver says so, trailing carriage returns removed (but
// never the first character).
void SetErrorText(DriverPort& port, const char* text);
// Stores a prefix followed by the system's text for this thread's last
// error. A system text that does not fit in the rest of the field is left
// out and the prefix stands alone.
void SetSystemErrorText(DriverPort& port, const char* prefix);

}  // namespace vb::driver
