// fleet_bench [--store] [--postgres] [--integrity] [--fleet] [--rerun]: the
// fleet collector's figures (all parts when none is named).
//
// --store  inserts a million pairs in downloads of 20,000 (as a collection
//          commits them), then exports them to CSV with `vantbrook export`.
// --postgres  the same on PostgreSQL (its pairs loaded with COPY), in a
//          private cluster started as the tests start theirs, but with
//          fsync and full page writes on, as a production server keeps them.
// --integrity  fills a store with ten million pairs and times the check of
//          the whole file that every run makes before and after collecting.
// --fleet  64 meters behind 8 modem lines at 9600 bit/s, 2,000 new pairs
//          each: the busiest line's meters collected one after another with
//          no other line running, then the whole fleet; the ratio of the two
//          wall times, the calls, and the host's processor share. The meters
//          run in metersim child processes, so the processor time is the
//          collector's alone.
// --rerun  a modem line of 8 meters collected twice with nothing logged in
//          between: the bytes the meters sent in each run, and what the
//          second run stored.
#include <cstdio>
#include <fstream>
#include <memory>

#include "collect_command.h"
#include "collector.h"
#include "figures.h"
#include "fleet_file.h"
#include "meter_process.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "pair_times.h"
#include "platform/thread.h"
#include "postgres_server.h"
#include "store.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr uint32_t kStorePairs = 1000000;
constexpr uint32_t kLargeStorePairs = 10000000;
constexpr uint32_t kBatchPairs = 20000;
constexpr size_t kFleetLines = 8;
constexpr size_t kMetersPerLine = 8;
constexpr uint32_t kFleetPairs = 2000;
constexpr uint32_t kFleetBaud = 9600;

std::string scratch(const std::string& name) {
  const std::string path = "/tmp/vantbrook-fleet-bench-" + name;
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  return path;
}

// Fills a new store at `path` with `count` raw pairs of one meter, in
// downloads of kBatchPairs as a collection writes them.
std::unique_ptr<vb::fleet::Store> fillStore(const std::string& path, uint32_t count) {
  std::string error;
  std::unique_ptr<vb::fleet::Store> store = vb::fleet::Store::open(path, &error);
  std::optional<int64_t> meter, run, attempt;
  vb::fleet::LoggerPosition epoch;
  if (store) meter = store->meterRow("bench", "line", 86400, 0, &error);
  if (meter) run = store->beginRun("bench", 0, &error);
  if (run) attempt = store->beginAttempt(*run, *meter, "line", 0, &error);
  if (!attempt || !store->beginEpoch(*meter, 1, 0, 0, &epoch, &error)) {
    std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
    return nullptr;
  }
  DataHeaderRecord header{};
  header.firstPairRSN = 1;
  header.lastPairRSN = count;
  header.firstPairDateTime = 1700000000;
  header.loggingInterval = 60;
  header.lastPairDateTime = header.firstPairDateTime + (count - 1) * header.loggingInterval;
  for (uint32_t first = 1; first <= count; first += kBatchPairs) {
    vb::fleet::DownloadBatch batch;
    batch.epochId = epoch.epochId;
    batch.attemptId = *attempt;
    batch.logNo = 1;
    batch.dataHeader = &header;
    for (uint32_t rsn = first; rsn < first + kBatchPairs && rsn <= count; ++rsn) {
      batch.pairs.push_back({rsn, vb::fleet::pairTime(header, rsn), double(1000 + rsn % 700),
                             double(2500 + rsn % 300)});
    }
    if (!store->storeDownload(batch, &error)) {
      std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
      return nullptr;
    }
  }
  return store;
}

// What the check a run makes of the whole file before and after it costs on
// a large store.
bool integrityFigures() {
  const std::string path = scratch("large.db");
  const uint64_t fillStart = vb::platform::nowMs();
  std::unique_ptr<vb::fleet::Store> store = fillStore(path, kLargeStorePairs);
  if (!store) return false;
  const double fillSeconds = static_cast<double>(vb::platform::nowMs() - fillStart) / 1000;
  store.reset();
  std::string error;
  store = vb::fleet::Store::open(path, &error);
  const uint64_t checkStart = vb::platform::nowMs();
  if (!store || !store->checkIntegrity(&error)) {
    std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
    return false;
  }
  const double checkSeconds = static_cast<double>(vb::platform::nowMs() - checkStart) / 1000;
  printFigure("fleet store", "seconds to fill a store of 10,000,000 pairs", fixed(fillSeconds, 1),
              "");
  printFigure("fleet store", "seconds of the damage check on 10,000,000 pairs",
              fixed(checkSeconds, 2), "a few seconds");
  store.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  return true;
}

// Inserts a million pairs into the store at `location` and exports them.
bool insertAndExportFigures(const std::string& location, const std::string& name) {
  const uint64_t insertStart = vb::platform::nowMs();
  std::unique_ptr<vb::fleet::Store> store = fillStore(location, kStorePairs);
  if (!store) return false;
  const double insertSeconds = static_cast<double>(vb::platform::nowMs() - insertStart) / 1000;
  store.reset();
  printFigure(name, "pairs inserted a second (1,000,000 in downloads of 20,000)",
              fixed(kStorePairs / insertSeconds, 0), ">= 200,000");

  const uint64_t exportStart = vb::platform::nowMs();
  const int status =
      vb::cli::runExport({"--db", location, "--csv", "--output", scratch("export.csv")});
  const double exportSeconds = static_cast<double>(vb::platform::nowMs() - exportStart) / 1000;
  if (status != 0) return false;
  printFigure(name, "pairs exported a second to CSV", fixed(kStorePairs / exportSeconds, 0),
              ">= 500,000");
  return true;
}

bool storeFigures() { return insertAndExportFigures(scratch("store.db"), "fleet store"); }

bool postgresFigures() {
  std::string error;
  vb::test::PostgresServer::Settings durable;
  durable.durable = true;
  std::unique_ptr<vb::test::PostgresServer> server =
      vb::test::PostgresServer::startCluster(durable, &error);
  std::optional<std::string> address;
  if (server) address = server->createDatabase(&error);
  if (!address) {
    std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
    return false;
  }
  return insertAndExportFigures(*address, "fleet store (PostgreSQL)");
}

struct ModemLine {
  std::unique_ptr<vb::bench::MeterProcess> meters = std::make_unique<vb::bench::MeterProcess>();
  std::vector<std::string> numbers;
};

std::string fleetText(const std::vector<ModemLine>& lines, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += "[[line]]\nname = \"gsm" + std::to_string(i) + "\"\ndevice = \"" +
            lines[i].meters->devicePath() + "\"\nkind = \"dial\"\nbaud = " +
            std::to_string(kFleetBaud) + "\n";
  }
  for (size_t i = 0; i < count; ++i) {
    for (const std::string& number : lines[i].numbers) {
      text += "[[meter]]\nid = \"m" + number + "\"\nline = \"gsm" + std::to_string(i) +
              "\"\naddress = \"" + number + "\"\nloggers = [1]\n";
    }
  }
  return text;
}

// Collects a fleet into the store `dbPath`.
std::optional<vb::fleet::Summary> collect(const std::string& text, const std::string& name,
                                          const std::string& dbPath, double* cpuSeconds) {
  const std::string fleetPath = scratch(name + ".toml");
  std::ofstream(fleetPath) << text;
  std::string error;
  std::optional<vb::fleet::Fleet> fleet = vb::fleet::loadFleet(fleetPath, &error);
  std::unique_ptr<vb::fleet::Store> store;
  if (fleet && vb::fleet::mapDeviceLines(&*fleet, &error)) {
    store = vb::fleet::Store::open(dbPath, &error);
  }
  if (!store) {
    std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
    return std::nullopt;
  }
  vb::fleet::Collector collector(*fleet, *store, {});
  const double cpuBefore = vb::platform::processCpuSeconds();
  vb::fleet::Summary summary = collector.run([](const vb::fleet::MeterOutcome& outcome, bool) {
    if (!outcome.ok) {
      std::fprintf(stderr, "fleet_bench: %s: %s\n", outcome.meter.c_str(), outcome.message.c_str());
    }
  });
  *cpuSeconds = vb::platform::processCpuSeconds() - cpuBefore;
  return summary;
}

bool fleetFigures() {
  std::vector<ModemLine> lines(kFleetLines);
  for (size_t i = 0; i < kFleetLines; ++i) {
    std::vector<std::string> options = {"--modem", "--baud", std::to_string(kFleetBaud), "--pairs",
                                        std::to_string(kFleetPairs), "--seed",
                                        std::to_string(100 * (i + 1))};
    for (size_t k = 0; k < kMetersPerLine; ++k) {
      lines[i].numbers.push_back(std::to_string(1000 * (i + 1) + k));
      options.push_back("--fleet-address");
      options.push_back(lines[i].numbers.back());
    }
    if (!lines[i].meters->start(options)) {
      std::fprintf(stderr, "fleet_bench: %s\n", lines[i].meters->error().c_str());
      return false;
    }
  }
  double cpu = 0;
  const std::optional<vb::fleet::Summary> alone =
      collect(fleetText(lines, 1), "alone", scratch("alone.db"), &cpu);
  const std::optional<vb::fleet::Summary> whole =
      collect(fleetText(lines, kFleetLines), "whole", scratch("whole.db"), &cpu);
  if (!alone || !whole) return false;
  const std::string name = "fleet 64 meters / 8 modems";
  printFigure(name, "busiest line alone (8 meters, s)", fixed(alone->seconds, 1));
  printFigure(name, "whole fleet (s)", fixed(whole->seconds, 1));
  printFigure(name, "whole fleet / busiest line alone", fixed(whole->seconds / alone->seconds, 3),
              "<= 1.05");
  printFigure(name, "meters collected", std::to_string(whole->metersOk) + " of " +
                                            std::to_string(whole->meters.size()));
  printFigure(name, "calls per meter",
              fixed(static_cast<double>(whole->calls) / whole->meters.size(), 2), "1");
  printFigure(name, "pairs stored", std::to_string(whole->entriesNew),
              std::to_string(kFleetLines * kMetersPerLine * kFleetPairs));
  printFigure(name, "host CPU (% of one core)", fixed(100 * cpu / whole->seconds, 2), "< 5%");
  return whole->metersFailed == 0;
}

bool rerunFigures() {
  vb::metersim::Options options;
  options.front = vb::metersim::Front::Modem;
  options.baud = kFleetBaud;
  options.pairsPerLogger = kFleetPairs;
  for (size_t k = 0; k < kMetersPerLine; ++k) options.fleetAddresses.push_back(std::to_string(k));
  vb::metersim::Simulator simulator(options);
  if (!simulator.start()) return false;
  std::string text = "[[line]]\nname = \"gsm\"\ndevice = \"" + simulator.devicePath() +
                     "\"\nkind = \"dial\"\n";
  for (const std::string& number : options.fleetAddresses) {
    text += "[[meter]]\nid = \"m" + number + "\"\nline = \"gsm\"\naddress = \"" + number + "\"\n";
  }
  const std::string dbPath = scratch("rerun.db");
  std::vector<uint64_t> bytes;
  std::vector<double> seconds;
  for (int run = 0; run < 2; ++run) {
    const uint64_t before = simulator.bytesSent();
    double cpu = 0;
    const std::optional<vb::fleet::Summary> summary = collect(text, "rerun", dbPath, &cpu);
    if (!summary || summary->metersFailed != 0) return false;
    seconds.push_back(summary->seconds);
    bytes.push_back(simulator.bytesSent() - before);
  }
  std::string error;
  std::unique_ptr<vb::fleet::Store> store = vb::fleet::Store::openForReading(dbPath, &error);
  if (!store) return false;
  const std::string name = "fleet second run (8 meters, unchanged)";
  printFigure(name, "bytes on the line, first run", std::to_string(bytes[0]));
  printFigure(name, "bytes on the line, second run", std::to_string(bytes[1]));
  printFigure(name, "entries stored twice",
              std::to_string(store->scalar("SELECT count(*) - count(DISTINCT epoch_id || '/' || rsn)"
                                           " FROM pairs")),
              "0");
  printFigure(name, "entries new in the second run",
              std::to_string(store->scalar("SELECT sum(entries) FROM attempts WHERE run_id = 2")),
              "0");
  printFigure(name, "wall time first / second run (s)",
              fixed(seconds[0], 1) + " / " + fixed(seconds[1], 1));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool store = false, postgres = false, integrity = false, fleet = false, rerun = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--store") {
      store = true;
    } else if (argument == "--postgres") {
      postgres = true;
    } else if (argument == "--integrity") {
      integrity = true;
    } else if (argument == "--fleet") {
      fleet = true;
    } else if (argument == "--rerun") {
      rerun = true;
    } else {
      std::fprintf(stderr,
                   "usage: fleet_bench [--store] [--postgres] [--integrity] [--fleet] [--rerun]\n");
      return 2;
    }
  }
  if (!store && !postgres && !integrity && !fleet && !rerun) {
    store = postgres = integrity = fleet = rerun = true;
  }
  bool ok = true;
  if (store) ok = storeFigures() && ok;
  if (postgres) ok = postgresFigures() && ok;
  if (integrity) ok = integrityFigures() && ok;
  if (rerun) ok = rerunFigures() && ok;
  if (fleet) ok = fleetFigures() && ok;
  return ok ? 0 : 1;
}
