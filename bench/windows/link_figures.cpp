// link_figures [--label NAME] [--pairs N] [--baud B] [--idle-seconds S]
//
// The same figures from either build, so the Windows build under Wine and
// the Linux build can be set side by side (bench/windows/run): COM1 is a
// simulated meter with N pairs in logger 1 (default 10,000) paced at B bit/s
// (default 9600).
//   - a download of all pairs of logger 1 (none with --pairs 0): wall time,
//     and goodput = entry bytes (4 a pair) / wall time, as a fraction of the
//     line rate (B / 10 bytes a second); the wall time covers the whole
//     request;
//   - a link held open on a silent line for S seconds (default 10): the
//     processor time this process spends on it, as a share of one core.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "figures.h"
#include "host_request.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr double kBitsPerByte = 10;
constexpr double kBytesPerPair = 4;
constexpr uint32_t kSettleMs = 1000;

}  // namespace

int main(int argc, char** argv) {
  std::string label = "this build";
  uint32_t pairs = 10000;
  uint32_t baud = 9600;
  uint32_t idleSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--label") == 0) {
      label = argv[i + 1];
    } else if (std::strcmp(argv[i], "--pairs") == 0) {
      pairs = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--baud") == 0) {
      baud = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
      idleSeconds = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr,
                   "usage: %s [--label NAME] [--pairs N] [--baud B] [--idle-seconds S]\n",
                   argv[0]);
      return 2;
    }
  }
  const std::string name = "link figures (" + label + ")";

  RequestRecord request = vb::bench::baseRequest(-1);
  if (pairs > 0) {
    const vb::bench::Outcome download = vb::bench::downloadPairs(&request, pairs);
    if (!download.ok) {
      std::fprintf(stderr, "%s: download failed: %s\n", label.c_str(),
                   download.failure.c_str());
      return 1;
    }
    const double lineBytesPerSecond = baud / kBitsPerByte;
    printFigure(name, "download of " + std::to_string(pairs) + " pairs at " +
                          std::to_string(baud) + ", wall time (s)",
                fixed(download.seconds, 2));
    printFigure(name, "entry bytes / wall time / line rate",
                fixed(pairs * kBytesPerPair / download.seconds / lineBytesPerSecond, 3));
  }

  request = vb::bench::baseRequest(-1);
  if (!vb::bench::runRequest(&request, VB_REQ_HOLD).ok) {
    std::fprintf(stderr, "%s: cannot hold the link\n", label.c_str());
    return 1;
  }
  // Threads of the download that are still ending would blur the figure
  // (Wine counts only live threads in a process's time).
  vb::platform::sleepMs(kSettleMs);
  const double cpuBefore = vb::platform::processCpuSeconds();
  const uint64_t startMs = vb::platform::nowMs();
  vb::platform::sleepMs(idleSeconds * 1000);
  const double wall = (vb::platform::nowMs() - startMs) / 1000.0;
  const double cpu = vb::platform::processCpuSeconds() - cpuBefore;
  const bool released = vb::bench::runRequest(&request, VB_REQ_RELEASE).ok;
  printFigure(name, "CPU of the open idle link (% of one core)", fixed(100 * cpu / wall, 3),
              "< 1%");
  return released ? 0 : 1;
}
