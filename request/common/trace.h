// The request library's trace hook. Every flow and step reports its entry,
// exit, failures and field dumps here in printf style. By default the lines
// are discarded without being formatted; nothing depends on them.
#pragma once

namespace vb::request {

__attribute__((format(printf, 1, 2))) void Trace(const char* format, ...);

// Receives each formatted trace line. Tests and diagnostics may install one;
// nullptr (the default) discards. Process-wide; install before requests run.
using TraceSink = void (*)(const char* line);
void SetTraceSink(TraceSink sink);

}  // namespace vb::request
