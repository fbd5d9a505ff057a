// metersim: serves a simulated meter until interrupted.
#include <cstdio>
#include <string>
#include <vector>

#include "metersim/command_line.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "platform/terminal.h"

namespace {

// How often the main thread looks for an interrupt.
constexpr uint32_t kInterruptPollMs = 50;

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread leaves the signals to it.
  vb::platform::installInterruptHandler();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const vb::metersim::CommandLine line = vb::metersim::parseCommandLine(arguments);
  if (!line.error.empty()) {
    std::fprintf(stderr, "metersim: %s\nTry 'metersim --help'.\n", line.error.c_str());
    return 2;
  }
  if (line.help) {
    std::fputs(vb::metersim::helpText().c_str(), stdout);
    return 0;
  }
  vb::metersim::Simulator simulator(line.options);
  for (uint16_t logNo = 1; logNo <= 3 && line.statusFlags != 0; ++logNo) {
    simulator.model().setStatusFlags(logNo, line.statusFlags);
  }
  if (line.dibChanged) simulator.model().setDibChanged(true);
  if (!simulator.start()) {
    std::fprintf(stderr, "metersim: %s\n", simulator.error().c_str());
    return 1;
  }
  std::printf("%s\n", simulator.devicePath().c_str());
  std::fflush(stdout);
  while (!vb::platform::interruptRequested()) {
    vb::platform::sleepMs(kInterruptPollMs);
  }
  simulator.stop();
  return 0;
}
