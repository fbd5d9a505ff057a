// goodput_bench [--runs N] [--only TEXT]
//
// Downloads everything from logger 1 (10,000 raw pairs) and logger 3 (1,000
// totals records) of a simulated meter paced at 9600 and 4800 bit/s, also
// with one byte in 10,000 corrupted, and with the meter's long frames (which
// the meter may send instead of short ones: less framing per byte), and with
// a progress callback (the receiver then sleeps 5 ms after each read). Each
// case runs --runs times (default 3); all runs go at once, each on its own
// meter and line (the line is paced, so they wait on the line, not on each
// other: see the CPU benchmark for what a link costs). --only runs the cases
// whose name contains TEXT.
//
// Goodput = reply message bytes (the GetData reply: its 14-byte prefix, the
// logger header and the entries, as the meter builds it) / wall time of the
// whole download request, as a fraction of the line rate (baud / 10 bytes a
// second). The wall time covers the whole request: opening the link (wake-up
// text and the 200 ms pause after it), the session commands before and after
// GetData, and closing. The line ceiling is the same fraction if the line
// carried nothing but the reply's frames, back to back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "host_request.h"
#include "meter_process.h"
#include "reply_size.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr uint32_t kPairs = 10000;
constexpr uint32_t kTotals = 1000;
constexpr double kWakeupPauseSeconds = 0.2;
constexpr uint32_t kFrameTimeoutMs = vb::bench::kFrameTimeoutMs;
// The receiver gives each frame the frame time-out (counted in whole
// seconds) to arrive: with the meter's long frames it must cover a long
// frame's line time, 2048 x 10 / 9600 s = 2.1 s, with a margin.
constexpr uint32_t kLongFrameTimeoutMs = 5000;
constexpr double kBitsPerByte = 10;

struct Case {
  std::string name;
  uint32_t baud;
  uint16_t logNo;
  const char* corruptRate;  // nullptr: clean line
  uint32_t longFrameSize;   // 0: short frames
  uint32_t frameTimeoutMs;
  bool progress;  // with a progress callback
  const char* target;
};

// A host's progress callback that never asks for an abort.
int carryOn(int /*percent*/) { return 0; }

struct Run {
  const Case* benchCase;
  uint64_t seed;
  vb::bench::Outcome outcome;
  vb::bench::ReplySize size;
};

void runOne(Run* run) {
  const Case& benchCase = *run->benchCase;
  std::vector<std::string> options = vb::bench::meterOptions(benchCase.baud, kPairs, kTotals);
  options.insert(options.end(), {"--seed", std::to_string(run->seed)});
  if (benchCase.corruptRate != nullptr)
    options.insert(options.end(), {"--corrupt-rate", benchCase.corruptRate});
  if (benchCase.longFrameSize != 0) {
    options.insert(options.end(),
                   {"--long-frames", "--long-frame-size", std::to_string(benchCase.longFrameSize)});
  }
  run->size = vb::bench::downloadReplySize(benchCase.logNo, run->seed, kPairs, kTotals,
                                           benchCase.longFrameSize);
  vb::bench::MeterProcess meter;
  vb::bench::HostLine line;
  if (!meter.start(options)) {
    run->outcome.failure = meter.error();
    return;
  }
  if (!line.open(meter.devicePath())) {
    run->outcome.failure = "cannot open " + meter.devicePath();
    return;
  }
  RequestRecord request = vb::bench::baseRequest(line.handle());
  request.frameTimeout = benchCase.frameTimeoutMs;
  if (benchCase.progress) request.progressCallback = carryOn;
  run->outcome = benchCase.logNo == 3 ? vb::bench::downloadTotals(&request, kTotals)
                                      : vb::bench::downloadPairs(&request, kPairs);
}

// What the line carries beyond the message: escape bytes, and the rest.
std::string lineOverhead(const vb::bench::ReplySize& size) {
  const uint32_t framing = size.lineBytes - size.messageBytes - size.escapes;
  return std::to_string(size.escapes) + " / " + std::to_string(framing);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--only TEXT]\n", argv[0]);
      return 2;
    }
  }
  if (runs < 1) runs = 1;

  std::vector<Case> cases = {
      {"10,000 pairs, 9600", 9600, 1, nullptr, 0, kFrameTimeoutMs, false, ">= 0.90"},
      {"10,000 pairs, 4800", 4800, 1, nullptr, 0, kFrameTimeoutMs, false, ">= 0.90"},
      {"1,000 totals, 9600", 9600, 3, nullptr, 0, kFrameTimeoutMs, false, ""},
      {"1,000 totals, 4800", 4800, 3, nullptr, 0, kFrameTimeoutMs, false, ""},
      {"10,000 pairs, 9600, 1e-4 byte errors", 9600, 1, "0.0001", 0, kFrameTimeoutMs, false,
       ">= 0.80"},
      {"10,000 pairs, 4800, 1e-4 byte errors", 4800, 1, "0.0001", 0, kFrameTimeoutMs, false,
       ">= 0.80"},
      {"10,000 pairs, 9600, meter's 2048-byte frames, frame time-out 5 s", 9600, 1, nullptr, 2048,
       kLongFrameTimeoutMs, false, ""},
      {"10,000 pairs, 4800, meter's 2048-byte frames, frame time-out 10 s", 4800, 1, nullptr, 2048,
       2 * kLongFrameTimeoutMs, false, ""},
      {"10,000 pairs, 9600, progress callback", 9600, 1, nullptr, 0, kFrameTimeoutMs, true, ""},
  };
  cases.erase(std::remove_if(cases.begin(), cases.end(),
                             [&only](const Case& benchCase) {
                               return benchCase.name.find(only) == std::string::npos;
                             }),
              cases.end());
  std::vector<Run> all;
  for (const Case& benchCase : cases) {
    for (int r = 0; r < runs; ++r)
      all.push_back(Run{&benchCase, static_cast<uint64_t>(r + 1), {}, {}});
  }
  std::vector<std::thread> threads;
  threads.reserve(all.size());
  for (Run& run : all) threads.emplace_back(runOne, &run);
  for (std::thread& thread : threads) thread.join();

  int failures = 0;
  for (const Case& benchCase : cases) {
    std::vector<double> walls, goodputs, ceilings, others;
    int ok = 0;
    for (const Run& run : all) {
      if (run.benchCase != &benchCase) continue;
      if (!run.outcome.ok) {
        std::fprintf(stderr, "%s, seed %llu: %s\n", benchCase.name.c_str(),
                     static_cast<unsigned long long>(run.seed), run.outcome.failure.c_str());
        ++failures;
        continue;
      }
      ++ok;
      const double lineBytesPerSecond = benchCase.baud / kBitsPerByte;
      const double lineSeconds = run.size.lineBytes / lineBytesPerSecond;
      walls.push_back(run.outcome.seconds);
      goodputs.push_back(run.size.messageBytes / run.outcome.seconds / lineBytesPerSecond);
      ceilings.push_back(static_cast<double>(run.size.messageBytes) / run.size.lineBytes);
      others.push_back(run.outcome.seconds - lineSeconds - kWakeupPauseSeconds);
    }
    const std::string name = "goodput: " + benchCase.name;
    printFigure(name, "runs completed", std::to_string(ok) + " of " + std::to_string(runs));
    if (ok == 0) continue;
    const Run* sample = nullptr;
    for (const Run& run : all) {
      if (run.benchCase == &benchCase) sample = &run;
    }
    printFigure(name, "reply message bytes / entry bytes / line bytes / frames",
                std::to_string(sample->size.messageBytes) + " / " +
                    std::to_string(sample->size.entryBytes) + " / " +
                    std::to_string(sample->size.lineBytes) + " / " +
                    std::to_string(sample->size.frames));
    printFigure(name, "line bytes: stuffing escapes / framing (headers, checks, CRs, padding)",
                lineOverhead(sample->size));
    printFigure(name, "wall time, median (s)", fixed(vb::bench::median(walls), 2));
    printFigure(name, "goodput / line rate, median", fixed(vb::bench::median(goodputs), 3),
                benchCase.target);
    printFigure(name, "line ceiling (message bytes / line bytes)",
                fixed(vb::bench::median(ceilings), 3));
    printFigure(name, "wall - reply line time - 0.2 s wake-up pause, median (s)",
                fixed(vb::bench::median(others), 2));
  }
  return failures == 0 ? 0 : 1;
}
