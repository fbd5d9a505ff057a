// The meter message frame: the 10-byte command header, the reply header and
// its checks, and the command table (classes, numbers, lengths, reply rooms).
// Every command step builds its message and reads its reply through here.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

inline constexpr uint8_t kMessageMarker = 0xFF;

// Message classes (byte 1 of a command).
inline constexpr uint8_t kClassMeterCommand = 2;
inline constexpr uint8_t kClassControl = 3;

// Meter commands (class 2).
inline constexpr uint16_t kCmdGetVersions = 1;
inline constexpr uint16_t kCmdSetTime = 5;
inline constexpr uint16_t kCmdUnlock = 8;
inline constexpr uint16_t kCmdLock = 9;
inline constexpr uint16_t kCmdGetDib = 11;
inline constexpr uint16_t kCmdGetHeader = 12;
inline constexpr uint16_t kCmdGetData = 13;
inline constexpr uint16_t kCmdRestartLogger = 15;
inline constexpr uint16_t kCmdRestartLoggerWithParameters = 16;

// Control commands (class 3).
inline constexpr uint16_t kCtlQueryPendingReply = 1;
inline constexpr uint16_t kCtlRequestResume = 2;
inline constexpr uint16_t kCtlCancelSession = 3;

// Command header: marker, class, command (2), dataCount (4), parameter (2).
inline constexpr uint32_t kCommandHeaderLength = 10;
// dataCount counts the bytes after itself.
inline constexpr uint32_t kDataCountBase = 8;
inline constexpr uint32_t kCommandDataOffset = 10;

// Reply header fields.
inline constexpr uint32_t kReplyCommandOffset = 2;
inline constexpr uint32_t kReplyStatusOffset = 4;
inline constexpr uint32_t kReplyStatusEnd = 6;

// Lengths sent and reply rooms of the command table.
// GetVersions sends only marker, class, command and dataCount, yet its
// dataCount counts the parameter field that is not sent.
inline constexpr uint32_t kGetVersionsSent = 8;
inline constexpr uint32_t kGetVersionsDataCount = 2;
inline constexpr uint32_t kGetVersionsReplyRoom = 334;
inline constexpr uint32_t kSetTimeSent = 14;
inline constexpr uint32_t kSetTimeReplyRoom = 20;
inline constexpr uint32_t kSetTimeNewTimeOffset = 12;
inline constexpr uint32_t kSetTimePrevTimeOffset = 16;
inline constexpr uint32_t kUnlockFixedPart = 11;  // header and the password's NUL
inline constexpr uint32_t kUnlockMaxSent = kUnlockFixedPart + VB_PASSWORD_FIELD;
inline constexpr uint32_t kStatusReplyRoom = 12;  // CancelSession, Unlock, Lock
inline constexpr uint32_t kLockSent = 10;
inline constexpr uint32_t kGetDibSent = 10;
inline constexpr uint32_t kGetDibReplyRoom = 4144;
inline constexpr uint32_t kGetHeaderSent = 12;
inline constexpr uint32_t kPairHeaderReplyRoom = 332;
inline constexpr uint32_t kTotalsHeaderReplyRoom = 572;
inline constexpr uint32_t kOtherLoggerHeaderReplyRoom = 12;
inline constexpr uint32_t kGetDataSent = 22;
inline constexpr uint32_t kGetDataSelectionOffset = 12;
inline constexpr uint32_t kGetDataFromOffset = 14;
inline constexpr uint32_t kGetDataToOffset = 18;
// GetData selections: what the command asks for (the request's specifier
// less 1000).
enum DataSelection : int16_t {
  kSelectByTime = 0,
  kSelectByRsn = 1,
  kSelectAll = 2,
  kSelectByTimeAlso = 3,
  kSelectByRsnAndReset = 4,
  kSelectReset = 5,
};
inline constexpr uint32_t kOtherLoggerDataReplyRoom = 22;
inline constexpr uint32_t kPairEntryWireSize = 4;
inline constexpr uint32_t kTotalsEntryWireSize = 40;
inline constexpr uint32_t kRestartSent = 12;
inline constexpr uint32_t kRestartWithParametersSent = 18;
inline constexpr uint32_t kRestartParameterBytes = 6;
inline constexpr uint32_t kRestartParameterOffset = 12;
inline constexpr uint32_t kRestartReplyRoom = 14;
inline constexpr uint32_t kRestartLogNoEchoOffset = 12;
inline constexpr uint32_t kCancelSessionSent = 12;
inline constexpr uint16_t kCancelSessionValue = 5;
inline constexpr uint32_t kQueryPendingSent = 10;
inline constexpr uint32_t kQueryPendingReplyRoom = 12;
inline constexpr uint32_t kRequestResumeSent = 14;
inline constexpr uint32_t kRequestResumeReplyRoom = 16;
inline constexpr uint32_t kControlReplyIdOffset = 10;
inline constexpr uint32_t kControlBufferSize = 16;

// Little-endian stores and loads.
void PutU16(uint8_t* at, uint16_t value);
void PutU32(uint8_t* at, uint32_t value);
uint16_t GetU16(const uint8_t* at);
uint32_t GetU32(const uint8_t* at);

// Writes bytes 0 to 9 of a command.
void BuildCommandHeader(uint8_t* buffer, uint8_t messageClass, uint16_t command,
                        uint32_t dataCount, uint16_t parameter);

// A reply as received: its bytes and how many of them actually came in.
// Fields are read only inside the received bytes.
struct Reply {
  const uint8_t* bytes;
  uint32_t length;

  bool Holds(uint32_t offset, uint32_t size) const {
    return offset <= length && size <= length - offset;
  }
  // The 16-bit field at offset, or false when the reply ends before it.
  bool U16At(uint32_t offset, uint16_t* value) const;
};

// The meter refused a command: status 1..25 as that result code with its
// table text; any higher status as code 2 "Unknown error code in reply: %d".
void ReportMeterStatus(ResultRecord* result, uint32_t status);

// A reply that ends before a field the step needs: code 2 with the number of
// bytes that came, so stale buffer contents are never taken for a field.
void ReportShortReply(ResultRecord* result, uint32_t received);

// Marker, command echo and status of a reply read at most up to limit.
// 1 when the reply is good; otherwise code 2 or the meter status is reported.
int ValidateReply(ResultRecord* result, const Reply& reply, uint16_t command, uint32_t limit);

// The status-only check of the short commands: 1 when the status is 0.
int CheckReplyStatus(ResultRecord* result, const Reply& reply);

}  // namespace vb::request
