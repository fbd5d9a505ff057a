// The definition of pnetport: line traits, default speed, connect sequence
// and call clearing.
#pragma once

#include "driver_exports.h"

namespace vb::pnetport {

extern const driver::DriverDefinition kPadDriver;

}  // namespace vb::pnetport
