// Loading plug-in modules (port drivers) at run time.
#pragma once

#include <string>

namespace vb::platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads by bare file name through the system's normal search (an already
  // loaded module of that name is reused). False with error() set on failure.
  bool open(const std::string& fileName);
  bool isOpen() const { return handle_ != nullptr; }
  // The address of an exported symbol, or nullptr.
  void* symbol(const char* name) const;
  void close();
  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// The module file name for a base name: "pnetport" -> "pnetport.so".
std::string moduleFileName(const std::string& baseName);

// The platform's export name for a decorated Win32 entry name:
// "_OpenPort@16" -> "OpenPort" on ELF and 64-bit Windows (unchanged on
// 32-bit Windows).
std::string exportName(const std::string& decoratedName);

}  // namespace vb::platform
