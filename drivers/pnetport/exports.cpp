// The exports of the pnetport module.
#include "driver_exports.h"
#include "pad_driver.h"

VB_DEFINE_DRIVER_EXPORTS(vb::pnetport::kPadDriver);
