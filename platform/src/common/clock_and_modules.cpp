// The parts of the clock and of module loading that are the same on every
// operating system; the OS files give the real clock, the time zone, and
// opening, binding and closing a module (see os_parts.h).
#include <atomic>
#include <cctype>
#include <chrono>
#include <utility>

#include "common/os_parts.h"
#include "platform/clock.h"
#include "platform/dynlib.h"

namespace vb::platform {

namespace {

std::atomic<Clock*> installedClock{nullptr};

// "_OpenPort@16" -> "OpenPort": a __stdcall decoration is '@' and the
// argument bytes in decimal, after the C name's leading underscore.
std::string undecoratedName(const std::string& decoratedName) {
  std::string name = decoratedName;
  const size_t at = name.rfind('@');
  if (at != std::string::npos && at + 1 < name.size()) {
    bool allDigits = true;
    for (size_t i = at + 1; i < name.size(); ++i) {
      allDigits = allDigits && std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    }
    if (allDigits) name.erase(at);
  }
  if (!name.empty() && name.front() == '_') name.erase(0, 1);
  return name;
}

}  // namespace

Clock& clock() {
  Clock* installed = installedClock.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : realClock();
}

void setClockForTesting(Clock* testClock) {
  installedClock.store(testClock, std::memory_order_release);
}

int64_t wallClockSeconds() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
}

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
    error_ = std::move(other.error_);
  }
  return *this;
}

std::string moduleFileName(const std::string& baseName) {
  return baseName + os::kModuleSuffix;
}

std::string exportName(const std::string& decoratedName) {
  return os::kModulesExportDecoratedNames ? decoratedName : undecoratedName(decoratedName);
}

}  // namespace vb::platform
