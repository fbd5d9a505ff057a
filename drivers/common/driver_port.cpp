#include "driver_port.h"

#include "platform/text.h"

namespace vb::driver {

void DriverPort::storeErrorText(const char* text) {
  std::lock_guard<std::mutex> guard(errorTextLock_);
  platform::copyTerminated(errorText_, sizeof errorText_, text);
}

std::string DriverPort::errorText() const {
  std::lock_guard<std::mutex> guard(errorTextLock_);
  return std::string(errorText_);
}

const char* DriverPort::publishErrorText() {
  std::lock_guard<std::mutex> guard(errorTextLock_);
  platform::copyTerminated(publishedErrorText_, sizeof publishedErrorText_, errorText_);
  return publishedErrorText_;
}

void DriverPort::beginCallSetUp() {
  std::lock_guard<std::mutex> guard(setUpLock_);
  settingUp_ = true;
  setUpAborted_.reset();
}

bool DriverPort::endCallSetUp() {
  std::lock_guard<std::mutex> guard(setUpLock_);
  settingUp_ = false;
  const bool aborted = setUpAborted_.tryWait();
  setUpAborted_.reset();
  return aborted;
}

bool DriverPort::abortCallSetUp() {
  std::lock_guard<std::mutex> guard(setUpLock_);
  if (!settingUp_) return false;
  setUpAborted_.set();
  return true;
}

}  // namespace vb::driver
