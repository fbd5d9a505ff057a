// The system's message text for a Win32 error code, shared by the Win32
// files of the platform layer.
#pragma once

#include <windows.h>

#include <string>

namespace vb::platform::win32 {

// FormatMessageA's text for code from the system message table (user default
// language), without its line break; "Unknown error N" when there is none.
std::string systemText(DWORD code);

// A record's 32-bit handle field as a kernel HANDLE and back, by
// LongToHandle and HandleToLong (never a cast that could drop bits of a
// 64-bit handle).
HANDLE toHandle(int32_t field);
int32_t toField(HANDLE handle);

}  // namespace vb::platform::win32
