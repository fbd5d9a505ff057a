// Binding a port driver module: the file name from the protocol code, the
// load, and the lookup of its entries into a PortFunctions table.
#pragma once

#include <string>

#include "platform/dynlib.h"
#include "port_functions.h"

namespace vb::link {

// The result of a binding: on failure, the text that says why.
struct DriverBinding {
  bool bound = false;
  const char* failureText = nullptr;
};

// The driver's module file name for a 4-character protocol code, taken as it
// is: "pnet" gives "pnetport.so".
std::string driverFileName(const char (&protocol)[4]);

// Loads the driver named by the protocol code into library and fills the
// table from its exports. The library stays loaded until its owner closes
// it; on failure it is closed again.
DriverBinding bindDriver(const char (&protocol)[4], platform::DynamicLibrary& library,
                         PortFunctions& functions);

}  // namespace vb::link
