// The OS handle of an open serial line, as the records' 32-bit handle fields
// carry it: a file descriptor on POSIX, a HANDLE on Windows (32 bits on the
// 32-bit Windows target). -1 means no line on both.
#pragma once

#include <cstdint>

namespace vb::platform {

enum class LineHandle : int32_t { None = -1 };

// A record's handle field as a line handle, and back.
inline LineHandle lineFromField(int32_t field) { return static_cast<LineHandle>(field); }
inline int32_t fieldFromLine(LineHandle line) { return static_cast<int32_t>(line); }

// Closes a line that some caller owns (an adopted or released one). None is
// ignored.
void closeLine(LineHandle line);

}  // namespace vb::platform
