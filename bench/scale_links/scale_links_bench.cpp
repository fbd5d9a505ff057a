// scale_links_bench [--links N] [--pairs N] [--baud N]
//
// Starts --links (32) simulated meters, each paced at --baud (9600) on its
// own pseudo-terminal, and downloads --pairs (10,000) raw pairs from all of
// them at once, one host thread per link. Reports whether all completed,
// the aggregate goodput (reply message bytes of all links / wall time of the
// slowest), this process's processor time (the host alone: the meters are
// child processes) and its resident memory above what it held before the
// links opened, sampled while they run, per link.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

constexpr double kBitsPerByte = 10;
constexpr double kBytesPerMegabyte = 1e6;
constexpr auto kMemorySampleInterval = std::chrono::milliseconds(100);

struct Link {
  vb::bench::MeterProcess meter;
  vb::bench::HostLine line;
  vb::bench::Outcome outcome;
};

}  // namespace

int main(int argc, char** argv) {
  int links = 32;
  uint32_t pairs = 10000;
  uint32_t baud = 9600;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--links") == 0 && i + 1 < argc) {
      links = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
      pairs = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
      baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: %s [--links N] [--pairs N] [--baud N]\n", argv[0]);
      return 2;
    }
  }
  if (links < 1) links = 1;
  const vb::bench::ReplySize size = vb::bench::downloadReplySize(1, 1, pairs, 10, 0);

  std::vector<std::unique_ptr<Link>> all;
  for (int i = 0; i < links; ++i) {
    auto link = std::make_unique<Link>();
    if (!link->meter.start(vb::bench::meterOptions(baud, pairs, 10)) ||
        !link->line.open(link->meter.devicePath())) {
      std::fprintf(stderr, "link %d: no meter: %s\n", i, link->meter.error().c_str());
      return 1;
    }
    all.push_back(std::move(link));
  }

  const long baselineKb = vb::platform::processResidentKilobytes();
  long peakKb = baselineKb;
  std::atomic<int> running{links};
  const double cpuBefore = vb::platform::processCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (auto& link : all) {
    threads.emplace_back([&running, &link, pairs] {
      RequestRecord request = vb::bench::baseRequest(link->line.handle());
      link->outcome = vb::bench::downloadPairs(&request, pairs);
      running.fetch_sub(1);
    });
  }
  while (running.load() > 0) {
    std::this_thread::sleep_for(kMemorySampleInterval);
    const long resident = vb::platform::processResidentKilobytes();
    if (resident > peakKb) peakKb = resident;
  }
  for (std::thread& thread : threads) thread.join();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = vb::platform::processCpuSeconds() - cpuBefore;

  int completed = 0;
  std::vector<double> walls;
  for (const auto& link : all) {
    if (link->outcome.ok) {
      ++completed;
      walls.push_back(link->outcome.seconds);
    } else {
      std::fprintf(stderr, "%s\n", link->outcome.failure.c_str());
    }
  }
  const std::string name = "scale: " + std::to_string(links) + " links, " + std::to_string(pairs) +
                           " pairs each, " + std::to_string(baud);
  printFigure(name, "downloads completed",
              std::to_string(completed) + " of " + std::to_string(links), "all");
  printFigure(name, "wall time per link, median / slowest (s)",
              fixed(vb::bench::median(walls), 2) + " / " + fixed(wall, 2));
  const double aggregate = completed * static_cast<double>(size.messageBytes) / wall;
  printFigure(name, "aggregate goodput (bytes/s); / sum of line rates",
              fixed(aggregate, 0) + "; " + fixed(aggregate / (links * baud / kBitsPerByte), 3));
  const double megabytes = completed * size.messageBytes / kBytesPerMegabyte;
  printFigure(name, "host CPU (% of one core) over the run", fixed(100 * cpu / wall, 2), "< 100%");
  if (megabytes > 0) {
    printFigure(name, "host CPU seconds per MB delivered", fixed(cpu / megabytes, 3));
  }
  printFigure(name, "peak resident memory above baseline, per link (kB)",
              fixed(static_cast<double>(peakKb - baselineKb) / links, 0));
  return completed == links ? 0 : 1;
}
