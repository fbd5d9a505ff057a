// fleet_bench [--store] [--integrity] [--fleet] [--rerun] [--mqtt]: the fleet
// collector's figures (all parts when none is named).
//
// --store  inserts a million pairs in downloads of 20,000 (as a collection
//          commits them), then exports them to CSV with `vantbrook export`.
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
// --mqtt   a night of 1,000 meters' entries (loggers 1 and 2 every 15 and
//          5 minutes) in the outbox as --mqtt-entries writes them, published
//          to a local mosquitto with a QoS 1 subscriber: entries a second
//          against what the lines can deliver.
#include <cstdio>
#include <fstream>
#include <memory>

#include "collect_command.h"
#include "collector.h"
#include "figures.h"
#include "fleet_file.h"
#include "meter_process.h"
#include "metersim/simulator.h"
#include "mqtt_publisher.h"
#include "outbox_messages.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "pair_times.h"
#include "platform/thread.h"
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
constexpr size_t kMqttMeters = 1000;
constexpr uint32_t kDailyPairs[2] = {96, 288};  // loggers 1 and 2: every 15 and 5 minutes
constexpr double kNightSeconds = 6 * 3600;
constexpr size_t kMqttLines = 50;       // 20 meters a line
constexpr double kLinePairsASecond = 205;  // 10,000 pairs in 48.8 s at 9600 bit/s (goodput)
constexpr uint32_t kMqttMs = 600000;

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

bool storeFigures() {
  const std::string path = scratch("store.db");
  const uint64_t insertStart = vb::platform::nowMs();
  std::unique_ptr<vb::fleet::Store> store = fillStore(path, kStorePairs);
  if (!store) return false;
  const double insertSeconds = static_cast<double>(vb::platform::nowMs() - insertStart) / 1000;
  store.reset();
  printFigure("fleet store", "pairs inserted a second (1,000,000 in downloads of 20,000)",
              fixed(kStorePairs / insertSeconds, 0), ">= 200,000");

  const uint64_t exportStart = vb::platform::nowMs();
  const int status =
      vb::cli::runExport({"--db", path, "--csv", "--output", scratch("export.csv")});
  const double exportSeconds = static_cast<double>(vb::platform::nowMs() - exportStart) / 1000;
  if (status != 0) return false;
  printFigure("fleet store", "pairs exported a second to CSV", fixed(kStorePairs / exportSeconds, 0),
              ">= 500,000");
  return true;
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

// A night's entries of kMqttMeters meters in a new store's outbox, as a
// collection with --mqtt-entries leaves them; the number of messages.
std::optional<size_t> fillOutbox(vb::fleet::Store& store, uint64_t* entries) {
  std::string error;
  std::optional<int64_t> run = store.beginRun("bench", 0, &error);
  size_t messages = 0;
  for (size_t m = 0; run && m < kMqttMeters; ++m) {
    const std::string meter = "m" + std::to_string(m);
    std::optional<int64_t> row = store.meterRow(meter, "line", 86400, 0, &error);
    std::optional<int64_t> attempt;
    if (row) attempt = store.beginAttempt(*run, *row, "line", 0, &error);
    for (int logNo = 1; attempt && logNo <= 2; ++logNo) {
      vb::fleet::LoggerPosition epoch;
      if (!store.beginEpoch(*row, logNo, 0, 0, &epoch, &error)) return std::nullopt;
      DataHeaderRecord header{};
      const uint32_t count = kDailyPairs[logNo - 1];
      header.firstPairRSN = 1;
      header.lastPairRSN = count;
      header.loggingInterval = static_cast<uint16_t>(86400 / count);
      header.firstPairDateTime = 1700000000;
      header.lastPairDateTime = header.firstPairDateTime + (count - 1) * header.loggingInterval;
      vb::fleet::DownloadBatch batch;
      batch.epochId = epoch.epochId;
      batch.attemptId = *attempt;
      batch.logNo = logNo;
      batch.converted = true;
      batch.dataHeader = &header;
      batch.meterRow = *row;
      for (uint32_t rsn = 1; rsn <= count; ++rsn) {
        batch.pairs.push_back({rsn, vb::fleet::pairTime(header, rsn), 12.5 + rsn % 40 * 0.25,
                               3.25 + rsn % 7 * 0.125});
      }
      batch.outbox = vb::fleet::entriesMessages(meter, logNo, epoch.epochNumber, batch);
      messages += batch.outbox.size();
      *entries += count;
      if (!store.storeDownload(batch, &error)) return std::nullopt;
    }
    if (!attempt) break;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "fleet_bench: %s\n", error.c_str());
    return std::nullopt;
  }
  return messages;
}

// A mosquitto broker on a free port of 127.0.0.1.
std::unique_ptr<vb::platform::ChildProcess> startBroker(int* port) {
  const int first = 21883 + vb::platform::currentProcessId() % 1000;
  for (*port = first; *port < first + 20; ++*port) {
    const std::string config = scratch("mosquitto.conf");
    std::ofstream(config) << "listener " << *port
                          << " 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n"
                             "log_type error\nlog_type information\nmax_queued_messages 0\n";
    auto broker = std::make_unique<vb::platform::ChildProcess>();
    vb::platform::ProcessOptions options;
    options.captureStandardError = true;
    if (!broker->start(MOSQUITTO_BROKER, {"-c", config}, options)) return nullptr;
    std::string line;
    while (broker->readErrorLine(&line, 10000)) {
      if (line.find(" running") != std::string::npos) return broker;
    }
  }
  return nullptr;
}

bool mqttFigures() {
  const std::string name = "fleet mqtt";
  const std::string path = scratch("mqtt.db");
  std::string error;
  std::unique_ptr<vb::fleet::Store> store = vb::fleet::Store::open(path, &error);
  uint64_t entries = 0;
  const std::optional<size_t> filled = store ? fillOutbox(*store, &entries) : std::nullopt;
  if (!filled) {
    std::fprintf(stderr, "fleet_bench: cannot fill the outbox: %s\n", error.c_str());
    return false;
  }
  const size_t messages = *filled;
  int port = 0;
  std::unique_ptr<vb::platform::ChildProcess> broker = startBroker(&port);
  vb::platform::ChildProcess subscriber;
  std::string line;
  // The subscriber is ready once the broker acknowledged its subscription,
  // which it says on a line of its own (stdbuf: at once, not at its end).
  bool subscribed =
      broker && subscriber.start(STDBUF, {"-oL", MOSQUITTO_SUB, "-p", std::to_string(port), "-q",
                                          "1", "-t", "bench/#", "-C", std::to_string(messages),
                                          "-d", "-F", "%l"});
  while (subscribed && line.find("SUBACK") == std::string::npos) {
    subscribed = subscriber.readLine(&line, 10000);
  }
  vb::fleet::MqttSettings settings;
  settings.url = "mqtt://127.0.0.1:" + std::to_string(port);
  settings.prefix = "bench";
  settings.entries = true;
  const std::optional<vb::fleet::MqttConfig> config = vb::fleet::mqttConfig(settings, &error);
  if (!subscribed || !config) {
    std::fprintf(stderr, "fleet_bench: no broker or subscriber for the MQTT figures %s\n",
                 error.c_str());
    return false;
  }
  vb::fleet::MqttPublisher publisher(*config, *store);
  const double cpuBefore = vb::platform::processCpuSeconds();
  const uint64_t start = vb::platform::nowMs();
  if (!publisher.start(&error)) return false;
  while (publisher.status().published < messages && vb::platform::nowMs() < start + kMqttMs) {
    vb::platform::sleepMs(10);
  }
  const double published = static_cast<double>(vb::platform::nowMs() - start) / 1000;
  const double cpu = vb::platform::processCpuSeconds() - cpuBefore;
  const bool received = subscriber.waitFor(kMqttMs) && subscriber.exitStatus() == 0;
  const double delivered = static_cast<double>(vb::platform::nowMs() - start) / 1000;
  publisher.finish(0);
  if (publisher.status().published != messages || !received) {
    std::fprintf(stderr, "fleet_bench: %llu of %zu messages published, the subscriber %s\n",
                 static_cast<unsigned long long>(publisher.status().published), messages,
                 received ? "got them all" : "did not get them all");
    return false;
  }
  const double lines = static_cast<double>(kMqttLines) * kLinePairsASecond;
  const double night = static_cast<double>(entries) / kNightSeconds;
  printFigure(name, "entries, messages in the outbox (1,000 meters' night)",
              std::to_string(entries) + ", " + std::to_string(messages));
  printFigure(name, "entries published a second (acknowledged and deleted)",
              fixed(static_cast<double>(entries) / published, 0),
              "> " + fixed(lines, 0) + " (the lines' most)");
  printFigure(name, "entries a second at the subscriber",
              fixed(static_cast<double>(entries) / delivered, 0));
  printFigure(name, "seconds for the night's entries", fixed(published, 2));
  printFigure(name, "publisher's CPU (% of one core)", fixed(100 * cpu / published, 1));
  printFigure(name, "the lines: 50 at once at 9600 bit/s / a 6-hour night (entries a second)",
              fixed(lines, 0) + " / " + fixed(night, 1));
  store.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool store = false, integrity = false, fleet = false, rerun = false, mqtt = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--store") {
      store = true;
    } else if (argument == "--integrity") {
      integrity = true;
    } else if (argument == "--fleet") {
      fleet = true;
    } else if (argument == "--rerun") {
      rerun = true;
    } else if (argument == "--mqtt") {
      mqtt = true;
    } else {
      std::fprintf(stderr,
                   "usage: fleet_bench [--store] [--integrity] [--fleet] [--rerun] [--mqtt]\n");
      return 2;
    }
  }
  if (!store && !integrity && !fleet && !rerun && !mqtt) {
    store = integrity = fleet = rerun = mqtt = true;
  }
  bool ok = true;
  if (store) ok = storeFigures() && ok;
  if (integrity) ok = integrityFigures() && ok;
  if (rerun) ok = rerunFigures() && ok;
  if (mqtt) ok = mqttFigures() && ok;
  if (fleet) ok = fleetFigures() && ok;
  return ok ? 0 : 1;
}
