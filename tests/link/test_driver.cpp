// A port driver for the binding tests: it serves COMn through the device map
// like a real driver, without any call set-up, and counts what the link
// library calls. Built three times: complete, without the optional entries,
// and without GetPortError. The address "refuse" makes its OpenPort fail.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "handle_table.h"
#include "platform/devicemap.h"
#include "platform/serial.h"
#include "platform/shared_slot.h"

#define TEST_DRIVER_API extern "C" __attribute__((visibility("default")))

namespace {

struct TestPort {
  vb::platform::SerialDevice line;
  std::string error;
};

// Destroyed when the module is unloaded.
vb::link::HandleTable<TestPort>& ports() {
  static vb::link::HandleTable<TestPort> table;
  return table;
}

std::atomic<int32_t> gOpens{0};
std::atomic<int32_t> gCloses{0};
std::atomic<int32_t> gAborts{0};
std::atomic<int32_t> gThreadStarts{0};
std::atomic<int32_t> gThreadEnds{0};

}  // namespace

TEST_DRIVER_API int32_t OpenPort(int32_t* portSlot, int32_t portNumber, const char*,
                                 const char* address) {
  auto port = std::make_shared<TestPort>();
  vb::platform::storeSharedSlot(portSlot, ports().insert(port));
  ++gOpens;
  if (std::strcmp(address, "refuse") == 0) {
    port->error = "Test driver refused the call";
    return 0;
  }
  if (!port->line.open(vb::platform::comDevicePath(portNumber & 0xFFFF))) {
    port->error = "Test driver could not open the line";
    return 0;
  }
  vb::platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = 20;
  port->line.setTimeouts(timeouts);
  return 1;
}

TEST_DRIVER_API int32_t ClosePort(int32_t handle) {
  std::shared_ptr<TestPort> port = ports().remove(handle);
  if (port == nullptr) return 0;
  port->line.close();
  ++gCloses;
  return 1;
}

TEST_DRIVER_API int32_t SendData(int32_t handle, const unsigned char* data, uint32_t length) {
  std::shared_ptr<TestPort> port = ports().find(handle);
  size_t written = 0;
  return port != nullptr && port->line.write(data, length, &written) ? 1 : 0;
}

TEST_DRIVER_API int32_t ReceiveData(int32_t handle, unsigned char* buffer, uint32_t* count,
                                    uint32_t timeoutMs) {
  std::shared_ptr<TestPort> port = ports().find(handle);
  if (port == nullptr) return 0;
  vb::platform::SerialTimeouts timeouts;
  port->line.getTimeouts(&timeouts);
  timeouts.readTotalConstantMs = timeoutMs;
  port->line.setTimeouts(timeouts);
  size_t got = 0;
  if (!port->line.read(buffer, *count, &got)) return 0;
  *count = static_cast<uint32_t>(got);
  return 1;
}

#ifndef TEST_DRIVER_WITHOUT_PORT_ERROR
TEST_DRIVER_API const char* GetPortError(int32_t handle) {
  std::shared_ptr<TestPort> port = ports().find(handle);
  return port == nullptr ? "" : port->error.c_str();
}
#endif

#ifndef TEST_DRIVER_WITHOUT_OPTIONAL
TEST_DRIVER_API int32_t Abort(int32_t handle) {
  std::shared_ptr<TestPort> port = ports().find(handle);
  if (port != nullptr) port->line.purge();
  ++gAborts;
  return 1;
}

TEST_DRIVER_API int32_t StartReadThread(int32_t) {
  ++gThreadStarts;
  return 1;
}

TEST_DRIVER_API int32_t CloseReadThread(int32_t) {
  ++gThreadEnds;
  return 1;
}
#endif

// What the link library has called so far: opens, closes, aborts, receiver
// thread starts and ends.
TEST_DRIVER_API void TestDriverCounters(int32_t* counters) {
  counters[0] = gOpens;
  counters[1] = gCloses;
  counters[2] = gAborts;
  counters[3] = gThreadStarts;
  counters[4] = gThreadEnds;
}
