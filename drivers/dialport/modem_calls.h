// Preparing a modem, dialling, and hanging up (AT dialogue). Each step
// returns 1 for success and 0 for failure with the reason in the error text.
// An aborted call set-up ends a step at its next pause or reply wait with 0
// (the open then says why); while the call is cleared nothing is aborted,
// so the escape's guard times always run in full.
#pragma once

#include "driver_port.h"

namespace vb::dialport {

// Brings an online modem back to command mode with the escape sequence and
// its guard times. No reply is read.
int EnterCommandMode(driver::DriverPort& port);
// Sends the set-up commands with a pause after each. Their replies stay
// queued (HangUp reads them); write failures only reach the error text. 0
// only when the call set-up was aborted.
int InitialiseModem(driver::DriverPort& port);
// Sends "ATH" and wants a reply containing "OK".
int HangUp(driver::DriverPort& port);
// Dials the number and reads up to five replies for a result code, then
// purges the line; after a connection it pauses before the data begins.
int Dial(driver::DriverPort& port, const char* number);
// EnterCommandMode, HangUp, then Dial.
int ConnectCall(driver::DriverPort& port, const char* number);

}  // namespace vb::dialport
