// vantbrook demo where the simulated meter cannot run: it plays the meter
// over a pseudo-terminal, which only the Linux build has.
#include "demo.h"

#include <cstdio>

#include "exit_status.h"

namespace vb::cli {

int runDemo(const Options&) {
  std::fputs(
      "vantbrook: the demo needs the Linux build, which runs a simulated meter on a "
      "pseudo-terminal.\nHere, point a simulated meter (metersim on Linux) at a COM port "
      "and name it: vantbrook dib --com N\n",
      stderr);
  return kExitUsage;
}

}  // namespace vb::cli
