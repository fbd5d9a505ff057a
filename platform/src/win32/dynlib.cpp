// Port driver modules loaded with LoadLibraryA and bound with GetProcAddress.
#include "platform/dynlib.h"

#include <windows.h>

#include <utility>

#include "system_text.h"

namespace vb::platform {

namespace {

constexpr const char* kModuleSuffix = ".dll";

HMODULE moduleOf(void* handle) { return static_cast<HMODULE>(handle); }

}  // namespace

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

bool DynamicLibrary::open(const std::string& fileName) {
  close();
  error_.clear();
  HMODULE module = LoadLibraryA(fileName.c_str());
  if (module == nullptr) {
    error_ = fileName + ": " + win32::systemText(GetLastError());
    return false;
  }
  handle_ = module;
  return true;
}

void* DynamicLibrary::symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(moduleOf(handle_), name));
}

void DynamicLibrary::close() {
  if (handle_ != nullptr) {
    FreeLibrary(moduleOf(handle_));
    handle_ = nullptr;
  }
}

std::string moduleFileName(const std::string& baseName) { return baseName + kModuleSuffix; }

// Windows modules export the decorated names themselves.
std::string exportName(const std::string& decoratedName) { return decoratedName; }

}  // namespace vb::platform
