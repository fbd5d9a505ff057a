// vantbrook monitor: watches a meter's line for the people who diagnose bad
// radio and phone lines, or decodes a capture of one.
#pragma once

namespace vb::cli {

// Runs 'vantbrook monitor'; argv[0] is "monitor". Returns the exit status.
int runMonitor(int argc, char** argv);

}  // namespace vb::cli
