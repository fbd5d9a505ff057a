// What each operating system's files tell the shared part of the platform
// layer (common/clock_and_modules.cpp).
#pragma once

namespace vb::platform::os {

// The file name ending of a loadable module: ".so" or ".dll".
extern const char kModuleSuffix[];

// Whether modules export the decorated __stdcall names ("_OpenPort@16", on
// 32-bit Windows) or the plain ones ("OpenPort": ELF, 64-bit Windows).
extern const bool kModulesExportDecoratedNames;

}  // namespace vb::platform::os
