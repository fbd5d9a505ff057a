// The controlling terminal and interrupts, as a command-line host needs them:
// whether a standard stream is a terminal, how wide it is, and a handler that
// turns Ctrl-C (SIGINT) or a termination request (SIGTERM) into a flag that
// the program polls.
#pragma once

namespace vb::platform {

enum class StandardStream { Input, Output, Error };

// True when the stream is connected to a terminal.
bool isTerminal(StandardStream stream);

// Width of the terminal behind the stream in columns; 0 when it is not a
// terminal or the width is unknown.
int terminalColumns(StandardStream stream);

// Routes SIGINT and SIGTERM to a waiting thread of their own: they are
// blocked in the calling thread and in every thread it starts afterwards, so
// call this early, before any other thread exists. The first signal sets the
// interrupt flag and nothing else; a second one ends the process at once with
// the default action of that signal, so a user is never stuck. Calling it
// again has no further effect.
void installInterruptHandler();

// True once an interrupt has arrived. Lock-free: safe to call from any
// thread, including a link's receiver thread, as often as it likes.
bool interruptRequested();

// The signal number that set the flag, 0 when none has arrived.
int interruptSignal();

// Routes SIGHUP (the service manager's "reload") to a waiting thread that
// counts it, as installInterruptHandler does for interrupts; call it before
// the threads that must not see the signal start. Without it SIGHUP keeps
// its default action. No-op where the system has no such signal.
void installReloadHandler();

// True once for each reload request that arrived since the last call.
bool takeReloadRequest();

}  // namespace vb::platform
