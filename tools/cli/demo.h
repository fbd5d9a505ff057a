// vantbrook demo: a simulated meter inside the program, read like a real one.
#pragma once

#include "options.h"

namespace vb::cli {

int runDemo(const Options& options);

}  // namespace vb::cli
