// The last OS error of the calling thread. Every platform call that fails
// records its OS error for the calling thread: its code (an errno value on
// POSIX, a GetLastError value on Windows), the kind of failure, which means
// the same on every system, and the system's text.
#pragma once

#include <string>

namespace vb::platform {

enum class FailureKind {
  None,         // no failure recorded
  Cancelled,    // a purge or abort ended the operation
  TimedOut,     // the operation's time ran out
  Gone,         // the device or the far side is no longer there
  BadArgument,  // the call was given something it cannot use
  Other,        // any other OS error; see lastErrorText()
};

// The OS error code recorded by the last failing platform call on this thread.
int lastErrorCode();
// Records an OS error code as this thread's last error.
void setLastErrorCode(int code);
// Records a failure of the given kind with the OS's own code for it.
void setLastFailure(FailureKind kind);
// The kind of this thread's last error.
FailureKind lastFailure();
// The system's message text for this thread's last error ("No such file or
// directory"). Never ends in a line break.
std::string lastErrorText();

}  // namespace vb::platform
