// Port driver modules loaded with LoadLibraryA and bound with GetProcAddress
// (the rest of module loading is in common/clock_and_modules.cpp).
#include "platform/dynlib.h"

#include <windows.h>

#include "common/os_parts.h"
#include "system_text.h"

namespace vb::platform {

namespace os {

const char kModuleSuffix[] = ".dll";
// 32-bit Windows modules export the decorated __stdcall names themselves; on
// 64-bit Windows there is one convention and no decoration.
#if defined(_WIN64)
const bool kModulesExportDecoratedNames = false;
#else
const bool kModulesExportDecoratedNames = true;
#endif

}  // namespace os

namespace {

HMODULE moduleOf(void* handle) { return static_cast<HMODULE>(handle); }

}  // namespace

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

}  // namespace vb::platform
