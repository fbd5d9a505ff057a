// The nine exports of a port driver, implemented once for both drivers and
// parameterised by the driver's definition: its line traits, default baud
// rate, connect sequence and call clearing. A module publishes them with
// VB_DEFINE_DRIVER_EXPORTS(definition).
#pragma once

#include <cstdint>
#include <type_traits>

#include "driver_port.h"
#include "vantbrook/portdriver.h"

namespace vb::driver {

struct DriverDefinition {
  LineTraits line;
  // Line speed of OpenPort (8 data bits, no parity, 1 stop bit).
  uint32_t defaultBaud;
  // Sets up the call once the line is open or attached; 1 when connected.
  // It pauses and waits for replies only through Pause and WaitForInput,
  // so an Abort from another thread ends it promptly (the open then fails).
  int (*connect)(DriverPort& port, const char* address);
  // Clears the call before the line is closed or handed back; the outcome
  // only reaches the error text.
  void (*clearCall)(DriverPort& port);
};

namespace exports {

int32_t OpenPort(const DriverDefinition& driver, int32_t* portSlot, int32_t portNumber,
                 const char* address);
int32_t OpenPortWithSettings(const DriverDefinition& driver, int32_t* portSlot,
                             int32_t portNumber, const char* address, uint32_t baud,
                             int32_t frameFormat);
int32_t SendData(int32_t port, const unsigned char* data, uint32_t length);
int32_t ReceiveData(int32_t port, unsigned char* buffer, uint32_t* count, uint32_t timeoutMs);
const char* GetPortError(int32_t port);
int32_t GetPortHandle(int32_t port);
int32_t Abort(int32_t port);
int32_t ClosePort(const DriverDefinition& driver, int32_t port);
int32_t ReleaseConnection(const DriverDefinition& driver, int32_t port);

}  // namespace exports
}  // namespace vb::driver

#define VB_DRIVER_API extern "C" VB_EXPORT

// Defines the nine exports of a driver module with C linkage, each of the
// function type that the link library binds it to.
#define VB_DEFINE_DRIVER_EXPORTS(definition)                                                      \
  VB_DRIVER_API int32_t VB_STDCALL OpenPort(int32_t* portSlot, int32_t portNumber, const char*,          \
                                 const char* address) {                                      \
    return vb::driver::exports::OpenPort(definition, portSlot, portNumber, address);              \
  }                                                                                           \
  VB_DRIVER_API int32_t VB_STDCALL OpenPortWithSettings(int32_t* portSlot, int32_t portNumber,           \
                                             const char*, const char* address, uint32_t baud, \
                                             int32_t frameFormat) {                           \
    return vb::driver::exports::OpenPortWithSettings(definition, portSlot, portNumber, address,   \
                                                     baud, frameFormat);                      \
  }                                                                                           \
  VB_DRIVER_API int32_t VB_STDCALL SendData(int32_t port, const unsigned char* data, uint32_t length) {  \
    return vb::driver::exports::SendData(port, data, length);                                 \
  }                                                                                           \
  VB_DRIVER_API int32_t VB_STDCALL ReceiveData(int32_t port, unsigned char* buffer, uint32_t* count,     \
                                    uint32_t timeoutMs) {                                     \
    return vb::driver::exports::ReceiveData(port, buffer, count, timeoutMs);                  \
  }                                                                                           \
  VB_DRIVER_API const char* VB_STDCALL GetPortError(int32_t port) {                                      \
    return vb::driver::exports::GetPortError(port);                                           \
  }                                                                                           \
  VB_DRIVER_API int32_t VB_STDCALL GetPortHandle(int32_t port) {                                         \
    return vb::driver::exports::GetPortHandle(port);                                          \
  }                                                                                           \
  VB_DRIVER_API int32_t VB_STDCALL Abort(int32_t port) { return vb::driver::exports::Abort(port); }     \
  VB_DRIVER_API int32_t VB_STDCALL ClosePort(int32_t port) {                                             \
    return vb::driver::exports::ClosePort(definition, port);                                      \
  }                                                                                           \
  VB_DRIVER_API int32_t VB_STDCALL ReleaseConnection(int32_t port) {                                     \
    return vb::driver::exports::ReleaseConnection(definition, port);                              \
  }                                                                                           \
  static_assert(std::is_same_v<decltype(&OpenPort), PortOpenFn>);                             \
  static_assert(std::is_same_v<decltype(&OpenPortWithSettings), PortOpenWithSettingsFn>);     \
  static_assert(std::is_same_v<decltype(&SendData), PortSendFn>);                             \
  static_assert(std::is_same_v<decltype(&ReceiveData), PortReceiveFn>);                       \
  static_assert(std::is_same_v<decltype(&GetPortError), PortErrorFn>);                        \
  static_assert(std::is_same_v<decltype(&GetPortHandle), PortHandleFn>);                      \
  static_assert(std::is_same_v<decltype(&Abort), PortAbortFn>);                               \
  static_assert(std::is_same_v<decltype(&ClosePort), PortCloseFn>);                           \
  static_assert(std::is_same_v<decltype(&ReleaseConnection), PortReleaseFn>)
