// What the fleet's tests against the real metersim share: fleet files
// written on the fly, simulated lines on the tests' pinned meter clock, a
// collection into a fresh store, the programs run as a nightly job runs
// them, and questions put to the store.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "collector.h"
#include "fleet_file.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "store.h"
#include "test_meter_clock.h"

namespace vb::fleet {

// Generous: CI machines are small and sanitizers slow them.
inline constexpr uint32_t kStartMs = 20000;
inline constexpr uint32_t kRunMs = 300000;
inline constexpr uint32_t kPollMs = 50;

// A parameterised test's name holds a slash; its files stay in the folder.
inline std::string tempPath(const std::string& name) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string test = info->name();
  std::replace(test.begin(), test.end(), '/', '-');
  return ::testing::TempDir() + "/" + test + "-" + name;
}

inline std::string lineTable(const std::string& name, const std::string& device, const char* kind,
                      const std::string& extra = "") {
  return "[[line]]\nname = \"" + name + "\"\ndevice = \"" + device + "\"\nkind = \"" + kind +
         "\"\nbaud = 19200\n" + extra;
}

inline std::string meterTable(const std::string& id, const std::string& line,
                       const std::string& extra = "") {
  return "[[meter]]\nid = \"" + id + "\"\nline = \"" + line + "\"\n" + extra;
}

// A simulated meter at 19200 bit/s (unless given another rate) on the
// tests' pinned meter clock (unless given a clock of its own, or told to
// follow the host's: a test that judges the meter's clock against the
// host's needs the two to agree).
inline std::unique_ptr<metersim::Simulator> startSimulator(
    metersim::Options options, test::MeterClock clock = test::MeterClock::Pinned) {
  options.baud = options.baud == 0 ? 19200 : options.baud;
  if (options.clockAtStart == 0) options = test::WithMeterClock(std::move(options), clock);
  auto simulator = std::make_unique<metersim::Simulator>(std::move(options));
  EXPECT_TRUE(simulator->start()) << simulator->error();
  return simulator;
}

// A store path of this test, with no store left from an earlier run.
inline std::string freshStorePath() {
  const std::string path = tempPath("store.db");
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  return path;
}

// Writes the fleet file, opens the store and collects once; *running
// points at the collector while it runs.
inline Summary collect(const std::string& fleetText, const std::string& dbPath,
                       CollectSettings settings = {}, const Collector** running = nullptr) {
  const std::string path = tempPath("fleet.toml");
  std::ofstream(path) << fleetText;
  std::string error;
  std::optional<Fleet> fleet = loadFleet(path, &error);
  EXPECT_TRUE(fleet) << error;
  if (!fleet || !mapDeviceLines(&*fleet, &error)) return {};
  std::unique_ptr<Store> store = Store::open(dbPath, &error);
  EXPECT_TRUE(store) << error;
  if (!store) return {};
  Collector collector(*fleet, *store, settings);
  if (running != nullptr) *running = &collector;
  return collector.run([](const MeterOutcome&, bool) {});
}

inline const MeterOutcome* outcomeOf(const Summary& summary, const std::string& meter) {
  for (const MeterOutcome& outcome : summary.meters) {
    if (outcome.meter == meter) return &outcome;
  }
  return nullptr;
}

inline std::unique_ptr<Store> reopen(const std::string& dbPath) {
  std::string error;
  std::unique_ptr<Store> store = Store::open(dbPath, &error);
  EXPECT_TRUE(store) << error;
  return store;
}

inline int64_t pairsOf(Store& store, const std::string& meter, int logNo) {
  return store.scalar(
      "SELECT count(*) FROM pairs p JOIN epochs e ON p.epoch_id = e.id JOIN loggers l ON"
      " e.logger_id = l.id JOIN meters m ON l.meter_row = m.id WHERE m.meter = '" +
      meter + "' AND l.log_no = " + std::to_string(logNo));
}

// Every epoch's records run without a gap from its first to its last.
inline int64_t epochsWithGaps(Store& store) {
  return store.scalar(
      "SELECT count(*) FROM (SELECT epoch_id FROM pairs GROUP BY epoch_id"
      " HAVING count(*) != max(rsn) - min(rsn) + 1)");
}

inline constexpr uint32_t kCdtfTo1970 = 631152000;

inline std::string storedCount(const std::string& meter, int logNo, const std::string& where) {
  return "SELECT count(*) FROM " + std::string(logNo == 3 ? "totals" : "pairs") +
         " x JOIN epochs e ON x.epoch_id = e.id JOIN loggers l ON e.logger_id = l.id"
         " JOIN meters m ON l.meter_row = m.id WHERE m.meter = '" + meter +
         "' AND l.log_no = " + std::to_string(logNo) + (where.empty() ? "" : " AND " + where);
}

// Every stored pair time is the meter's own time of that pair; pairs whose
// time the header does not fix have none. The count of pairs with a time.
inline int64_t checkPairTimes(Store& store, const metersim::MeterModel& meter, int logNo) {
  int64_t timed = 0;
  for (const metersim::Pair& pair : meter.pairs(static_cast<uint16_t>(logNo))) {
    const std::string rsn = "x.rsn = " + std::to_string(pair.rsn);
    if (store.scalar(storedCount("m", logNo, rsn + " AND x.time IS NOT NULL")) == 0) continue;
    ++timed;
    EXPECT_EQ(store.scalar(storedCount("m", logNo, rsn + " AND x.time = " +
                                                    std::to_string(int64_t{pair.time} + kCdtfTo1970))),
              1)
        << "pair " << pair.rsn << " stored with another time";
  }
  return timed;
}

// The program against the metersim program, as a nightly job runs it.
struct Program {
  std::unique_ptr<platform::ChildProcess> process = std::make_unique<platform::ChildProcess>();
  bool start(const std::string& program, const std::vector<std::string>& arguments) {
    platform::ProcessOptions options;
    options.captureStandardError = true;
    return process->start(program, arguments, options);
  }
  int wait() { return process->waitFor(kRunMs) ? process->exitStatus() : -1; }
};

// Polls until `reached` says so; false when the run's time is up first.
inline bool waitUntil(const std::function<bool()>& reached) {
  const uint64_t deadline = platform::nowMs() + kRunMs;
  while (platform::nowMs() < deadline) {
    if (reached()) return true;
    platform::sleepMs(kPollMs);
  }
  return false;
}

// Waits until the store answers `query` with at least `atLeast`.
inline bool waitForStore(const std::string& dbPath, const std::string& query, int64_t atLeast) {
  return waitUntil([&] {
    std::string error;
    std::unique_ptr<Store> store = Store::openForReading(dbPath, &error);
    return store && store->scalar(query) >= atLeast;
  });
}

}  // namespace vb::fleet
