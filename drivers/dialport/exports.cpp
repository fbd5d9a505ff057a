// The exports of the dialport module.
#include "driver_exports.h"
#include "modem_driver.h"

VB_DEFINE_DRIVER_EXPORTS(vb::dialport::kModemDriver);
