// The driver serial line: opening or taking over a device, writing, reading
// with time-outs, purging and waiting for a reply. Each step returns 1 for
// success and 0 for failure with the reason in the connection's error text.
//
// Locking: ReadLine holds the read lock and WriteLine the write lock for the
// whole operation, so one thread may read while another writes. PurgeLine
// and WaitForInput take no lock, so PurgeLine can end a read or write that
// another thread is blocked in.
#pragma once

#include <cstdint>

#include "driver_port.h"
#include "platform/serial.h"

namespace vb::driver {

// Which export opens the line; the drivers word a purge failure differently.
enum class OpenCaller { OpenPort, OpenPortWithSettings };

struct LineFormat {
  uint32_t baud;
  uint8_t dataBits;
  platform::Parity parity;
};

// The line format for a baud rate and a frame format code, of which only
// the low byte counts: 1 is 7 data bits with odd parity, 2 is 7 data bits
// with even parity, anything else 8 data bits without parity.
LineFormat LineFormatFor(uint32_t baud, int32_t frameFormatCode);

// Opens COMn for the low 16 bits n of portNumber, sets its queue sizes,
// purges it, writes the line settings and the time-outs (SetLineTimeouts).
int OpenLine(DriverPort& port, int32_t portNumber, const LineFormat& format, OpenCaller caller);
// Takes over an open line handle without changing its line settings,
// purges it and writes the time-outs (SetLineTimeouts).
int AttachLine(DriverPort& port, int32_t lineHandle);
// Writes the open-time time-outs: reads without a total limit, writes
// within 128 ms per byte plus 1000 ms.
int SetLineTimeouts(DriverPort& port);
int WriteLine(DriverPort& port, const unsigned char* data, uint32_t length);
// Reads in passes until *count bytes have come or a pass of timeoutMs (0: no
// limit) brings nothing; *count is then the number read. A wanted count of 0
// returns 1 at once. On failure *count is left unchanged.
int ReadLine(DriverPort& port, unsigned char* buffer, uint32_t* count, uint32_t timeoutMs);
// Discards both directions and cancels a blocked read or write, if a line is
// open. Always 1.
int PurgeLine(DriverPort& port);
// Polls the input queue every intervalMs for up to totalMs and returns the
// number of bytes waiting: as soon as two polls see the same non-zero count,
// or whatever the last poll saw (0 when nothing came). 0 at once when the
// call set-up is aborted.
uint32_t WaitForInput(DriverPort& port, uint32_t totalMs, uint32_t intervalMs);
// A pause of the dialogue. 1 when it ran its time; 0 as soon as the call
// set-up is aborted (see DriverPort::abortCallSetUp).
int Pause(DriverPort& port, uint32_t ms);

}  // namespace vb::driver
