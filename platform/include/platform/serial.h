// A serial device with the time-out semantics of a Windows communications
// port, which the link's serial port and the port drivers rely on: on Windows
// the port itself, on POSIX a termios device that behaves the same.
//
// Read time-outs (all in milliseconds, 0 = not used):
//   - interval: once a byte has come, the read ends when the line is quiet
//     for longer than this between two bytes;
//   - total = perByte * bytes requested + constant: the read ends when this
//     much time has passed since it started. perByte 0 and constant 0 means
//     no total limit.
// A read returns success with the bytes that came (possibly fewer than
// requested, possibly none) when a time-out ends it; it fails only on an OS
// error or when purge() cancels it.
//
// Write time-out: perByte * bytes + constant (0 and 0: no limit). A write
// that cannot finish in time fails (FailureKind::TimedOut).
//
// purge() discards both directions and makes a read or write that another
// thread is blocked in return failure at once (FailureKind::Cancelled). Reads and writes started after the purge are unaffected.
//
// Thread safety: one reader and one writer may use a device at once, and
// purge()/bytesQueued() may be called from any thread meanwhile. open(),
// adopt() and close() must not race with other calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/line_handle.h"

namespace vb::platform {

enum class Parity { None, Odd, Even };

struct SerialSettings {
  uint32_t baud = 9600;  // bits per second, any standard rate
  uint8_t dataBits = 8;  // 7 or 8
  Parity parity = Parity::None;
  uint8_t stopBits = 1;  // 1 or 2
  bool dtr = true;       // hold DTR on (no-op on a device without modem lines)
  bool rts = true;       // hold RTS on (no-op on a device without modem lines)
};

struct SerialTimeouts {
  uint32_t readIntervalMs = 0;
  uint32_t readTotalPerByteMs = 0;
  uint32_t readTotalConstantMs = 0;
  uint32_t writeTotalPerByteMs = 0;
  uint32_t writeTotalConstantMs = 0;
};

// True for the line speeds a serial device can be set to.
bool isSupportedBaud(uint32_t bitsPerSecond);

class SerialDevice {
 public:
  SerialDevice();
  // Closes the line when this object opened it; an adopted one is left open.
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens a device by name (see devicemap.h) for reading and writing,
  // exclusive, existing device only. False with the OS error recorded.
  bool open(const std::string& path);
  // Uses a line somebody else opened; its settings are not changed and
  // close() leaves it open. On POSIX it is made non-blocking while in use
  // here and gets its file status flags back when let go; on Windows it must
  // have been opened for overlapped input and output, as open() does.
  bool adopt(LineHandle line);
  bool isOpen() const;
  bool ownsLine() const;
  LineHandle handle() const;
  // Closes (or, when adopted, lets go of) the line.
  void close();
  // Lets go of the line without closing it and returns it.
  LineHandle release();

  // The settings in force. A pseudo-terminal always reports 8 data bits and
  // no parity, whatever was set.
  bool getSettings(SerialSettings* out);
  // Applies the settings and raw binary mode (no flow control, no echo, no
  // parity checking on input, no character translation).
  bool setSettings(const SerialSettings& settings);
  bool getTimeouts(SerialTimeouts* out) const;
  bool setTimeouts(const SerialTimeouts& timeouts);
  // Driver queue sizes (POSIX: accepted and ignored, the kernel sizes its
  // queues).
  bool setQueueSizes(uint32_t inBytes, uint32_t outBytes);

  // Reads up to count bytes with the current time-outs; *got is the number
  // read. False on an OS error or a purge (then *got holds what had come).
  bool read(void* buffer, size_t count, size_t* got);
  // Writes all bytes within the write time-out; *written is the number
  // written. False on an OS error, a time-out or a purge.
  bool write(const void* data, size_t count, size_t* written);
  // Bytes waiting in the input queue; also clears the device's error state.
  bool bytesQueued(uint32_t* count);
  // Discards both directions and cancels blocked reads and writes.
  bool purge();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vb::platform
