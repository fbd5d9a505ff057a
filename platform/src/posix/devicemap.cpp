// COM1..COM8 to device paths through VANTBROOK_COMn, read afresh each time.
#include "platform/devicemap.h"

#include "platform/error.h"

#include <errno.h>
#include <stdlib.h>

#include <mutex>

namespace vb::platform {

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 8;
constexpr const char* kVariablePrefix = "VANTBROOK_COM";
constexpr const char* kDefaultDevicePrefix = "/dev/ttyS";

// getenv and setenv must not run at the same time.
std::mutex environmentMutex;

bool isPortNumber(int portNumber) { return portNumber >= kFirstPort && portNumber <= kLastPort; }

std::string variableName(int portNumber) { return kVariablePrefix + std::to_string(portNumber); }

}  // namespace

std::string comDevicePath(int portNumber) {
  if (!isPortNumber(portNumber)) return std::string();
  {
    std::lock_guard<std::mutex> lock(environmentMutex);
    const char* mapped = getenv(variableName(portNumber).c_str());
    if (mapped != nullptr && mapped[0] != '\0') return mapped;
  }
  return kDefaultDevicePrefix + std::to_string(portNumber - 1);
}

ComPathOrigin comDevicePathOrigin(int portNumber) {
  if (!isPortNumber(portNumber)) return ComPathOrigin::Default;
  std::lock_guard<std::mutex> lock(environmentMutex);
  const char* mapped = getenv(variableName(portNumber).c_str());
  if (mapped == nullptr) return ComPathOrigin::Default;
  return mapped[0] != '\0' ? ComPathOrigin::Variable : ComPathOrigin::EmptyVariable;
}

bool setComDevicePath(int portNumber, const std::string& path) {
  if (!isPortNumber(portNumber)) {
    setLastErrorCode(EINVAL);
    return false;
  }
  std::lock_guard<std::mutex> lock(environmentMutex);
  if (setenv(variableName(portNumber).c_str(), path.c_str(), 1) != 0) {
    setLastErrorCode(errno);
    return false;
  }
  return true;
}

}  // namespace vb::platform
