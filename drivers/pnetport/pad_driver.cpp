#include "pad_driver.h"

#include "line_constants.h"
#include "pad_calls.h"
#include "pad_protocol.h"
#include "serial_line.h"

namespace vb::pnetport {
namespace {

// Every call begins from a cleared PAD in command state.
int connectThroughPad(driver::DriverPort& port, const char* address) {
  if (ClearCall(port) == 0) return 0;
  if (driver::Pause(port, kClearToCallPauseMs) == 0) return 0;
  return PlaceCall(port, address);
}

void clearPadCall(driver::DriverPort& port) { ClearCall(port); }

}  // namespace

// The PAD's texts and replies are plain 7-bit; a failed purge while opening
// is recorded but does not stop the call.
const driver::DriverDefinition kPadDriver = {
    {/*clearBit7InTexts=*/true, /*clearBit7InReplies=*/true, /*purgeFailureEndsOpen=*/false,
     /*purgeFailedTextForOpenPort=*/driver::kPurgeFailed},
    kDefaultBaud,
    connectThroughPad,
    clearPadCall,
};

}  // namespace vb::pnetport
