// The text of the last OS error. Every platform call that fails records its
// OS error for the calling thread; lastErrorText() renders it.
#pragma once

#include <string>

namespace vb::platform {

// The OS error code recorded by the last failing platform call on this thread.
int lastErrorCode();
// Records an OS error code (errno value) as this thread's last error.
void setLastErrorCode(int code);
// The system's message text for this thread's last error ("No such file or
// directory"). Never ends in a line break.
std::string lastErrorText();

}  // namespace vb::platform
