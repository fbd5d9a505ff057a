#include "serial_line.h"

#include "platform/clock.h"
#include "platform/devicemap.h"
#include "platform/error.h"

namespace vb::driver {
namespace {

// A failed purge while opening or attaching: recorded, and fatal only for a
// driver that says so.
int purgeOnOpen(DriverPort& port, const char* failureText) {
  if (port.line().purge()) return 1;
  SetSystemErrorText(port, failureText);
  return port.traits().purgeFailureEndsOpen ? 0 : 1;
}

// A write that had started and then was cancelled or ran out of time, as
// opposed to one the device refused outright.
bool writeWasPending(platform::FailureKind failure, size_t written) {
  return written > 0 || failure == platform::FailureKind::Cancelled ||
         failure == platform::FailureKind::TimedOut;
}

}  // namespace

LineFormat LineFormatFor(uint32_t baud, int32_t frameFormatCode) {
  switch (static_cast<uint32_t>(frameFormatCode) & kFrameFormatMask) {
    case kFrameFormat7O1:
      return {baud, 7, platform::Parity::Odd};
    case kFrameFormat7E1:
      return {baud, 7, platform::Parity::Even};
    default:
      return {baud, 8, platform::Parity::None};
  }
}

int OpenLine(DriverPort& port, int32_t portNumber, const LineFormat& format, OpenCaller caller) {
  const int comNumber = static_cast<int>(static_cast<uint32_t>(portNumber) & kPortNumberMask);
  if (comNumber < kFirstPortNumber || comNumber > kLastPortNumber) {
    SetErrorText(port, kPortNumberNotRecognised);
    return 0;
  }
  platform::SerialDevice& line = port.line();
  if (!line.open(platform::comDevicePath(comNumber))) {
    SetSystemErrorText(port, kFailedToOpenPort);
    return 0;
  }
  if (!line.setQueueSizes(kDeviceQueueBytes, kDeviceQueueBytes)) {
    SetSystemErrorText(port, kCouldNotSetBufferSize);
    return 0;
  }
  const char* purgeText =
      caller == OpenCaller::OpenPort ? port.traits().purgeFailedTextForOpenPort : kPurgeFailed;
  if (purgeOnOpen(port, purgeText) == 0) return 0;

  platform::SerialSettings settings;
  if (!line.getSettings(&settings)) {
    SetSystemErrorText(port, kUnableToGetPortParameters);
    return 0;
  }
  settings.baud = format.baud;
  settings.dataBits = format.dataBits;
  settings.parity = format.parity;
  settings.stopBits = 1;
  settings.dtr = true;
  settings.rts = true;
  if (!line.setSettings(settings)) {
    SetSystemErrorText(port, kUnableToSetPortParameters);
    return 0;
  }
  return SetLineTimeouts(port);
}

int AttachLine(DriverPort& port, int32_t lineHandle) {
  if (!port.line().adopt(platform::lineFromField(lineHandle))) {
    SetSystemErrorText(port, kFailedToOpenPort);
    return 0;
  }
  if (purgeOnOpen(port, kPurgeFailed) == 0) return 0;
  // A line taken over may have no write time-outs (on POSIX they belong to
  // the open device object, not to the device): without the driver's a
  // write on a stalled line would never end.
  return SetLineTimeouts(port);
}

int SetLineTimeouts(DriverPort& port) {
  platform::SerialTimeouts timeouts;
  if (!port.line().getTimeouts(&timeouts)) {
    SetSystemErrorText(port, kUnableToGetPortTimeouts);
    return 0;
  }
  timeouts.readIntervalMs = 0;
  timeouts.readTotalPerByteMs = 0;
  timeouts.readTotalConstantMs = 0;
  timeouts.writeTotalPerByteMs = kWriteTimeoutPerByteMs;
  timeouts.writeTotalConstantMs = kWriteTimeoutConstantMs;
  if (!port.line().setTimeouts(timeouts)) {
    SetSystemErrorText(port, kUnableToSetPortTimeouts);
    return 0;
  }
  return 1;
}

int WriteLine(DriverPort& port, const unsigned char* data, uint32_t length) {
  platform::LockGuard guard(port.writeLock());
  size_t written = 0;
  if (port.line().write(data, length, &written)) return 1;
  SetSystemErrorText(port, writeWasPending(platform::lastFailure(), written)
                               ? kPendingWriteFailed
                               : kWriteFailed);
  return 0;
}

int ReadLine(DriverPort& port, unsigned char* buffer, uint32_t* count, uint32_t timeoutMs) {
  const uint32_t wanted = *count;
  if (wanted == 0) return 1;
  platform::LockGuard guard(port.readLock());
  platform::SerialDevice& line = port.line();

  platform::SerialTimeouts timeouts;
  if (!line.getTimeouts(&timeouts)) {
    SetSystemErrorText(port, kUnableToGetPortTimeoutsOnRead);
    return 0;
  }
  timeouts.readTotalConstantMs = timeoutMs;
  if (!line.setTimeouts(timeouts)) {
    SetSystemErrorText(port, kUnableToSetPortTimeouts);
    return 0;
  }

  uint32_t total = 0;
  while (total < wanted) {
    size_t got = 0;
    if (!line.read(buffer + total, wanted - total, &got)) {
      SetSystemErrorText(port, kReadError);
      return 0;
    }
    if (got == 0) break;
    total += static_cast<uint32_t>(got);
  }
  *count = total;
  return 1;
}

int PurgeLine(DriverPort& port) {
  if (port.line().isOpen()) port.line().purge();
  return 1;
}

uint32_t WaitForInput(DriverPort& port, uint32_t totalMs, uint32_t intervalMs) {
  const uint32_t polls = (intervalMs != 0 && totalMs > intervalMs) ? totalMs / intervalMs : 1;
  uint32_t previous = 0;
  uint32_t queued = 0;
  for (uint32_t poll = 1; poll <= polls; ++poll) {
    if (Pause(port, intervalMs) == 0) return 0;
    if (!port.line().bytesQueued(&queued)) queued = 0;
    if (queued != 0 && queued == previous) return queued;
    previous = queued;
  }
  return queued;
}

int Pause(DriverPort& port, uint32_t ms) {
  return platform::sleepUnlessSetMs(ms, port.callSetUpAborted()) ? 1 : 0;
}

}  // namespace vb::driver
