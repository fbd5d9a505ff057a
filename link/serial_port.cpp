#include "serial_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "handle_table.h"
#include "link_constants.h"
#include "platform/devicemap.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "port_functions.h"

namespace vb::link {
namespace {

constexpr char kTextPortNotRecognised[] = "Port number not recognised";
constexpr char kTextOpenFailed[] = "Failed to open port : ";
constexpr char kTextSetupFailed[] = "Could not set up port";
constexpr char kTextGetParametersFailed[] = "Unable to get port parameters";
constexpr char kTextSetParametersFailed[] = "Unable to set port parameters";
constexpr char kTextSetTimeoutsFailed[] = "Unable to set port timeouts";
constexpr char kTextGetTimeoutsFailed[] = "Unable to get Port Timeouts";
constexpr char kTextWriteFailed[] = "Write Failed :";
constexpr char kTextPendingWriteFailed[] = "Pending Write Failed :";
constexpr char kTextReadError[] = "Read error :";

class SerialPort {
 public:
  SerialPort() { errorText_[0] = '\0'; }

  // Opens COMn for the protocol code's fourth character and sets it up.
  bool openByName(char portCharacter) {
    if (portCharacter < '1' || portCharacter > '8') {
      return fail(kTextPortNotRecognised, false);
    }
    const std::string path = platform::comDevicePath(portCharacter - '0');
    if (!device_.open(path)) return fail(kTextOpenFailed, true);
    if (!device_.setQueueSizes(kSerialQueueBytes, kSerialQueueBytes)) {
      return fail(kTextSetupFailed, true);
    }
    device_.purge();
    platform::SerialSettings settings;
    if (!device_.getSettings(&settings)) return fail(kTextGetParametersFailed, true);
    settings.baud = kSerialBaud;
    settings.dataBits = 8;
    settings.parity = platform::Parity::None;
    settings.stopBits = 1;
    settings.dtr = true;
    settings.rts = true;
    if (!device_.setSettings(settings)) return fail(kTextSetParametersFailed, true);
    platform::SerialTimeouts timeouts;
    timeouts.readIntervalMs = kSerialReadIntervalMs;
    timeouts.readTotalPerByteMs = kSerialReadPerByteMs;
    timeouts.readTotalConstantMs = 0;
    timeouts.writeTotalPerByteMs = kSerialWritePerByteMs;
    timeouts.writeTotalConstantMs = kSerialWriteConstantMs;
    if (!device_.setTimeouts(timeouts)) return fail(kTextSetTimeoutsFailed, true);
    openedHere_ = true;
    return true;
  }

  // Uses a line somebody else opened and configured; it stays theirs.
  bool adopt(int32_t lineHandle) {
    if (!device_.adopt(platform::lineFromField(lineHandle))) return fail(kTextOpenFailed, true);
    device_.purge();
    return true;
  }

  bool send(const unsigned char* data, uint32_t count) {
    std::lock_guard<std::mutex> guard(writeLock_);
    size_t written = 0;
    if (device_.write(data, count, &written)) return true;
    return fail(written > 0 ? kTextPendingWriteFailed : kTextWriteFailed, true);
  }

  // Reads up to *count bytes, the first ones within timeoutMs and the rest of
  // a burst shortly after. *count becomes the number read (also after a
  // failure, so that nothing unread is ever taken as received). True when
  // all requested bytes came.
  bool receive(unsigned char* buffer, uint32_t* count, uint32_t timeoutMs) {
    const uint32_t wanted = *count;
    size_t got = 0;
    if (!readWithin(buffer, wanted, timeoutMs, &got)) {
      *count = static_cast<uint32_t>(got);
      return false;
    }
    if (got > 0 && got < wanted) {
      size_t more = 0;
      readWithin(buffer + got, wanted - got, kSerialFollowUpReadMs, &more);
      got += more;
    }
    *count = static_cast<uint32_t>(got);
    return got == wanted;
  }

  // Ends reading for good: reads from now on return at once, and on a line
  // opened here both directions are discarded and a blocked read or write is
  // cancelled. A purge only cancels a read that has already begun, so it is
  // repeated until no read holds the line: a read that looked at the flag
  // just before it was set cannot then wait out its whole time.
  void abort() {
    aborted_.store(true);
    if (!openedHere_) return;
    device_.purge();
    while (!readLock_.try_lock()) {
      platform::sleepMs(kSerialAbortRepeatMs);
      device_.purge();
    }
    readLock_.unlock();
  }

  void close() { device_.close(); }

  // A stable copy of the error text for the caller's thread; the receiver
  // thread may record a read error meanwhile.
  const char* errorText() {
    std::lock_guard<std::mutex> guard(errorLock_);
    std::memcpy(reportedText_, errorText_, sizeof(reportedText_));
    return reportedText_;
  }

 private:
  bool readWithin(unsigned char* buffer, size_t count, uint32_t timeoutMs, size_t* got) {
    std::lock_guard<std::mutex> guard(readLock_);
    if (aborted_.load()) return false;
    platform::SerialTimeouts timeouts;
    if (!device_.getTimeouts(&timeouts)) return fail(kTextGetTimeoutsFailed, true);
    timeouts.readTotalConstantMs = timeoutMs;
    if (!device_.setTimeouts(timeouts)) return fail(kTextSetTimeoutsFailed, true);
    if (device_.read(buffer, count, got)) return true;
    return fail(kTextReadError, true);
  }

  // Records the failure text, with the system's text for the last OS error
  // appended in the room left, and answers false.
  bool fail(const char* text, bool withSystemText) {
    std::string message(text);
    if (withSystemText) message += platform::lastErrorText();
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n')) {
      message.pop_back();
    }
    message.resize(std::min<size_t>(message.size(), kSerialErrorTextSize - 1));
    std::lock_guard<std::mutex> guard(errorLock_);
    std::memcpy(errorText_, message.c_str(), message.size() + 1);
    return false;
  }

  platform::SerialDevice device_;
  std::mutex readLock_;
  std::mutex writeLock_;
  std::mutex errorLock_;
  char errorText_[kSerialErrorTextSize];
  char reportedText_[kSerialErrorTextSize] = {};
  bool openedHere_ = false;
  std::atomic<bool> aborted_{false};
};

// Never destroyed: a receiver thread that outlives its link may still look
// its port up while the process exits.
HandleTable<SerialPort>& serialPorts() {
  static auto* table = new HandleTable<SerialPort>();
  return *table;
}

int32_t VB_STDCALL serialOpen(int32_t* portSlot, int32_t, const char* protocol, const char*) {
  std::shared_ptr<SerialPort> port;
  try {
    port = std::make_shared<SerialPort>();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const int32_t lineHandle = *portSlot;
  *portSlot = serialPorts().insert(port);
  if (lineHandle != kNoHandle) return port->adopt(lineHandle) ? 1 : 0;
  return port->openByName(protocol[3]) ? 1 : 0;
}

int32_t VB_STDCALL serialClose(int32_t handle) {
  std::shared_ptr<SerialPort> port = serialPorts().remove(handle);
  if (port == nullptr) return 0;
  port->close();
  return 1;
}

int32_t VB_STDCALL serialSend(int32_t handle, const unsigned char* data, uint32_t count) {
  std::shared_ptr<SerialPort> port = serialPorts().find(handle);
  return port != nullptr && port->send(data, count) ? 1 : 0;
}

int32_t VB_STDCALL serialReceive(int32_t handle, unsigned char* buffer, uint32_t* count, uint32_t timeoutMs) {
  std::shared_ptr<SerialPort> port = serialPorts().find(handle);
  if (port == nullptr) {
    *count = 0;
    return 0;
  }
  return port->receive(buffer, count, timeoutMs) ? 1 : 0;
}

const char* VB_STDCALL serialError(int32_t handle) {
  std::shared_ptr<SerialPort> port = serialPorts().find(handle);
  return port == nullptr ? "" : port->errorText();
}

int32_t VB_STDCALL serialAbort(int32_t handle) {
  std::shared_ptr<SerialPort> port = serialPorts().find(handle);
  if (port != nullptr) port->abort();
  return 1;
}

}  // namespace

const PortFunctions kSerialPortFunctions = {serialOpen,  serialClose, serialSend, serialReceive,
                                            serialError, serialAbort, nullptr,    nullptr};

}  // namespace vb::link
