// Bash completion for the vantbrook program, made from its option table.
#pragma once

#include <string>

namespace vb::cli {

// A bash script that completes commands (demo's fleet too), each command's
// options and the values of options with a fixed choice or a file name.
std::string bashCompletion();

}  // namespace vb::cli
