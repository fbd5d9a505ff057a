#include "demo.h"

#include <cstdio>

#include "app.h"
#include "exit_status.h"
#include "metersim/simulator.h"
#include "platform/devicemap.h"

namespace vb::cli {

namespace {

// A download of a few thousand pairs paced like a radio line: long enough to
// watch the progress bar, short enough for a demo.
constexpr uint32_t kDemoBaud = 19200;
constexpr uint32_t kDemoPairs = 3000;
constexpr int kDemoCom = 1;
constexpr const char* kDemoCsv = "demo.csv";
constexpr size_t kDemoTableEntries = 10;

}  // namespace

int runDemo(const Options& options) {
  metersim::Options meter;
  meter.baud = kDemoBaud;
  meter.pairsPerLogger = kDemoPairs;
  metersim::Simulator simulator(meter);
  if (!simulator.start()) {
    std::fprintf(stderr, "vantbrook: cannot start the simulated meter: %s\n",
                 simulator.error().c_str());
    return kExitLink;
  }
  platform::setComDevicePath(kDemoCom, simulator.devicePath());

  Options demo;
  demo.command = Command::Session;
  demo.sessionRequests = {Command::Dib, Command::Header, Command::Download};
  demo.connection.com = kDemoCom;
  demo.download.logNo = 1;
  demo.download.csvPath = kDemoCsv;
  demo.json = options.json;
  demo.progress = options.progress;

  Presentation presentation;
  presentation.json = options.json;
  presentation.tableEntryLimit = kDemoTableEntries;
  if (!options.json) {
    std::printf("Simulated meter on %s (COM%d), sending at %u bit/s.\n"
                "Running: vantbrook session dib header download --com %d --csv %s\n\n",
                simulator.devicePath().c_str(), kDemoCom, kDemoBaud, kDemoCom, kDemoCsv);
    std::fflush(stdout);
  }
  int status = runMeterCommand(demo, presentation);
  simulator.stop();
  if (status == kExitOk && !options.json) {
    std::printf("\nAll entries written to %s.\n", kDemoCsv);
  }
  return status;
}

}  // namespace vb::cli
