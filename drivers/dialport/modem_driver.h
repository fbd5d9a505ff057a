// The definition of dialport: line traits, default speed, connect sequence
// and call clearing.
#pragma once

#include "driver_exports.h"

namespace vb::dialport {

extern const driver::DriverDefinition kModemDriver;

}  // namespace vb::dialport
