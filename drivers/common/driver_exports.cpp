#include "driver_exports.h"

#include <memory>

#include "handle_table.h"
#include "platform/pty.h"
#include "platform/shared_slot.h"
#include "serial_line.h"

namespace vb::driver::exports {
namespace {

constexpr int32_t kNoHandle = -1;

// The connections of this driver module.
HandleTable<DriverPort>& ports() {
  static HandleTable<DriverPort> table;
  return table;
}

// Runs an export's body; nothing thrown inside (out of memory, say) may
// cross the C boundary, so it becomes the export's failure value.
template <typename Result, typename Body>
Result guarded(Result onFailure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return onFailure;
  }
}

// Clears the call before the line is closed or handed back. Its outcome
// only reaches the error text of a connection that is about to go.
void clearCallQuietly(const DriverDefinition& driver, DriverPort& port) noexcept {
  try {
    driver.clearCall(port);
  } catch (...) {
    return;
  }
}

const char* textOrEmpty(const char* text) { return text != nullptr ? text : ""; }

// Opens or attaches the line and sets up the call.
int32_t setUpCall(const DriverDefinition& driver, DriverPort& port, int32_t lineHandle,
                  int32_t portNumber, const char* address, const LineFormat& format,
                  OpenCaller caller) {
  const int opened = lineHandle == kNoHandle ? OpenLine(port, portNumber, format, caller)
                                             : AttachLine(port, lineHandle);
  if (opened == 0) return 0;
  return driver.connect(port, textOrEmpty(address)) != 0 ? 1 : 0;
}

// Creates a connection and puts its handle in the slot before anything else,
// so that another thread can Abort the call set-up; then sets up the call.
// An aborted set-up fails the open, whatever the dialogue got to.
int32_t openConnection(const DriverDefinition& driver, int32_t* portSlot, int32_t portNumber,
                       const char* address, const LineFormat& format, OpenCaller caller) {
  const int32_t lineHandle = *portSlot;
  auto port = std::make_shared<DriverPort>(driver.line);
  port->beginCallSetUp();
  const int32_t handle = ports().issue(port);
  if (handle == kNoHandle) return 0;
  platform::storeSharedSlot(portSlot, handle);
  const int32_t opened = setUpCall(driver, *port, lineHandle, portNumber, address, format, caller);
  if (port->endCallSetUp()) {
    SetErrorText(*port, kCallSetUpAborted);
    return 0;
  }
  return opened;
}

}  // namespace

int32_t OpenPort(const DriverDefinition& driver, int32_t* portSlot, int32_t portNumber,
                 const char* address) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    if (portSlot == nullptr) return 0;
    return openConnection(driver, portSlot, portNumber, address,
                          LineFormatFor(driver.defaultBaud, 0), OpenCaller::OpenPort);
  });
}

int32_t OpenPortWithSettings(const DriverDefinition& driver, int32_t* portSlot,
                             int32_t portNumber, const char* address, uint32_t baud,
                             int32_t frameFormat) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    if (portSlot == nullptr || *portSlot != kNoHandle) return 0;
    return openConnection(driver, portSlot, portNumber, address,
                          LineFormatFor(baud, frameFormat), OpenCaller::OpenPortWithSettings);
  });
}

int32_t SendData(int32_t port, const unsigned char* data, uint32_t length) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    std::shared_ptr<DriverPort> connection = ports().find(port);
    if (!connection) return 0;
    if (data == nullptr && length != 0) {
      SetErrorText(*connection, kNoDataBuffer);
      return 0;
    }
    return WriteLine(*connection, data, length);
  });
}

int32_t ReceiveData(int32_t port, unsigned char* buffer, uint32_t* count, uint32_t timeoutMs) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    std::shared_ptr<DriverPort> connection = ports().find(port);
    if (!connection) return 0;
    if (count == nullptr || (buffer == nullptr && *count != 0)) {
      SetErrorText(*connection, kNoDataBuffer);
      return 0;
    }
    return ReadLine(*connection, buffer, count, timeoutMs);
  });
}

const char* GetPortError(int32_t port) {
  return guarded<const char*>(kUnknownPortHandle, [&]() -> const char* {
    std::shared_ptr<DriverPort> connection = ports().find(port);
    return connection ? connection->publishErrorText() : kUnknownPortHandle;
  });
}

int32_t GetPortHandle(int32_t port) {
  return guarded<int32_t>(kNoHandle, [&]() -> int32_t {
    std::shared_ptr<DriverPort> connection = ports().find(port);
    return connection ? connection->lineHandle() : kNoHandle;
  });
}

// During the call set-up the line is left alone (the open may be opening
// or configuring it); the set-up's waits end instead.
int32_t Abort(int32_t port) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    std::shared_ptr<DriverPort> connection = ports().find(port);
    if (!connection) return 0;
    if (connection->abortCallSetUp()) return 1;
    return PurgeLine(*connection);
  });
}

int32_t ClosePort(const DriverDefinition& driver, int32_t port) {
  return guarded<int32_t>(0, [&]() -> int32_t {
    std::shared_ptr<DriverPort> connection = ports().remove(port);
    if (!connection) return 0;
    if (connection->lineHandle() != kNoHandle) {
      clearCallQuietly(driver, *connection);
      // The line is closed whether this driver opened it or took it over.
      platform::SerialDevice& line = connection->line();
      if (line.ownsLine()) {
        line.close();
      } else {
        platform::closeLine(line.release());
      }
    }
    return 1;
  });
}

int32_t ReleaseConnection(const DriverDefinition& driver, int32_t port) {
  return guarded<int32_t>(kNoHandle, [&]() -> int32_t {
    std::shared_ptr<DriverPort> connection = ports().remove(port);
    if (!connection) return kNoHandle;
    if (connection->lineHandle() == kNoHandle) return kNoHandle;
    clearCallQuietly(driver, *connection);
    return platform::fieldFromLine(connection->line().release());
  });
}

}  // namespace vb::driver::exports
