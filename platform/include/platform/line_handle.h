// The OS handle of an open serial line, as the records' 32-bit handle fields
// carry it: a file descriptor on POSIX, a kernel HANDLE on Windows (its 32
// significant bits, by HandleToLong, on 32-bit and 64-bit Windows alike). -1
// means no line on both.
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
