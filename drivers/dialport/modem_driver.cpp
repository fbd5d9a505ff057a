#include "modem_driver.h"

#include "line_constants.h"
#include "modem_calls.h"
#include "modem_protocol.h"

namespace vb::dialport {
namespace {

int connectThroughModem(driver::DriverPort& port, const char* number) {
  if (InitialiseModem(port) == 0) return 0;
  return ConnectCall(port, number);
}

// Back to command mode and on-hook; the hang-up is tried even when the
// escape could not be sent.
void hangUpModem(driver::DriverPort& port) {
  EnterCommandMode(port);
  HangUp(port);
}

}  // namespace

// Modem texts and replies are compared and kept byte for byte; a line that
// cannot be purged while opening is not used.
const driver::DriverDefinition kModemDriver = {
    {/*clearBit7InTexts=*/false, /*clearBit7InReplies=*/false, /*purgeFailureEndsOpen=*/true,
     /*purgeFailedTextForOpenPort=*/driver::kPurgeFailedBare},
    kDefaultBaud,
    connectThroughModem,
    hangUpModem,
};

}  // namespace vb::dialport
