// fleet_bench [--store] [--postgres] [--integrity] [--fleet] [--rerun]
// [--status] [--status-postgres] [--overlap]: the fleet collector's figures
// (all parts when none is named).
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
// --status  a store of 1,000 meters and 100,000,000 pairs, made with SQL
//          straight into the tables as the collector keeps them: its size,
//          and the time `vantbrook status` and Store::meterRecords take on
//          it. The store is deleted afterwards.
// --overlap  a modem line of 3 meters collected by `vantbrook collect` while
//          a second `vantbrook collect` of the same fleet file and store
//          starts, with --no-wait and without: the second run's exit status,
//          how long it waited and the failed attempts it recorded.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include <httplib.h>

#include <algorithm>

#include "collect_command.h"
#include "outbox_messages.h"
#include "collector.h"
#include "figures.h"
#include "fleet_file.h"
#include "meter_process.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "pair_times.h"
#include "platform/process.h"
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
// The status store: 1,000 meters on 40 lines, two pair loggers each, 50,000
// pairs a logger (100,000,000 in all), 30 nightly runs behind it.
constexpr int kStatusMeters = 1000;
constexpr int kStatusMetersPerLine = 25;
constexpr int64_t kStatusPairsPerLogger = 50000;
constexpr int kStatusRuns = 30;
constexpr int kStatusTimings = 5;
// Free disk the status store asks for before it is made (it takes 3.2 GB).
constexpr uintmax_t kStatusStoreSpace = uintmax_t{10} << 30;
constexpr size_t kOverlapMeters = 3;
constexpr uint32_t kRunMs = 15 * 60 * 1000;
constexpr uint32_t kIdleMs = 30000;

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

// What the store of the status figures holds, meter n (1 to 1,000) by n:
// every 250th is missing (not collected for three days, no attempt since),
// every 333rd failing (four failed runs, its alarm open), every 100th late
// (a day and a half); the rest were collected an hour ago. Every 10th
// meter's logger 1 was restarted once (two epochs), every 20th (from 5)
// has a hole of 100 records in logger 2; alarms open and cleared to match.
// A number written with leading zeros, in the engine's SQL.
std::string padded(const std::string& prefix, const std::string& number, int width,
                   bool postgres) {
  if (postgres) {
    return "'" + prefix + "' || lpad((" + number + ")::text, " + std::to_string(width) + ", '0')";
  }
  return "printf('" + prefix + "%0" + std::to_string(width) + "d', " + number + ")";
}

std::vector<std::string> statusStoreStatements(int64_t now, bool postgres) {
  const std::string at = std::to_string(now);
  const std::string meters = std::to_string(kStatusMeters);
  const std::string runs = std::to_string(kStatusRuns);
  const std::string pairs = std::to_string(kStatusPairsPerLogger);
  const std::string state =
      "CASE WHEN n % 250 = 0 THEN 'missing' WHEN n % 333 = 0 THEN 'failing'"
      " WHEN n % 100 = 0 THEN 'late' ELSE 'ok' END";
  const std::string meterRows =
      "WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < " + meters +
      "), m(n, state) AS (SELECT n, " + state + " FROM k) ";
  return {
      "INSERT INTO runs(id, fleet_file, started_at, ended_at, meters_ok, meters_failed, host,"
      " pid, renewed_at, abandoned)"
      " WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < " + runs + ")"
      " SELECT n, 'fleet.toml', " + at + " - (" + runs + " - n) * 86400 - 7200, " + at +
          " - (" + runs + " - n) * 86400 - 3600, 990, 10, 'bench', 1, " + at + " - (" + runs +
          " - n) * 86400 - 3600, 0 FROM k",
      "INSERT INTO meters(id, meter, line, first_seen_at, last_success_at, interval_s,"
      " failed_runs) " + meterRows +
          "SELECT n, " + padded("meter-", "n", 4, postgres) + ", " +
          padded("line-", "(n - 1) / " + std::to_string(kStatusMetersPerLine), 2, postgres) +
          ", " + at + " - 40 * 86400, " + at +
          " - CASE state WHEN 'missing' THEN 3 * 86400 WHEN 'failing' THEN 4 * 86400"
          " WHEN 'late' THEN 36 * 3600 ELSE 3600 END, 86400,"
          " CASE state WHEN 'failing' THEN 4 WHEN 'late' THEN 1 ELSE 0 END FROM m",
      // A nightly attempt at every meter, but none at the missing ones in
      // the last three runs; the failing ones failed the last four, the
      // late ones the last.
      "INSERT INTO attempts(run_id, meter_row, line, started_at, ended_at, code, source,"
      " message, entries, bytes) " + meterRows +
          ", r(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM r WHERE k < " + runs + "),"
          " a(k, n, failed) AS (SELECT k, n, (state = 'failing' AND k > " + runs +
          " - 4) OR (state = 'late' AND k = " + runs + ") FROM r, m WHERE state <> 'missing' OR"
          " k <= " + runs + " - 3)"
          " SELECT k, n, " +
          padded("line-", "(n - 1) / " + std::to_string(kStatusMetersPerLine), 2, postgres) +
          ", " + at + " - (" + runs +
          " - k) * 86400 - 7200 + n, " + at + " - (" + runs + " - k) * 86400 - 7180 + n,"
          " CASE WHEN failed THEN 16 ELSE 0 END, 'Vantbrook',"
          " CASE WHEN failed THEN 'Receiver timed out; dialling 0161555' || n ELSE '' END,"
          " CASE WHEN failed THEN 0 ELSE 192 END, CASE WHEN failed THEN 0 ELSE 1200 END"
          " FROM a",
      "INSERT INTO loggers(id, meter_row, log_no) " + meterRows +
          "SELECT 2 * (n - 1) + log_no, n, log_no FROM m, (SELECT 1 AS log_no UNION ALL"
          " SELECT 2) AS l",
      // The epochs as the collector keeps them: first and last record stored
      // and how many.
      "INSERT INTO epochs(logger_id, number, reset_time, began_at, first_rsn, last_rsn, stored)"
      " SELECT id, 1, " + at + " - 800 * 86400, " + at + " - 40 * 86400, 1,"
      " CASE WHEN restarted THEN 10000 WHEN holed THEN " + pairs + " + 100 ELSE " + pairs +
          " END, CASE WHEN restarted THEN 10000 ELSE " + pairs + " END"
          " FROM (SELECT id, meter_row % 10 = 0 AND log_no = 1 AS restarted,"
          " meter_row % 20 = 5 AND log_no = 2 AS holed FROM loggers) AS x"
          " UNION ALL SELECT id, 2, " + at + " - 400 * 86400, " + at + " - 20 * 86400, 1, " +
          pairs + " - 10000, " + pairs + " - 10000 FROM loggers"
          " WHERE meter_row % 10 = 0 AND log_no = 1",
      "INSERT INTO alarms(meter_row, log_no, kind, severity, raised_at, cleared_at, value,"
      " detail) " + meterRows +
          "SELECT n, 0, 'failing', 'critical', " + at + " - 2 * 86400, CAST(NULL AS BIGINT), 4,"
          " 'failed 4 runs in a row; last: Receiver timed out' FROM m WHERE state = 'failing'"
          " UNION ALL SELECT n, 0, 'not_collected', 'warning', " + at + " - 7200, NULL,"
          " CASE state WHEN 'late' THEN 36 * 3600 ELSE 3 * 86400 END,"
          " 'last collected ' || CASE state WHEN 'late' THEN '36h' ELSE '3d' END ||"
          " ' ago; expected every 1d' FROM m WHERE state IN ('late', 'missing')"
          " UNION ALL SELECT n, 2, 'records_missing', 'warning', " + at + " - 10 * 86400, NULL,"
          " 100, '100 records missing in epoch 1 of logger 2' FROM m WHERE n % 20 = 5"
          " UNION ALL SELECT n, 1, 'battery_1_warning', 'warning', " + at + " - 5 * 86400,"
          " NULL, 64, 'Battery 1 warning (logger 1)' FROM m WHERE n % 50 = 7"
          " UNION ALL SELECT n, 1, 'logger_restarted', 'warning', " + at + " - 20 * 86400, " +
          at + " - 19 * 86400, 2, 'logger 1 restarted; epoch 2 begins' FROM m WHERE n % 10 = 0"
          " UNION ALL SELECT n, 0, 'clock_drift', 'warning', " + at + " - 9 * 86400, " + at +
          " - 8 * 86400, 75, 'meter clock 75 s from the host''s; set_clock is off' FROM m"
          " WHERE n % 3 = 0",
  };
}

// Fills the epoch's pairs, `stored` of them from its first record number,
// with the hole its last record number leaves in the middle.
bool fillEpoch(vb::fleet::Store& store, int64_t epochId, int64_t now, bool postgres) {
  const std::string id = std::to_string(epochId);
  const int64_t first = store.scalar("SELECT first_rsn FROM epochs WHERE id = " + id);
  const int64_t last = store.scalar("SELECT last_rsn FROM epochs WHERE id = " + id);
  const int64_t stored = store.scalar("SELECT stored FROM epochs WHERE id = " + id);
  const bool converted =
      store.scalar("SELECT l.meter_row % 2 FROM epochs e JOIN loggers l ON l.id = e.logger_id"
                   " WHERE e.id = " + id) == 1;
  const std::string hole = std::to_string(last - first + 1 - stored);
  const std::string values =
      converted ? "round((i % 977) * 0.37, 2), round(20 + (i % 311) * 0.05, 2), 1"
                : "(i * 37) % 4096, 2000 + i % 311, 0";
  store.scalar("INSERT INTO pairs(epoch_id, rsn, time, flow, pressure, converted)"
               " WITH RECURSIVE k(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM k WHERE i < " +
               std::to_string(stored - 1) + ") SELECT " + id + ", " + std::to_string(first) +
               " + i + CASE WHEN i >= " + std::to_string(stored / 2) + " THEN " + hole +
               " ELSE 0 END, " + std::to_string(now - 900 * (last - first + 1)) +
               " + 900 * i, " + values + " FROM k");
  if (postgres) return store.scalar("SELECT count(*) FROM pairs WHERE epoch_id = " + id) == stored;
  return store.scalar("SELECT changes()") == stored;
}

// The collection service on the status store: what its API answers cost,
// what its dashboard's first page weighs, and what it costs idle. Its fleet
// file names one meter, not due for a day, on a line that is never opened.
bool serviceFigures(const std::string& storePath, int64_t now) {
  const std::string name = "service (1,000 meters, 100,000,000 pairs)";
  const std::string fleetPath = scratch("service.toml");
  std::ofstream(fleetPath) << "[[line]]\nname = \"idle\"\ndevice = \"/nonexistent/bench-line\"\n"
                              "[[meter]]\nid = \"meter-0001\"\nline = \"idle\"\n"
                              "interval = \"1d\"\n";
  vb::platform::ChildProcess service;
  vb::platform::ProcessOptions options;
  options.captureStandardError = true;
  std::string line;
  int port = 0;
  if (service.start(VANTBROOK_PROGRAM, {"serve", fleetPath, "--db", storePath, "--http",
                                        "127.0.0.1:0"},
                    options)) {
    while (port == 0 && service.readErrorLine(&line, kRunMs)) {
      const size_t at = line.find("http://127.0.0.1:");
      if (at != std::string::npos) port = std::stoi(line.substr(at + 17));
    }
  }
  if (port == 0) {
    std::fprintf(stderr, "fleet_bench: vantbrook serve did not start: %s\n",
                 service.standardError().c_str());
    return false;
  }
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(60, 0);
  // The collector checks the store for damage before its lines start (on a
  // store this size that takes a while); the figures are of the service
  // after it: its line says what it does once it has started.
  const uint64_t startedAt = vb::platform::nowMs();
  bool linesStarted = false;
  while (!linesStarted && vb::platform::nowMs() < startedAt + kRunMs) {
    httplib::Result lines = client.Get("/api/lines");
    linesStarted = lines && lines->status == 200 &&
                   lines->body.find("\"stage\":\"\"") == std::string::npos;
    if (!linesStarted) vb::platform::sleepMs(200);
  }
  const double startSeconds = static_cast<double>(vb::platform::nowMs() - startedAt) / 1000;
  auto timed = [&client](const std::string& path, std::string* body) {
    std::vector<double> ms;
    for (int i = 0; i < kStatusTimings; ++i) {
      const uint64_t start = vb::platform::nowMs();
      httplib::Result result = client.Get(path.c_str());
      ms.push_back(static_cast<double>(vb::platform::nowMs() - start));
      if (!result || result->status != 200) return -1.0;
      *body = result->body;
    }
    return vb::bench::median(ms);
  };
  std::string body;
  const double metersMs = timed("/api/meters", &body);
  const bool allMeters = body.find("\"meters\":1000") != std::string::npos;
  // A meter-year of 15-minute pairs of logger 1, in 2,000 buckets.
  const std::string to = vb::fleet::meterTimeText(static_cast<uint32_t>(now));
  const std::string from = vb::fleet::meterTimeText(static_cast<uint32_t>(now - 365 * 86400));
  const double seriesMs = timed("/api/meters/meter-0002/series?logger=1&from=" + from +
                                    "&to=" + to + "&points=2000&units=raw",
                                &body);
  const size_t buckets = static_cast<size_t>(std::count(body.begin(), body.end(), '{')) / 3;
  size_t pageBytes = 0;
  for (const char* asset : {"/", "/app.css", "/app.js"}) {
    httplib::Result result = client.Get(asset);
    if (result) pageBytes += result->body.size();
  }
  // Idle: nothing due, nobody asking.
  const double cpuBefore = vb::platform::processCpuSecondsOf(service.pid());
  const uint64_t idleStart = vb::platform::nowMs();
  vb::platform::sleepMs(kIdleMs);
  const double idleCpu = vb::platform::processCpuSecondsOf(service.pid()) - cpuBefore;
  const double idleSeconds = static_cast<double>(vb::platform::nowMs() - idleStart) / 1000;
  service.terminate();
  service.waitFor(kRunMs);
  if (!linesStarted || metersMs < 0 || seriesMs < 0 || !allMeters) {
    std::fprintf(stderr, "fleet_bench: the service's API failed\n");
    return false;
  }
  printFigure(name, "start: until the lines start, after the store's damage check (s)",
              fixed(startSeconds, 1));
  printFigure(name, "GET /api/meters, median of 5 (ms)", fixed(metersMs, 1), "< 50");
  printFigure(name, "GET series, a meter-year in 2,000 points, median of 5 (ms)",
              fixed(seriesMs, 1) + " (" + std::to_string(buckets) + " buckets)", "< 100");
  printFigure(name, "dashboard's first page (kB, uncompressed)",
              fixed(static_cast<double>(pageBytes) / 1000, 1), "< 300");
  printFigure(name, "idle service (% of one core, " + std::to_string(kIdleMs / 1000) + " s)",
              fixed(100 * idleCpu / idleSeconds, 3), "< 0.5");
  return true;
}

// `vantbrook status` and Store::meterRecords on 1,000 meters and
// 100,000,000 pairs, on SQLite (then the service on the same store) or on
// PostgreSQL (a cluster of its own).
bool statusFigures(bool postgres) {
  const std::string name = std::string("fleet status (1,000 meters, 100,000,000 pairs, ") +
                           (postgres ? "PostgreSQL)" : "SQLite)");
  std::unique_ptr<vb::test::PostgresServer> server;
  std::string path = scratch("status.db");
  if (postgres) {
    std::string error;
    server = vb::test::PostgresServer::startCluster({}, &error);
    std::optional<std::string> address = server ? server->createDatabase(&error) : std::nullopt;
    if (!address) {
      std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
      return false;
    }
    path = *address;
  }
  std::error_code failure;
  // Both stores are made in the temporary folder: the SQLite file, or the
  // PostgreSQL cluster's data folder.
  const std::filesystem::space_info space =
      std::filesystem::space(std::filesystem::temp_directory_path(), failure);
  if (failure || space.available < kStatusStoreSpace) {
    printFigure(name, "skipped: free disk (GB)",
                fixed(static_cast<double>(space.available) / (1 << 30), 1), ">= 10");
    return true;
  }
  auto removeStore = [&path, postgres] {
    if (postgres) return;  // the cluster goes with the server
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  };
  const int64_t now = vb::platform::wallClockSeconds();
  const uint64_t fillStart = vb::platform::nowMs();
  std::string error;
  std::unique_ptr<vb::fleet::Store> store = vb::fleet::Store::open(path, &error);
  if (!store) {
    std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
    return false;
  }
  // One transaction (and on SQLite no journal): a failed fill is thrown
  // away whole.
  if (!postgres) {
    store->scalar("PRAGMA journal_mode = OFF");
    store->scalar("PRAGMA synchronous = OFF");
  }
  store->scalar("BEGIN");
  for (const std::string& statement : statusStoreStatements(now, postgres)) {
    store->scalar(statement);
  }
  const int64_t epochs = store->scalar("SELECT max(id) FROM epochs");
  bool filled = store->scalar("SELECT count(*) FROM meters") == kStatusMeters &&
                store->scalar("SELECT sum(stored) FROM epochs") ==
                    2 * kStatusMeters * kStatusPairsPerLogger;
  for (int64_t epoch = 1; filled && epoch <= epochs; ++epoch) {
    filled = fillEpoch(*store, epoch, now, postgres);
  }
  store->scalar("COMMIT");
  if (postgres) {
    store->scalar("ANALYZE");
  } else {
    store->scalar("PRAGMA journal_mode = WAL");
  }
  const double gigabytes =
      postgres ? static_cast<double>(store->scalar("SELECT pg_database_size(current_database())")) / 1e9
               : 0;
  store.reset();
  const double fillSeconds = static_cast<double>(vb::platform::nowMs() - fillStart) / 1000;
  if (!filled) {
    std::fprintf(stderr, "fleet_bench: the status store was not filled as planned\n");
    removeStore();
    return false;
  }
  const double size =
      postgres ? gigabytes : static_cast<double>(std::filesystem::file_size(path)) / 1e9;

  std::vector<double> programMs;
  std::string summary;
  for (int i = 0; i < kStatusTimings; ++i) {
    vb::platform::ChildProcess status;
    const uint64_t start = vb::platform::nowMs();
    const bool ran = status.start(VANTBROOK_PROGRAM, {"status", "--db", path}) &&
                     status.readLine(&summary, kRunMs) && status.waitFor(kRunMs);
    programMs.push_back(static_cast<double>(vb::platform::nowMs() - start));
    // Failing and missing meters make the check critical.
    if (!ran || status.exitStatus() != 2) {
      std::fprintf(stderr, "fleet_bench: vantbrook status: exit %d: %s\n", status.exitStatus(),
                   summary.c_str());
      removeStore();
      return false;
    }
  }
  std::vector<double> callMs;
  store = vb::fleet::Store::openForReading(path, &error);
  std::vector<vb::fleet::MeterRecord> records;
  for (int i = 0; store && i < kStatusTimings; ++i) {
    const uint64_t start = vb::platform::nowMs();
    if (!store->meterRecords(vb::fleet::MeterSelection(), &records, &error)) break;
    callMs.push_back(static_cast<double>(vb::platform::nowMs() - start));
  }
  store.reset();
  const bool served = postgres || serviceFigures(path, now);
  removeStore();
  if (!served) return false;
  if (callMs.size() != kStatusTimings || records.size() != kStatusMeters) {
    std::fprintf(stderr, "fleet_bench: meterRecords: %s\n", error.c_str());
    return false;
  }
  printFigure(name, "seconds to make the store with SQL", fixed(fillSeconds, 0));
  printFigure(name, "store size on disk (GB)", fixed(size, 2));
  printFigure(name, "vantbrook status, first / median of 5 (ms)",
              fixed(programMs.front(), 0) + " / " + fixed(vb::bench::median(programMs), 0),
              "well under 1,000");
  printFigure(name, "Store::meterRecords, median of 5 (ms)", fixed(vb::bench::median(callMs), 1));
  printFigure(name, "its summary line", summary);
  return true;
}

// A second `vantbrook collect` of the same fleet and store while a first
// one collects a modem line.
bool overlapFigures() {
  vb::bench::MeterProcess meters;
  std::vector<std::string> options = {"--modem", "--baud", std::to_string(kFleetBaud), "--pairs",
                                      std::to_string(kFleetPairs), "--seed", "11"};
  std::string text;
  for (size_t k = 0; k < kOverlapMeters; ++k) {
    const std::string number = std::to_string(5000 + k);
    options.insert(options.end(), {"--fleet-address", number});
    text += "[[meter]]\nid = \"m" + number + "\"\nline = \"gsm\"\naddress = \"" + number +
            "\"\nloggers = [1]\n";
  }
  if (!meters.start(options)) {
    std::fprintf(stderr, "fleet_bench: %s\n", meters.error().c_str());
    return false;
  }
  const std::string fleetPath = scratch("overlap.toml");
  std::ofstream(fleetPath) << "[[line]]\nname = \"gsm\"\ndevice = \"" + meters.devicePath() +
                                  "\"\nkind = \"dial\"\nbaud = " + std::to_string(kFleetBaud) +
                                  "\n" + text;
  vb::platform::ProcessOptions quiet;
  quiet.captureStandardError = true;
  for (const bool noWait : {true, false}) {
    const std::string dbPath = scratch("overlap.db");
    const std::vector<std::string> collect = {"collect", fleetPath, "--db", dbPath, "--progress",
                                              "lines"};
    vb::platform::ChildProcess first;
    if (!first.start(VANTBROOK_PROGRAM, collect, quiet)) return false;
    // The second run starts once the first holds the line.
    std::string error;
    std::unique_ptr<vb::fleet::Store> store;
    const uint64_t deadline = vb::platform::nowMs() + kRunMs;
    while (vb::platform::nowMs() < deadline && first.running() &&
           !(store && store->scalar("SELECT count(*) FROM leases") > 0)) {
      vb::platform::sleepMs(100);
      if (!store) store = vb::fleet::Store::openForReading(dbPath, &error);
    }
    store.reset();
    std::vector<std::string> secondArguments = collect;
    if (noWait) secondArguments.push_back("--no-wait");
    vb::platform::ChildProcess second;
    const uint64_t start = vb::platform::nowMs();
    const bool secondEnded =
        second.start(VANTBROOK_PROGRAM, secondArguments, quiet) && second.waitFor(kRunMs);
    const double seconds = static_cast<double>(vb::platform::nowMs() - start) / 1000;
    if (!secondEnded || !first.waitFor(kRunMs)) {
      std::fprintf(stderr, "fleet_bench: an overlapping run did not end\n");
      return false;
    }
    store = vb::fleet::Store::openForReading(dbPath, &error);
    if (!store) return false;
    // The second run is the one that began second.
    const std::string run = "(SELECT max(id) FROM runs)";
    const int64_t attempts = store->scalar("SELECT count(*) FROM attempts WHERE run_id = " + run);
    const int64_t failed = store->scalar(
        "SELECT count(*) FROM attempts WHERE run_id = " + run + " AND coalesce(code, -1) <> 0");
    const int64_t waited = store->scalar(
        "SELECT coalesce(min(a.started_at), r.ended_at) - r.started_at FROM runs r"
        " LEFT JOIN attempts a ON a.run_id = r.id WHERE r.id = " + run);
    const std::string name = std::string("fleet overlapping run (") +
                             std::to_string(kOverlapMeters) + " modem meters" +
                             (noWait ? ", --no-wait)" : ", waiting)");
    printFigure(name, "exit status of the first / second run",
                std::to_string(first.exitStatus()) + " / " + std::to_string(second.exitStatus()),
                "0 / 0");
    printFigure(name, "second run: wall time, of it waiting for the line (s)",
                fixed(seconds, 1) + ", " + std::to_string(waited));
    printFigure(name, "second run: attempts, failed attempts recorded",
                std::to_string(attempts) + ", " + std::to_string(failed),
                noWait ? "0, 0" : std::to_string(kOverlapMeters) + ", 0");
    if (first.exitStatus() != 0 || second.exitStatus() != 0 || failed != 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool store = false, postgres = false, integrity = false, fleet = false, rerun = false,
       status = false, statusPostgres = false, overlap = false;
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
    } else if (argument == "--status") {
      status = true;
    } else if (argument == "--status-postgres") {
      statusPostgres = true;
    } else if (argument == "--overlap") {
      overlap = true;
    } else {
      std::fprintf(stderr,
                   "usage: fleet_bench [--store] [--postgres] [--integrity] [--fleet] [--rerun]"
                   " [--status] [--status-postgres] [--overlap]\n");
      return 2;
    }
  }
  if (!store && !postgres && !integrity && !fleet && !rerun && !status && !statusPostgres &&
      !overlap) {
    store = postgres = integrity = fleet = rerun = status = statusPostgres = overlap = true;
  }
  bool ok = true;
  if (store) ok = storeFigures() && ok;
  if (postgres) ok = postgresFigures() && ok;
  if (integrity) ok = integrityFigures() && ok;
  if (rerun) ok = rerunFigures() && ok;
  if (fleet) ok = fleetFigures() && ok;
  if (status) ok = statusFigures(false) && ok;
  if (statusPostgres) ok = statusFigures(true) && ok;
  if (overlap) ok = overlapFigures() && ok;
  return ok ? 0 : 1;
}
