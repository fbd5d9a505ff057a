// The PAD dialogue: commands, service signals, waits and error texts.
#pragma once

#include <cstdint>

namespace vb::pnetport {

// The recall character DLE brings the PAD back to command state; "CLR"
// then clears any call it holds.
inline constexpr unsigned char kClearCommand[] = {0x10, 'C', 'L', 'R', '\r'};
inline constexpr const char kPrompt[] = "*";
inline constexpr const char kErrorSignal[] = "ERR";
inline constexpr const char kConnectedSignal[] = "COM";

// The call command is the address and a carriage return in a buffer of
// this size, terminator included.
inline constexpr uint32_t kCallCommandBufferSize = 128;
inline constexpr uint32_t kMaxAddressLength = kCallCommandBufferSize - 2;
// A second call reply shorter than this is not a connection.
inline constexpr uint32_t kMinConnectedReplyBytes = 8;

inline constexpr uint32_t kClearReplyWaitMs = 5000;
inline constexpr uint32_t kCallReplyWaitMs = 30000;
inline constexpr uint32_t kClearToCallPauseMs = 2000;

// The PAD's default line: 4800 bit/s, 8 data bits, no parity, 1 stop bit.
inline constexpr uint32_t kDefaultBaud = 4800;

inline constexpr const char kFailedToSendClear[] = "Failed to send CLR command.";
inline constexpr const char kNoReplyToClear[] = "No reply to CLR command.";
inline constexpr const char kFailedToSendCall[] = "Failed to send connect command.";
inline constexpr const char kNoReplyToCall[] = "No reply to connect command.";
inline constexpr const char kCallFailedFormat[] = "Call failed to address %s: len= %d: ";
inline constexpr const char kAddressTooLong[] = "Address too long";

}  // namespace vb::pnetport
