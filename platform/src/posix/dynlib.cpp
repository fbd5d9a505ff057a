// Port driver modules loaded through the dynamic linker (the rest of module
// loading is in common/clock_and_modules.cpp).
#include "platform/dynlib.h"

#include <dlfcn.h>

#include "common/os_parts.h"

namespace vb::platform {

namespace os {

const char kModuleSuffix[] = ".so";
const bool kModulesExportDecoratedNames = false;

}  // namespace os

namespace {

std::string dynamicLinkerError(const std::string& fileName) {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : fileName + ": cannot be loaded";
}

}  // namespace

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

}  // namespace vb::platform
