// The link library's protocol constants: sizes, time-outs and the texts it
// reports. Every other file of the library takes them from here; the frame
// format's own constants (flags, control characters, frame sizes) are in
// frames/frame.h, the wake-up text in frames/wakeup.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantbrook/brisel.h"
#include "wakeup.h"

namespace vb::link {

// All ones: no link, no port, no position, a free gap entry.
inline constexpr int32_t kNoHandle = -1;
inline constexpr uint32_t kNone = 0xFFFFFFFFu;

// Buffers of a link.
inline constexpr uint32_t kReceiveCapacity = BRISEL_MAX_MESSAGE_BYTES;
inline constexpr uint8_t kReceiveFill = 0x20;
inline constexpr std::size_t kTransmitBufferSize = 4096;
inline constexpr std::size_t kPayloadBufferSize = 4096;

// The pause after the wake-up text.
inline constexpr uint32_t kWakeupPauseMs = 200;

// How often the host's progress callback is asked while a port driver sets
// up a call.
inline constexpr uint32_t kCallSetUpPollMs = 100;

// Receiver thread.
inline constexpr uint16_t kBadFrameLimit = 25;
inline constexpr uint32_t kProgressPollPauseMs = 5;
// The shortest read wait on an idle link, so that a tiny frame time-out does
// not turn the wait for the next message into a busy loop.
inline constexpr uint32_t kIdleReadWaitMs = 50;
inline constexpr uint32_t kReceiverInitialiseWaitMs = 120000;
inline constexpr uint32_t kReceiverStopWaitMs = 300000;
// First message bytes whose length field drives the progress total.
inline constexpr uint8_t kMessageMarkerPlus = 0x2B;
inline constexpr uint32_t kMessageLengthOffsetPlus = 5;
inline constexpr uint8_t kMessageMarkerFrame = 0xFF;
inline constexpr uint32_t kMessageLengthOffsetFrame = 6;

// Transmitter.
inline constexpr int kAnswerWaits = 10;
inline constexpr uint32_t kFrameAnswerWaitMs = 10;
inline constexpr int kNakLimit = 3;
inline constexpr int kResendLimit = 3;
// A requested position that no request carries.
inline constexpr uint32_t kNoRequestedPosition = 0xFFFFFEu;
// RecvData asks again for the same missing part at most this many times.
inline constexpr uint32_t kResendRequestLimit = 3;

// No control character received.
inline constexpr uint8_t kNoControl = 0xFF;

// Receiver statuses: the verdict the receiver thread posts for RecvData.
enum ReceiverStatus : uint32_t {
  RX_COMPLETE = 0,
  RX_TIMED_OUT = 1,
  RX_MISSING_BLOCKS = 2,
  RX_OVERFLOW = 3,
  RX_RESUME_FAILED = 4,
  RX_CONNECTION_FAILED = 5,
  RX_POOR_DATA = 6,
  RX_UNSUPPORTED_CONTROL = 7,
  RX_ABORTED = 8,
};

// Sources.
inline constexpr char kSourceBrisel[] = "Brisel";
inline constexpr char kSourcePortDriver[] = "Port Driver";
inline constexpr char kSourceReceive[] = "Brisel Receive";
inline constexpr char kSourceReceiver[] = "Brisel Receiver";

// Texts of the link.
inline constexpr char kTextTimeoutOnRead[] = "Timeout on Read";
inline constexpr char kTextReceiverTimedOut[] = "Receiver timed out";
inline constexpr char kTextUnableToReinitialise[] = "Unable to re-initialise receiver";
inline constexpr char kTextThreadStartFailed[] = "Failed to start receiver thread.";
inline constexpr char kTextThreadCloseFailed[] = "Failed to close receiver thread";
inline constexpr char kTextTruncated[] = "Message truncated - actual length %d";
inline constexpr char kTextMissingBlocks[] = "Missing Blocks";
inline constexpr char kTextRetriesFailed[] = "Frame retries failed";
inline constexpr char kTextOverflow[] = "Receiver buffer overflowed";
inline constexpr char kTextResumeFailed[] = "Unable to resume lost connection";
inline constexpr char kTextConnectionFailed[] = "The connection failed";
inline constexpr char kTextPoorData[] = "Bad connection poor data";
inline constexpr char kTextUnsupportedControl[] = "Received unsupported control frame request.";
inline constexpr char kTextAborted[] = "Aborted due to user request.";
inline constexpr char kTextCallSetUpAborted[] = "Call set-up aborted due to user request.";
inline constexpr char kTextUnspecified[] = "Unspecified error";
inline constexpr char kTextTooManyNaks[] = "\nReceived too many NAKs";
inline constexpr char kTextTooManyResends[] = "\nToo many re-transmissions of same frame";
inline constexpr char kTextOutsideLimits[] = "\nRequested frame is outside message limits";
inline constexpr char kTextNothingToSend[] = "No message data to send";
inline constexpr char kTextMessageTooLong[] = "Message too long for the frame position field";
inline constexpr char kTextUnopenPort[] = "Attempt made to close an unopen port";
inline constexpr char kTextErrorClosingPort[] = "Error closing port";
inline constexpr char kTextOutOfMemory[] = "Not enough memory to open the link";

// Port driver binding.
inline constexpr char kDriverNameSuffix[] = "port";
inline constexpr char kTextProtocolNotSupported[] = "Protocol not supported";
inline constexpr char kTextErrorInDriver[] = "Error in Protocol DLL ";

}  // namespace vb::link
