// Clearing and placing a call through a packet-radio PAD (X.28 dialogue).
// An aborted call set-up ends a wait for the PAD's answer at once, with 0.
#pragma once

#include "driver_port.h"

namespace vb::pnetport {

// Sends the clear command and waits for the PAD's prompt: 1 when the PAD is
// ready for a command. Otherwise 0, with the PAD's reply (or why there was
// none) as the error text.
int ClearCall(driver::DriverPort& port);

// Calls the address and waits for the echo and the connection signal: 1 when
// the call is connected, otherwise 0 with the reason in the error text.
int PlaceCall(driver::DriverPort& port, const char* address);

}  // namespace vb::pnetport
