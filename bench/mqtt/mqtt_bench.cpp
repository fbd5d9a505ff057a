// mqtt_bench: a night of 1,000 meters' entries (loggers 1 and 2 every 15
// and 5 minutes) in the outbox as a collection with --mqtt-entries writes
// them, published to a local mosquitto with a QoS 1 subscriber: entries a
// second against what the lines can deliver.
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "figures.h"
#include "mqtt_publisher.h"
#include "outbox_messages.h"
#include "pair_times.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "store.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr size_t kMqttMeters = 1000;
constexpr uint32_t kDailyPairs[2] = {96, 288};  // loggers 1 and 2: every 15 and 5 minutes
constexpr double kNightSeconds = 6 * 3600;
constexpr size_t kMqttLines = 50;          // 20 meters a line
constexpr double kLinePairsASecond = 205;  // 10,000 pairs in 48.8 s at 9600 bit/s (goodput)
constexpr uint32_t kMqttMs = 600000;

std::string scratch(const std::string& name) {
  const std::string path = "/tmp/vantbrook-mqtt-bench-" + name;
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  return path;
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

int main(int argc, char**) {
  if (argc > 1) {
    std::fprintf(stderr, "usage: mqtt_bench\n");
    return 2;
  }
  return mqttFigures() ? 0 : 1;
}
