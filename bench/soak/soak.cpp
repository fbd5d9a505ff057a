// soak [--requests N] [--seconds S] [--meters M] [--seed K] [--held H]
//
// Runs N mixed requests (downloads of pairs and totals, identity blocks)
// against M simulated meters, one host thread per meter, each request under
// a fault drawn from a mix (clean line, corruption, a lost frame, a cut line
// that is resumed, NAKs, a meter status, an unsupported control frame, an
// answer that comes only after the host sent its command again, a silent or
// vanished meter), and stops early after S seconds. With --held H each host
// holds its link for sessions of H requests (2748, H requests, 2749), as a
// collector that reads several things from a meter in one call. Prints the
// successes, the failures by code (and those that name a wrong command in
// the reply, by the fault they came under), the corrupted results (a success whose
// data differ from the meter's), the hangs (a request that ran past the
// bound its time-outs give), and the process's descriptors, threads and
// resident memory at start, after the first tenth of the requests (once the
// allocator's pools have settled) and at the end. Exits non-zero on any
// corrupted result, hang, or growth of descriptors, threads or memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "platform/thread.h"
#include "request_harness.h"

namespace {

using vb::metersim::Faults;
using vb::reliability::Job;

struct Settings {
  uint32_t requests = 1000;
  uint32_t seconds = 300;
  int meters = 4;
  uint64_t seed = 1;
  uint32_t held = 0;  // requests per held link; 0: every request opens and closes its own
};

// Resident memory may rise while the allocator's per-thread pools fill during
// the first requests; from the warm-up point on it must stay within this.
constexpr long kResidentSlackKb = 2 * 1024;
// A week: keeps the run's deadline plus the grace below within 32-bit
// milliseconds.
constexpr unsigned long kMaxSeconds = 7 * 24 * 3600;
// How long past the run's deadline a host thread may take to finish its last
// request before the soak calls it hung.
constexpr uint32_t kJoinGraceMs = 600000;

struct Figures {
  int descriptors;
  int threads;
  long residentKb;
};

Figures Measure() {
  return {vb::platform::processOpenDescriptorCount(), vb::platform::processThreadCount(),
          vb::platform::processResidentKilobytes()};
}

// A fault drawn from the mix; weights out of 100.
struct FaultKind {
  const char* name;
  int weight;
  void (*arm)(Faults& faults, std::mt19937_64& random);
};

const FaultKind kFaultMix[] = {
    {"clean", 28, [](Faults&, std::mt19937_64&) {}},
    {"corrupt 1e-4", 14, [](Faults& f, std::mt19937_64&) { f.corruptRate = 1e-4; }},
    {"corrupt 1e-3", 12, [](Faults& f, std::mt19937_64&) { f.corruptRate = 1e-3; }},
    {"lost frame", 8, [](Faults& f, std::mt19937_64&) { f.dropFrame = 1; }},
    {"cut line", 10,
     [](Faults& f, std::mt19937_64& r) { f.cutAfterBytes = 200 + static_cast<uint32_t>(r() % 3000); }},
    {"nak", 8, [](Faults& f, std::mt19937_64& r) { f.nakMessages = 1 + static_cast<uint32_t>(r() % 2); }},
    {"busy status", 5,
     [](Faults& f, std::mt19937_64&) {
       f.forceStatus = 8;
       f.forceStatusCommand = 13;
     }},
    {"unsupported control", 5, [](Faults& f, std::mt19937_64&) { f.unsupportedControl = '6'; }},
    {"late answer", 6,
     [](Faults& f, std::mt19937_64& r) { f.lateAnswer = 1 + static_cast<uint32_t>(r() % 8); }},
    {"silent", 2, [](Faults& f, std::mt19937_64&) { f.silent = true; }},
    {"vanish", 2, [](Faults& f, std::mt19937_64&) { f.vanish = true; }},
};

const FaultKind& DrawFault(std::mt19937_64& random) {
  int draw = static_cast<int>(random() % 100);
  for (const FaultKind& kind : kFaultMix) {
    if (draw < kind.weight) return kind;
    draw -= kind.weight;
  }
  return kFaultMix[0];
}

struct Tally {
  std::mutex lock;
  uint32_t completed = 0;
  uint32_t warmUpAfter = 0;
  Figures warmUp{};
  uint32_t successes = 0;
  std::map<int32_t, uint32_t> failuresByCode;
  std::map<int32_t, std::string> sampleMessage;
  std::map<std::string, uint32_t> wrongCommandByFault;
  uint32_t holdsFailed = 0;
  uint32_t corrupted = 0;
  uint32_t hangs = 0;
  uint32_t malformed = 0;
  uint64_t longestMs = 0;
  std::vector<std::string> reports;
};

std::unique_ptr<vb::metersim::Simulator> StartMeter(int com, uint64_t seed) {
  vb::metersim::Options options;
  options.pairsPerLogger = 800;
  options.totalsRecords = 60;
  options.seed = seed;
  auto sim = std::make_unique<vb::metersim::Simulator>(options);
  if (!sim->start() || !vb::platform::setComDevicePath(com, sim->devicePath())) {
    std::fprintf(stderr, "soak: meter on COM%d: %s\n", com, sim->error().c_str());
    std::exit(2);
  }
  return sim;
}

// Holds or releases the host's link (2748, 2749); true when that succeeded.
bool HoldRequest(RequestRecord* request, int16_t code) {
  DibRecord dib{};
  ResultRecord result{};
  request->requestCode = code;
  return VantbrookRequest(&dib, request, &result) == 1;
}

void RunHost(int com, const Settings& settings, std::atomic<uint32_t>& next,
             std::chrono::steady_clock::time_point deadline,
             std::unique_ptr<vb::metersim::Simulator>& sim, Tally& tally) {
  std::mt19937_64 random(settings.seed * 1000 + static_cast<uint64_t>(com));
  const vb::reliability::LineSettings line;
  RequestRecord request = vb::reliability::MakeRequest(line, com);
  uint32_t inSession = 0;
  while (next.fetch_add(1) < settings.requests && std::chrono::steady_clock::now() < deadline) {
    const FaultKind& fault = DrawFault(random);
    const Job job = static_cast<Job>(random() % 3);
    Faults faults;
    fault.arm(faults, random);
    if (settings.held > 0 && inSession == 0 && !HoldRequest(&request, VB_REQ_HOLD)) {
      std::lock_guard<std::mutex> guard(tally.lock);
      ++tally.holdsFailed;
    }
    sim->setFaults(faults);
    const vb::reliability::Outcome outcome =
        vb::reliability::RunJobOnRecord(sim->model(), &request, job);
    const uint64_t bound = vb::reliability::RequestBoundMs(request);
    // A session ends after its requests, and before a vanished meter is
    // replaced.
    if (settings.held > 0 && (++inSession == settings.held || faults.vanish)) {
      HoldRequest(&request, VB_REQ_RELEASE);
      inSession = 0;
    }

    std::lock_guard<std::mutex> guard(tally.lock);
    if (++tally.completed == tally.warmUpAfter) tally.warmUp = Measure();
    tally.longestMs = std::max(tally.longestMs, outcome.elapsedMs);
    const std::string what = std::string(vb::reliability::JobName(job)) + " under " + fault.name;
    if (outcome.returned == 1) {
      ++tally.successes;
    } else {
      ++tally.failuresByCode[outcome.result.code];
      const std::string message =
          vb::reliability::FieldText(outcome.result.message, sizeof outcome.result.message);
      if (message.rfind("Wrong command number", 0) == 0) ++tally.wrongCommandByFault[fault.name];
      tally.sampleMessage.emplace(
          outcome.result.code,
          vb::reliability::FieldText(outcome.result.message, sizeof outcome.result.message) +
              " (" + what + ")");
    }
    if (!outcome.dataProblem.empty()) {
      ++tally.corrupted;
      tally.reports.push_back("corrupted: " + what + ": " + outcome.dataProblem);
    }
    if (!outcome.resultProblem.empty()) {
      ++tally.malformed;
      tally.reports.push_back("result: " + what + ": " + outcome.resultProblem);
    }
    if (outcome.elapsedMs > bound) {
      ++tally.hangs;
      tally.reports.push_back("hang: " + what + " took " + std::to_string(outcome.elapsedMs) +
                              " ms, bound " + std::to_string(bound) + " ms");
    }
    // A vanished meter never answers again: put a fresh one on the line.
    if (faults.vanish) {
      sim->stop();
      sim = StartMeter(com, random());
    } else {
      sim->setFaults(Faults{});
    }
  }
  if (inSession > 0) HoldRequest(&request, VB_REQ_RELEASE);
}

bool ParseArguments(int argc, char** argv, Settings* settings) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
    if (name == "--requests") {
      settings->requests = static_cast<uint32_t>(value);
    } else if (name == "--seconds" && value >= 1 && value <= kMaxSeconds) {
      settings->seconds = static_cast<uint32_t>(value);
    } else if (name == "--meters" && value >= 1 && value <= 8) {
      settings->meters = static_cast<int>(value);
    } else if (name == "--seed") {
      settings->seed = value;
    } else if (name == "--held" && value <= 1000) {
      settings->held = static_cast<uint32_t>(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: %s [--requests N] [--seconds 1..%lu] [--meters 1..8] [--seed K] "
                 "[--held 0..1000]\n",
                 argv[0], kMaxSeconds);
    return 2;
  }
  std::vector<std::unique_ptr<vb::metersim::Simulator>> meters;
  for (int com = 1; com <= settings.meters; ++com) {
    meters.push_back(StartMeter(com, settings.seed + static_cast<uint64_t>(com)));
  }
  const Figures start = Measure();
  const auto began = std::chrono::steady_clock::now();
  const auto deadline = began + std::chrono::seconds(settings.seconds);

  Tally tally;
  tally.warmUpAfter = std::max<uint32_t>(1, settings.requests / 10);
  tally.warmUp = start;
  std::atomic<uint32_t> next{0};
  std::vector<std::unique_ptr<vb::platform::Thread>> hosts;
  for (int com = 1; com <= settings.meters; ++com) {
    hosts.push_back(std::make_unique<vb::platform::Thread>());
    auto& meter = meters[static_cast<size_t>(com - 1)];
    if (!hosts.back()->start(
            [com, &settings, &next, deadline, &meter, &tally] {
              RunHost(com, settings, next, deadline, meter, tally);
            })) {
      std::fprintf(stderr, "soak: cannot start host thread\n");
      return 2;
    }
  }
  const auto joinDeadline = deadline + std::chrono::milliseconds(kJoinGraceMs);
  for (auto& host : hosts) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        joinDeadline - std::chrono::steady_clock::now());
    if (!host->joinFor(static_cast<uint32_t>(std::max<int64_t>(0, left.count())))) {
      std::fprintf(stderr, "soak: a host thread did not finish\n");
      return 3;
    }
  }
  const Figures end = Measure();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

  uint32_t failures = 0;
  for (const auto& entry : tally.failuresByCode) failures += entry.second;
  std::printf("requests        %u in %.1f s on %d meters (longest %llu ms)\n",
              tally.successes + failures, seconds, settings.meters,
              static_cast<unsigned long long>(tally.longestMs));
  if (settings.held > 0) {
    std::printf("held links      sessions of %u requests, %u holds failed\n", settings.held,
                tally.holdsFailed);
  }
  std::printf("successes       %u\n", tally.successes);
  std::printf("failures        %u\n", failures);
  for (const auto& entry : tally.failuresByCode) {
    std::printf("  code %2d       %u  e.g. \"%s\"\n", entry.first, entry.second,
                tally.sampleMessage[entry.first].c_str());
  }
  for (const auto& entry : tally.wrongCommandByFault) {
    std::printf("  wrong command number in reply: %u under %s\n", entry.second,
                entry.first.c_str());
  }
  std::printf("corrupted       %u\n", tally.corrupted);
  std::printf("hangs           %u\n", tally.hangs);
  std::printf("bad results     %u\n", tally.malformed);
  std::printf("                start -> after %u requests -> end\n", tally.warmUpAfter);
  std::printf("descriptors     %d -> %d -> %d\n", start.descriptors, tally.warmUp.descriptors,
              end.descriptors);
  std::printf("threads         %d -> %d -> %d\n", start.threads, tally.warmUp.threads, end.threads);
  std::printf("resident kB     %ld -> %ld -> %ld\n", start.residentKb, tally.warmUp.residentKb,
              end.residentKb);
  for (const std::string& report : tally.reports) std::printf("  %s\n", report.c_str());

  const bool grew = end.descriptors > start.descriptors || end.threads > start.threads ||
                    end.residentKb > tally.warmUp.residentKb + kResidentSlackKb;
  if (grew) std::printf("resources grew\n");
  for (auto& meter : meters) meter->stop();
  return tally.corrupted == 0 && tally.hangs == 0 && tally.malformed == 0 && !grew ? 0 : 1;
}
