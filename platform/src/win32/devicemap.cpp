// COM1..COM8 by their Windows device names. Windows keeps its own map of
// port numbers to devices, so there is nothing to remap here.
#include "platform/devicemap.h"

#include <windows.h>

#include "platform/error.h"

namespace vb::platform {

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 8;

}  // namespace

std::string comDevicePath(int portNumber) {
  if (portNumber < kFirstPort || portNumber > kLastPort) return std::string();
  return "\\\\.\\COM" + std::to_string(portNumber);
}

ComPathOrigin comDevicePathOrigin(int) { return ComPathOrigin::SystemPort; }

bool setComDevicePath(int, const std::string&) {
  setLastErrorCode(ERROR_NOT_SUPPORTED);
  return false;
}

}  // namespace vb::platform
