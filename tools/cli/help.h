// Help texts of the program and of each subcommand.
#pragma once

#include <string>

#include "options.h"

namespace vb::cli {

// The help for a subcommand, or the program's overview for Command::None.
std::string helpText(Command command);

}  // namespace vb::cli
