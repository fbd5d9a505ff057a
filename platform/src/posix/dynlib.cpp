// Port driver modules loaded through the dynamic linker.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cctype>
#include <utility>

namespace vb::platform {

namespace {

constexpr const char* kModuleSuffix = ".so";

std::string dynamicLinkerError(const std::string& fileName) {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : fileName + ": cannot be loaded";
}

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
  handle_ = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    error_ = dynamicLinkerError(fileName);
    return false;
  }
  return true;
}

void* DynamicLibrary::symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

void DynamicLibrary::close() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

std::string moduleFileName(const std::string& baseName) { return baseName + kModuleSuffix; }

std::string exportName(const std::string& decoratedName) {
  std::string name = decoratedName;
  // A stdcall decoration ends in '@' and the argument bytes in decimal.
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

}  // namespace vb::platform
