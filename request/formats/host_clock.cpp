#include "formats/cdtf.h"
#include "platform/clock.h"

namespace vb::request {

int32_t HostClockToCdtf() {
  return HostClockToCdtfAt(platform::wallClockSeconds(), platform::localZoneOffsetMinutesWest());
}

}  // namespace vb::request
