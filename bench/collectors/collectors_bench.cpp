// collectors_bench [--meters N] [--collectors C] [--lines L] [--pairs P]
// [--kill] [--claims]: many collectors, one PostgreSQL store (a cluster of
// its own, fsync on).
//
// N meters (default 256) behind C x L modem lines (default 4 x 8, one
// metersim process each, 9600 bit/s, every line reaching every meter), all
// lines in one pool, collected by C collector programs started together:
// the fleet's wall time against the sum of the meters' own line times
// spread over the lines, every meter exactly once. With --kill the first
// collector is killed (SIGKILL) once it is under way: how soon the others
// finish its meters, and that nothing was stored twice. With --claims, the
// cost of one claim (and its release) on a store of N meters.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "figures.h"
#include "meter_process.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "postgres_server.h"
#include "store.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr uint32_t kBaud = 9600;
constexpr uint32_t kRunMs = 60 * 60 * 1000;
constexpr uint32_t kStartMs = 60000;
constexpr uint32_t kPollMs = 200;
constexpr int kLeaseSeconds = 30;
constexpr int kClaims = 200;

struct Settings {
  size_t meters = 256;
  size_t collectors = 4;
  size_t linesPerCollector = 8;
  uint32_t pairs = 1000;
  bool kill = false;
  bool claims = false;
};

std::string scratch(const std::string& name) {
  return "/tmp/vantbrook-collectors-bench-" + name;
}

std::string number(size_t meter) { return std::to_string(700000 + meter); }

// The modem lines, each a metersim reaching every meter (one seed: the same
// data whichever line calls), and the fleet file of the pool.
bool startLines(const Settings& settings,
                std::vector<std::unique_ptr<vb::bench::MeterProcess>>* modems,
                std::string* fleetPath) {
  std::vector<std::string> options = {"--modem", "--baud", std::to_string(kBaud), "--pairs",
                                      std::to_string(settings.pairs), "--call-setup", "500"};
  for (size_t m = 0; m < settings.meters; ++m) {
    options.push_back("--fleet-address");
    options.push_back(number(m));
  }
  std::string fleet;
  for (size_t c = 0; c < settings.collectors; ++c) {
    for (size_t l = 0; l < settings.linesPerCollector; ++l) {
      modems->push_back(std::make_unique<vb::bench::MeterProcess>());
      if (!modems->back()->start(options)) {
        std::fprintf(stderr, "collectors_bench: %s\n", modems->back()->error().c_str());
        return false;
      }
      fleet += "[[line]]\nname = \"gsm-" + std::to_string(c) + "-" + std::to_string(l) +
               "\"\ndevice = \"" + modems->back()->devicePath() +
               "\"\nkind = \"dial\"\nbaud = " + std::to_string(kBaud) + "\ncollector = \"c" +
               std::to_string(c) + "\"\npool = \"gsm\"\n";
    }
  }
  for (size_t m = 0; m < settings.meters; ++m) {
    fleet += "[[meter]]\nid = \"m" + number(m) + "\"\npool = \"gsm\"\naddress = \"" + number(m) +
             "\"\nloggers = [1]\n";
  }
  *fleetPath = scratch("fleet.toml");
  std::ofstream(*fleetPath) << fleet;
  return true;
}

struct Collectors {
  std::vector<std::unique_ptr<vb::platform::ChildProcess>> programs;
  bool start(const Settings& settings, const std::string& fleetPath, const std::string& store) {
    for (size_t c = 0; c < settings.collectors; ++c) {
      auto program = std::make_unique<vb::platform::ChildProcess>();
      vb::platform::ProcessOptions options;
      options.captureStandardError = true;
      if (!program->start(VANTBROOK_PROGRAM,
                          {"collect", fleetPath, "--db", store, "--collector",
                           "c" + std::to_string(c), "--lease-time", std::to_string(kLeaseSeconds),
                           "--retry-delay", "2", "--json", "--progress", "off"},
                          options)) {
        return false;
      }
      programs.push_back(std::move(program));
    }
    return true;
  }
  // The summed line time of the meters the surviving collectors report.
  bool wait(double* lineSeconds, size_t* metersOk) {
    for (auto& program : programs) {
      if (!program) continue;
      if (!program->waitFor(kRunMs)) return false;
      const nlohmann::json summary =
          nlohmann::json::parse(program->standardOutput(), nullptr, false);
      if (summary.is_discarded()) {
        std::fprintf(stderr, "collectors_bench: a collector printed no summary: %s\n",
                     program->standardError().c_str());
        return false;
      }
      for (const auto& meter : summary["meters"]) {
        *lineSeconds += meter.value("line_seconds", 0.0);
        if (meter.value("ok", false)) ++*metersOk;
      }
    }
    return true;
  }
};

int64_t scalar(const std::string& store, const std::string& sql) {
  std::string error;
  std::unique_ptr<vb::fleet::Store> reader = vb::fleet::Store::openForReading(store, &error);
  return reader ? reader->scalar(sql) : -1;
}

bool poolFigures(const Settings& settings, vb::test::PostgresServer& server) {
  std::string error;
  const std::optional<std::string> store = server.createDatabase(&error);
  std::vector<std::unique_ptr<vb::bench::MeterProcess>> modems;
  std::string fleetPath;
  if (!store || !startLines(settings, &modems, &fleetPath)) {
    std::fprintf(stderr, "collectors_bench: %s\n", error.c_str());
    return false;
  }
  const size_t lines = settings.collectors * settings.linesPerCollector;
  Collectors collectors;
  const uint64_t start = vb::platform::nowMs();
  if (!collectors.start(settings, fleetPath, *store)) return false;
  uint64_t killedAt = 0;
  if (settings.kill) {
    // Killed once it holds meters of the pool mid-download.
    const uint64_t deadline = vb::platform::nowMs() + kStartMs;
    while (scalar(*store, "SELECT count(*) FROM leases WHERE resource LIKE 'meter %'"
                          " AND collector <> ''") < static_cast<int64_t>(settings.linesPerCollector) &&
           vb::platform::nowMs() < deadline) {
      vb::platform::sleepMs(kPollMs);
    }
    vb::platform::sleepMs(5000);
    collectors.programs.front().reset();  // SIGKILL, reaped
    killedAt = vb::platform::nowMs();
  }
  double lineSeconds = 0;
  size_t metersOk = 0;
  if (!collectors.wait(&lineSeconds, &metersOk)) return false;
  const double wall = static_cast<double>(vb::platform::nowMs() - start) / 1000;
  const std::string name = std::to_string(settings.meters) + " meters, " +
                           std::to_string(settings.collectors) + " collectors x " +
                           std::to_string(settings.linesPerCollector) + " modem lines, one pool" +
                           (settings.kill ? ", one killed" : "");
  const int64_t collected =
      scalar(*store, "SELECT count(DISTINCT meter_row) FROM attempts WHERE code = 0");
  const int64_t twice = scalar(*store,
                               "SELECT count(*) FROM (SELECT meter_row FROM attempts WHERE code = 0"
                               " GROUP BY meter_row HAVING count(*) > 1) AS twice");
  const int64_t pairs = scalar(*store, "SELECT count(*) FROM pairs");
  printFigure(name, "fleet wall time (s)", fixed(wall, 1));
  printFigure(name, "meters collected (in the store)", std::to_string(collected),
              std::to_string(settings.meters));
  printFigure(name, "meters collected twice", std::to_string(twice), "0");
  printFigure(name, "pairs stored", std::to_string(pairs),
              std::to_string(settings.meters * settings.pairs));
  if (!settings.kill) {
    const double spread = lineSeconds / static_cast<double>(lines);
    printFigure(name, "sum of the meters' line times / lines (s)", fixed(spread, 1));
    printFigure(name, "wall time / (line times / lines)", fixed(wall / spread, 3), "<= 1.05");
  } else {
    printFigure(name, "time from the kill to the fleet's end (s)",
                fixed(static_cast<double>(vb::platform::nowMs() - killedAt) / 1000, 1),
                "<= lease " + std::to_string(kLeaseSeconds) + " s + their line time");
  }
  return collected == int64_t(settings.meters) && twice == 0 &&
         pairs == int64_t(settings.meters * settings.pairs);
}

bool claimFigures(const Settings& settings, vb::test::PostgresServer& server) {
  std::string error;
  const std::optional<std::string> location = server.createDatabase(&error);
  std::unique_ptr<vb::fleet::Store> store =
      location ? vb::fleet::Store::open(*location, &error) : nullptr;
  std::optional<int64_t> run;
  if (store) run = store->beginRun("bench", vb::platform::wallClockSeconds(), &error);
  if (!run) {
    std::fprintf(stderr, "collectors_bench: %s\n", error.c_str());
    return false;
  }
  std::vector<std::string> meters;
  for (size_t m = 0; m < settings.meters; ++m) {
    meters.push_back("m" + number(m));
    if (!store->meterRow(meters.back(), "gsm", 86400, 0, &error)) return false;
  }
  vb::fleet::Store::ClaimRule rule;
  rule.collectedBefore = vb::platform::wallClockSeconds();
  rule.maxTries = 3;
  uint64_t claiming = 0, releasing = 0;
  for (int i = 0; i < kClaims; ++i) {
    std::optional<std::string> claimed;
    const uint64_t start = vb::platform::nowMs();
    const bool took = store->claimMeter(meters, rule, *run, "gsm-0",
                                        vb::platform::wallClockSeconds(), &claimed, &error);
    const uint64_t claimedAt = vb::platform::nowMs();
    if (!took || !claimed ||
        !store->releaseLease(vb::fleet::Store::meterResource(*claimed), *run, &error)) {
      std::fprintf(stderr, "collectors_bench: %s\n", error.c_str());
      return false;
    }
    claiming += claimedAt - start;
    releasing += vb::platform::nowMs() - claimedAt;
  }
  const std::string name = "claims on PostgreSQL (" + std::to_string(settings.meters) + " meters)";
  printFigure(name, "one claim (ms)", fixed(static_cast<double>(claiming) / kClaims, 2), "< 5");
  printFigure(name, "its release (ms)", fixed(static_cast<double>(releasing) / kClaims, 2));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  bool pool = true;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    auto next = [&](size_t* value) {
      if (i + 1 >= argc) return false;
      *value = std::stoul(argv[++i]);
      return *value > 0;
    };
    size_t pairs = 0;
    bool ok = true;
    if (argument == "--meters") {
      ok = next(&settings.meters);
    } else if (argument == "--collectors") {
      ok = next(&settings.collectors);
    } else if (argument == "--lines") {
      ok = next(&settings.linesPerCollector) && settings.linesPerCollector <= 8;
    } else if (argument == "--pairs") {
      ok = next(&pairs);
      settings.pairs = static_cast<uint32_t>(pairs);
    } else if (argument == "--kill") {
      settings.kill = true;
    } else if (argument == "--claims") {
      settings.claims = true;
      pool = false;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr,
                   "usage: collectors_bench [--meters N] [--collectors C] [--lines L (1-8)]"
                   " [--pairs P] [--kill] [--claims]\n");
      return 2;
    }
  }
  std::string error;
  vb::test::PostgresServer::Settings durable;
  durable.durable = true;
  std::unique_ptr<vb::test::PostgresServer> server =
      vb::test::PostgresServer::startCluster(durable, &error);
  if (!server) {
    std::fprintf(stderr, "collectors_bench: %s\n", error.c_str());
    return 1;
  }
  const bool ok = pool ? poolFigures(settings, *server) : claimFigures(settings, *server);
  return ok ? 0 : 1;
}
