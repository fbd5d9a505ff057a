// The simulator's end of the serial line: the master side of a
// pseudo-terminal it creates, or a device it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/pty.h"
#include "platform/serial.h"

namespace vb::metersim {

class Line {
 public:
  // Creates a pseudo-terminal; devicePath() is then its slave side, which
  // stays closed until a host opens it.
  bool openPseudoTerminal(std::string* error);
  // Opens a serial device at the given rate (8 data bits, no parity, 1 stop).
  bool openDevice(const std::string& path, uint32_t baud, std::string* error);
  const std::string& devicePath() const { return devicePath_; }

  // Reads what arrives within waitMs (0: only what is already there).
  // *down is set when nobody holds the far side open (a host has closed
  // the pseudo-terminal); nothing can be read then.
  size_t read(uint8_t* buffer, size_t capacity, uint32_t waitMs, bool* down);
  // Writes within the write time-out; returns the bytes written. *down is
  // set when the far side is gone.
  size_t write(const uint8_t* bytes, size_t count, bool* down);
  // Ends a read or write blocked in another thread.
  void interrupt();
  void close();

 private:
  bool setReadWait(uint32_t waitMs);

  platform::PseudoTerminal pty_;
  platform::SerialDevice device_;
  std::string devicePath_;
  uint32_t readWaitMs_ = UINT32_MAX;
};

}  // namespace vb::metersim
