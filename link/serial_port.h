// The built-in serial port: drives COM1..COM8 through the platform's device
// map, or a line somebody else opened and hands over as an OS handle. Its
// operations fill kSerialPortFunctions (port_functions.h); each port is
// referred to by a handle that this file issues.
#pragma once

#include <cstdint>

namespace vb::link {

// Line settings of a port opened by name.
inline constexpr uint32_t kSerialBaud = 4800;
inline constexpr uint32_t kSerialQueueBytes = 4096;
inline constexpr uint32_t kSerialReadIntervalMs = 100;
inline constexpr uint32_t kSerialReadPerByteMs = 100;
inline constexpr uint32_t kSerialWritePerByteMs = 128;
inline constexpr uint32_t kSerialWriteConstantMs = 1000;
// Constant time-out of the follow-up read that collects the rest of a burst.
inline constexpr uint32_t kSerialFollowUpReadMs = 10;
inline constexpr uint32_t kSerialErrorTextSize = 128;
// How often an abort cancels reads again until none holds the line.
inline constexpr uint32_t kSerialAbortRepeatMs = 1;

}  // namespace vb::link
