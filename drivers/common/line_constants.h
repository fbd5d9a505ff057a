// Sizes, settings and texts of the driver serial line layer, in one place.
#pragma once

#include <cstdint>

namespace vb::driver {

// Error text field of a connection, terminator included.
inline constexpr uint32_t kErrorTextSize = 128;
// A device reply is read into a buffer of this size and is at most one byte
// shorter, so that it always stays a terminated text.
inline constexpr uint32_t kReplyBufferSize = 128;
inline constexpr uint32_t kReplyMaxBytes = kReplyBufferSize - 1;
// Read time-out for a reply that is already queued.
inline constexpr uint32_t kReplyReadTimeoutMs = 100;
// Poll interval while waiting for a device reply.
inline constexpr uint32_t kReplyPollIntervalMs = 100;

// Line settings written when a driver opens a device.
inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 8;
inline constexpr uint32_t kPortNumberMask = 0xFFFF;
inline constexpr uint32_t kDeviceQueueBytes = 4096;
inline constexpr uint32_t kWriteTimeoutPerByteMs = 128;
inline constexpr uint32_t kWriteTimeoutConstantMs = 1000;

// Frame format codes (low byte of the argument).
inline constexpr uint32_t kFrameFormatMask = 0xFF;
inline constexpr uint32_t kFrameFormat7O1 = 1;
inline constexpr uint32_t kFrameFormat7E1 = 2;

// Error texts of the line layer. A text ending in a space or colon is a
// prefix that the operating system's text for the error follows.
inline constexpr const char kPortNumberNotRecognised[] = "Port number not recognised";
inline constexpr const char kFailedToOpenPort[] = "Failed to open port: ";
inline constexpr const char kCouldNotSetBufferSize[] = "Could not set buffer size: ";
inline constexpr const char kPurgeFailed[] = "Purgecom failed. ";
inline constexpr const char kPurgeFailedBare[] = "Purgecom failed";
inline constexpr const char kUnableToGetPortParameters[] = "Unable to get port parameters. ";
inline constexpr const char kUnableToSetPortParameters[] = "Unable to set port parameters. ";
inline constexpr const char kUnableToGetPortTimeouts[] = "Unable to get port timeouts. ";
inline constexpr const char kUnableToGetPortTimeoutsOnRead[] = "Unable to get Port Timeouts. ";
inline constexpr const char kUnableToSetPortTimeouts[] = "Unable to set port timeouts. ";
inline constexpr const char kPendingWriteFailed[] = "Pending Write Failed: ";
inline constexpr const char kWriteFailed[] = "Write Failed: ";
inline constexpr const char kReadError[] = "Read error: ";
// An open whose call set-up was aborted from another thread.
inline constexpr const char kCallSetUpAborted[] = "Call set-up aborted.";
// Refusals of caller mistakes that the line layer and the exports check.
inline constexpr const char kNoDataBuffer[] = "No data buffer given";
inline constexpr const char kUnknownPortHandle[] = "Port handle not recognised";

}  // namespace vb::driver
