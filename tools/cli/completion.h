// Bash completion for the vantbrook program, made from its option tables:
// the meter commands' one, and those of the commands that parse their own.
#pragma once

#include <string>

namespace vb::cli {

// A bash script that completes commands (demo's fleet too), each command's
// options and the values of options with a fixed choice (a value named
// "a|b|c") or a path (FILE, PATH, STORE, FLEET, DEVICE).
std::string bashCompletion();

}  // namespace vb::cli
