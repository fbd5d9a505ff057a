#include "driver_binding.h"

#include "link_constants.h"

namespace vb::link {
namespace {

// The driver entries by their decorated names, in slot order.
constexpr const char* kOpenPortEntry = "_OpenPort@16";
constexpr const char* kClosePortEntry = "_ClosePort@4";
constexpr const char* kSendDataEntry = "_SendData@12";
constexpr const char* kReceiveDataEntry = "_ReceiveData@16";
constexpr const char* kGetPortErrorEntry = "_GetPortError@4";
constexpr const char* kAbortEntry = "_Abort@4";
constexpr const char* kStartReadThreadEntry = "_StartReadThread@4";
constexpr const char* kCloseReadThreadEntry = "_CloseReadThread@4";

template <typename Function>
void lookUp(const platform::DynamicLibrary& library, const char* decoratedName, Function& slot) {
  void* address = library.symbol(platform::exportName(decoratedName).c_str());
  slot = reinterpret_cast<Function>(address);
}

// A code that would make the file name a path (or cut it short) names no
// driver: modules are only ever found by bare name.
bool isPlainName(const char (&protocol)[4]) {
  for (char c : protocol) {
    if (c == '\0' || c == '/' || c == '\\') return false;
  }
  return true;
}

}  // namespace

std::string driverFileName(const char (&protocol)[4]) {
  return platform::moduleFileName(std::string(protocol, sizeof(protocol)) + kDriverNameSuffix);
}

DriverBinding bindDriver(const char (&protocol)[4], platform::DynamicLibrary& library,
                         PortFunctions& functions) {
  if (!isPlainName(protocol) || !library.open(driverFileName(protocol))) {
    return DriverBinding{false, kTextProtocolNotSupported};
  }
  PortFunctions found;
  lookUp(library, kOpenPortEntry, found.openPort);
  lookUp(library, kClosePortEntry, found.closePort);
  lookUp(library, kSendDataEntry, found.sendData);
  lookUp(library, kReceiveDataEntry, found.receiveData);
  lookUp(library, kGetPortErrorEntry, found.getPortError);
  lookUp(library, kAbortEntry, found.abort);
  lookUp(library, kStartReadThreadEntry, found.startReadThread);
  lookUp(library, kCloseReadThreadEntry, found.closeReadThread);
  if (!found.hasRequired()) {
    library.close();
    return DriverBinding{false, kTextErrorInDriver};
  }
  functions = found;
  return DriverBinding{true, nullptr};
}

}  // namespace vb::link
