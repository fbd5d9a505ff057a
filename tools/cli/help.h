// Help texts of the program and of each subcommand.
#pragma once

#include <string>

#include "options.h"

namespace vb::cli {

// The help for options.command, or the program's overview for
// Command::None. The connection settings given with it figure in the longest
// wait for a meter that never answers.
std::string helpText(const Options& options);

// "vantbrook 1.0.0": the project's version, as the build was configured.
std::string versionText();

}  // namespace vb::cli
