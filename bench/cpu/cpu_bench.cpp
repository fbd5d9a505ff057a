// cpu_bench [--downloads N] [--idle-seconds S]
//
// User plus system processor time of this process, which is the host alone
// (the simulated meter runs as a child process):
//   - per megabyte of reply delivered, over --downloads (5) downloads of
//     10,000 raw pairs on an unpaced line (the line never makes the link
//     wait, so this is its cost per byte at full speed), without and with a
//     progress callback;
//   - of a link held open on a silent line for --idle-seconds (10), without
//     and with a progress callback. Without one the receiver thread sleeps in
//     its reads; with one it calls the callback after every read and sleeps
//     5 ms between reads.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "host_request.h"
#include "meter_process.h"
#include "platform/thread.h"
#include "reply_size.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr uint32_t kPairs = 10000;
constexpr double kBytesPerMegabyte = 1e6;

std::atomic<long> callbackCalls{0};

int countingCallback(int /*percent*/) {
  callbackCalls.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int downloads(int32_t portHandle, int count, VantbrookProgressCallback callback,
              const std::string& name) {
  const vb::bench::ReplySize size = vb::bench::downloadReplySize(1, 1, kPairs, 10, 0);
  RequestRecord request = vb::bench::baseRequest(portHandle);
  request.progressCallback = callback;
  callbackCalls = 0;
  std::vector<double> walls;
  const double before = vb::platform::processCpuSeconds();
  int delivered = 0;
  for (int i = 0; i < count; ++i) {
    const vb::bench::Outcome outcome = vb::bench::downloadPairs(&request, kPairs);
    if (!outcome.ok) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), outcome.failure.c_str());
      continue;
    }
    ++delivered;
    walls.push_back(outcome.seconds);
  }
  const double cpu = vb::platform::processCpuSeconds() - before;
  if (delivered == 0) return 1;
  const double megabytes = delivered * size.messageBytes / kBytesPerMegabyte;
  printFigure(name, "downloads completed",
              std::to_string(delivered) + " of " + std::to_string(count));
  printFigure(name, "wall time per download, median (s)", fixed(vb::bench::median(walls), 3));
  printFigure(name, "CPU seconds per MB delivered", fixed(cpu / megabytes, 3));
  if (callback != nullptr) {
    printFigure(name, "progress callback calls per download",
                std::to_string(callbackCalls.load() / delivered));
  }
  return delivered == count ? 0 : 1;
}

int idle(int32_t portHandle, int seconds, VantbrookProgressCallback callback,
         const std::string& name) {
  RequestRecord request = vb::bench::baseRequest(portHandle);
  request.progressCallback = callback;
  if (!vb::bench::runRequest(&request, VB_REQ_HOLD).ok) return 1;
  callbackCalls = 0;
  const double before = vb::platform::processCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = vb::platform::processCpuSeconds() - before;
  const long calls = callbackCalls.load();
  const bool released = vb::bench::runRequest(&request, VB_REQ_RELEASE).ok;
  printFigure(name, "CPU of the open idle link (% of one core)", fixed(100 * cpu / wall, 3),
              "< 1%");
  if (callback != nullptr) {
    printFigure(name, "progress callback calls per second", fixed(calls / wall, 1));
  }
  return released ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 5;
  int idleSeconds = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--downloads") == 0 && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--idle-seconds") == 0 && i + 1 < argc) {
      idleSeconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--downloads N] [--idle-seconds S]\n", argv[0]);
      return 2;
    }
  }
  vb::bench::MeterProcess meter;
  vb::bench::HostLine line;
  if (!meter.start(vb::bench::meterOptions(0, kPairs, 10)) || !line.open(meter.devicePath())) {
    std::fprintf(stderr, "no meter: %s\n", meter.error().c_str());
    return 1;
  }
  int failed = downloads(line.handle(), count, nullptr, "cpu: 10,000-pair download, unpaced");
  failed |= downloads(line.handle(), count, countingCallback,
                      "cpu: 10,000-pair download, unpaced, progress callback");
  failed |= idle(line.handle(), idleSeconds, nullptr, "cpu: idle held link");
  failed |=
      idle(line.handle(), idleSeconds, countingCallback, "cpu: idle held link, progress callback");
  return failed;
}
