// The device map: COM1..COM8 name serial devices. VANTBROOK_COMn, when set,
// gives the path (an empty value counts as unset); otherwise /dev/ttyS(n-1).
// Looked up afresh every time, so a host may remap a port between requests.
// The only thing the system reads from its environment. On Windows COMn is
// the system's own port \\.\COMn and there is nothing to remap.
#pragma once

#include <string>

namespace vb::platform {

// Path of COMn for n in 1..8; empty for any other n.
std::string comDevicePath(int portNumber);

// Where comDevicePath takes the path of COMn from: the environment's
// VANTBROOK_COMn (set, or set but empty), the default /dev/ttyS(n-1), or,
// on Windows, the system's own port of that name.
enum class ComPathOrigin { Variable, EmptyVariable, Default, SystemPort };
ComPathOrigin comDevicePathOrigin(int portNumber);

// Which device COMn stands for, and why, in the words every report uses:
// "COM7 is /dev/ttyS6: VANTBROOK_COM7 is not set".
inline std::string describeComPort(int portNumber) {
  const std::string name = "COM" + std::to_string(portNumber);
  const std::string variable = "VANTBROOK_COM" + std::to_string(portNumber);
  const std::string device = comDevicePath(portNumber);
  switch (comDevicePathOrigin(portNumber)) {
    case ComPathOrigin::Variable:
      return name + " is " + device + ", from " + variable;
    case ComPathOrigin::EmptyVariable:
      return name + " is " + device + ": " + variable + " is set but empty";
    case ComPathOrigin::SystemPort:
      return name + " is the system's port " + device;
    case ComPathOrigin::Default:
      break;
  }
  return name + " is " + device + ": " + variable + " is not set";
}

}  // namespace vb::platform

namespace vb::platform {

// Points COMn at a device path for this process (sets VANTBROOK_COMn), as the
// demo and tests do. False for n outside 1..8.
bool setComDevicePath(int portNumber, const std::string& path);

}  // namespace vb::platform
