// The modem dialogue (Hayes AT commands): commands, result codes, pauses,
// waits and error texts.
#pragma once

#include <cstdint>

namespace vb::dialport {

// The escape to command mode, sent without a carriage return between two
// guard times of silence.
inline constexpr unsigned char kEscapeSequence[] = {'+', '+', '+'};
inline constexpr uint32_t kEscapeGuardMs = 1500;

// Set-up commands, in this order: result codes as words, carrier-detect
// response time 1 s (S9), loss-of-carrier hang-up delay 10 s (S10).
inline constexpr const char* kSetupCommands[] = {"ATV1\r", "ATS9=10\r", "ATS10=100\r"};
inline constexpr uint32_t kSetupCommandPauseMs = 1500;

inline constexpr const char kHangUpCommand[] = "ATH\r";
inline constexpr const char kOkReply[] = "OK";
inline constexpr uint32_t kHangUpReplyWaitMs = 5000;

// The dial command is "ATD", the number and a carriage return in a buffer
// of this size, terminator included.
inline constexpr const char kDialPrefix[] = "ATD";
inline constexpr uint32_t kDialCommandBufferSize = 128;
inline constexpr uint32_t kMaxNumberLength = kDialCommandBufferSize - (sizeof kDialPrefix - 1) - 2;
inline constexpr uint32_t kDialReplyWaitMs = 60000;
inline constexpr uint32_t kDialReplyPasses = 5;
inline constexpr uint32_t kAfterConnectPauseMs = 2000;

// Result codes that fail a dial, in the order they are tested; each is also
// the error text.
inline constexpr const char* kDialFailureCodes[] = {"NO CARRIER", "ERROR", "NO DIALTONE", "BUSY"};
// Any reply containing this ends a dial successfully, whatever rate follows.
inline constexpr const char kConnectCode[] = "CONNECT";

// The modem's default line: 9600 bit/s, 8 data bits, no parity, 1 stop bit.
inline constexpr uint32_t kDefaultBaud = 9600;

inline constexpr const char kUnableToEnterCommandMode[] = "Unable to enter command mode.";
inline constexpr const char kFailedToSendHangUp[] = "Failed to send ATH command.";
inline constexpr const char kNoReplyToHangUp[] = "No reply to ATH command.";
inline constexpr const char kNoOkToHangUp[] = "No OK in reply to ATH command.";
inline constexpr const char kFailedToSendDial[] = "Failed to send ATD command";
inline constexpr const char kNoReplyToDial[] = "NO REPLY TO ATD COMMAND";
inline constexpr const char kUnreadableModemError[] = "Unreadable modem error. ";
inline constexpr const char kNumberTooLong[] = "Telephone number too long";

}  // namespace vb::dialport
