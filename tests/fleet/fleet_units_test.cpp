// The fleet file's checks and the store's guarantees, without a meter.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "fleet_file.h"
#include "fleet_status.h"
#include "outbox_messages.h"
#include "pair_times.h"
#include "store.h"

namespace vb::fleet {
namespace {

std::string tempPath(const std::string& name) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "/" + info->name() + "-" + name;
}

std::string writeFile(const std::string& name, const std::string& text) {
  const std::string path = tempPath(name);
  std::ofstream(path) << text;
  return path;
}

const char kGoodLines[] =
    "[[line]]\nname = \"radio\"\ncom = 2\nkind = \"pnet\"\n"
    "[[line]]\nname = \"local\"\ndevice = \"/dev/ttyUSB0\"\n";

TEST(FleetFile, AGoodFileHasDefaultsFilledIn) {
  const std::string path = writeFile(
      "good.toml", std::string(kGoodLines) +
                       "[[meter]]\nid = \"m1\"\nline = \"radio\"\naddress = \"2624100\"\n"
                       "loggers = [1, 3]\nconvert = false\n"
                       "[[meter]]\nid = \"m2\"\nline = \"local\"\nset_clock = true\n");
  std::string error;
  std::optional<Fleet> fleet = loadFleet(path, &error);
  ASSERT_TRUE(fleet) << error;
  ASSERT_EQ(fleet->meters.size(), 2u);
  EXPECT_EQ(fleet->lines[0].baud, 4800u);
  EXPECT_EQ(fleet->meters[0].loggers, (std::vector<int>{1, 3}));
  EXPECT_FALSE(fleet->meters[0].convert);
  EXPECT_EQ(fleet->meters[1].lineIndex, 1u);
  EXPECT_TRUE(fleet->meters[1].convert);
  EXPECT_TRUE(fleet->meters[1].loggers.empty());
}

TEST(FleetFile, TheExampleFleetFileIsValid) {
  std::string error;
  EXPECT_TRUE(loadFleet(FLEET_EXAMPLE, &error)) << error;
}

TEST(FleetFile, AnErrorNamesFileLineAndKey) {
  struct Case {
    const char* what;
    std::string meters;
    std::string expected;  // after "<path>:"
  };
  const Case cases[] = {
      {"unknown key", "[[meter]]\nid = \"m\"\nline = \"radio\"\naddress = \"1\"\nspeed = 3\n",
       "12: key 'speed': unknown key in [[meter]]"},
      {"missing line", "[[meter]]\nid = \"m\"\nline = \"nowhere\"\n",
       "10: key 'line': meter 'm' names line 'nowhere', which is not defined"},
      {"duplicate meter id",
       "[[meter]]\nid = \"m\"\nline = \"local\"\n[[meter]]\nid = \"m\"\nline = \"local\"\n",
       "11: key 'id': meter 'm' defined twice"},
      {"password over 40 characters",
       "[[meter]]\nid = \"m\"\nline = \"local\"\npassword = \"" + std::string(41, 'x') + "\"\n",
       "11: key 'password': longer than 40 characters"},
      {"COM number out of range", "[[line]]\nname = \"x\"\ncom = 9\n",
       "10: key 'com': must be 1 to 8"},
      {"address missing on a PAD line", "[[meter]]\nid = \"m\"\nline = \"radio\"\n",
       "8: key 'address': meter 'm' is on a pnet line and needs an address"},
      {"TOML syntax", "[[meter]\n", "8: "},
      {"one device, two lines",
       "[[line]]\nname = \"again\"\ndevice = \"/dev/../dev/ttyUSB0\"\n"
       "[[meter]]\nid = \"m\"\nline = \"local\"\n",
       "8: key 'device': device /dev/../dev/ttyUSB0 is also line 'local'"},
  };
  for (const Case& c : cases) {
    const std::string path = writeFile("bad.toml", kGoodLines + c.meters);
    std::string error;
    EXPECT_FALSE(loadFleet(path, &error)) << c.what;
    EXPECT_EQ(error.rfind(path + ":" + c.expected, 0), 0u) << c.what << ": " << error;
  }
}

// Stops the test at the first store call that fails, with the store's words.
template <typename T>
T must(std::optional<T> value, const std::string& error) {
  EXPECT_TRUE(value) << error;
  return value.value_or(T());
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = tempPath("store.db");
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path_ + suffix).c_str());
    store_ = Store::open(path_, &error_);
    ASSERT_TRUE(store_) << error_;
    meter_ = must(store_->meterRow("m1", "radio", 86400, 1, &error_), error_);
    run_ = must(store_->beginRun("fleet.toml", 1, &error_), error_);
  }

  std::string path_;
  std::string error_;
  std::unique_ptr<Store> store_;
  int64_t meter_ = 0;
  int64_t run_ = 0;
};

TEST_F(StoreTest, ARetriedDownloadStoresNothingTwiceAndAbsentValuesStayAbsent) {
  const int64_t attempt = must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
  LoggerPosition epoch;
  ASSERT_TRUE(store_->beginEpoch(meter_, 1, 1000, 1, &epoch, &error_)) << error_;
  DataHeaderRecord header{};
  DownloadBatch batch;
  batch.epochId = epoch.epochId;
  batch.attemptId = attempt;
  batch.logNo = 1;
  batch.converted = true;
  batch.dataHeader = &header;
  batch.pairs = {{1, 700000000, 1.5, 2.5}, {2, std::nullopt, std::nullopt, 3.0}, {3, 700000120, 4, 5}};
  EXPECT_EQ(store_->storeDownload(batch, &error_), std::optional<uint64_t>(3)) << error_;
  // The retry overlaps what is stored: only records 4 and 5 are new.
  batch.pairs.push_back({4, 700000180, 6, 7});
  batch.pairs.push_back({5, 700000240, 8, 9});
  EXPECT_EQ(store_->storeDownload(batch, &error_), std::optional<uint64_t>(2)) << error_;
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM pairs"), 5);
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM pairs WHERE time IS NULL AND flow IS NULL"
                           " AND pressure = 3"),
            1);
  LoggerPosition position;
  ASSERT_TRUE(store_->loggerPosition(meter_, 1, &position, &error_)) << error_;
  EXPECT_EQ(position.lastRsn, std::optional<uint32_t>(5));
  // A new epoch starts with nothing stored.
  LoggerPosition next;
  ASSERT_TRUE(store_->beginEpoch(meter_, 1, 2000, 2, &next, &error_)) << error_;
  EXPECT_EQ(next.epochNumber, 2);
  ASSERT_TRUE(store_->loggerPosition(meter_, 1, &position, &error_)) << error_;
  EXPECT_FALSE(position.lastRsn);
}

TEST_F(StoreTest, AnUnchangedIdentityIsStoredOnceAndAChangeIsReported) {
  DibRecord dib{};
  std::snprintf(dib.meter_id, sizeof dib.meter_id, "A-1");
  bool changed = true;
  ASSERT_TRUE(store_->recordIdentity(meter_, dib, 1, &changed, &error_)) << error_;
  EXPECT_FALSE(changed);
  dib.reserved1[0] = 7;  // bytes the library never writes do not count
  ASSERT_TRUE(store_->recordIdentity(meter_, dib, 2, &changed, &error_)) << error_;
  EXPECT_FALSE(changed);
  dib.calibore = 80.0f;
  ASSERT_TRUE(store_->recordIdentity(meter_, dib, 3, &changed, &error_)) << error_;
  EXPECT_TRUE(changed);
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM identities"), 2);
}

// Files that are not a store of this version are refused as they are: no
// table added, the journal mode and the version left alone.
TEST(StoreFile, WhatIsNotAStoreIsRefusedUntouched) {
  struct Case {
    const char* what;
    const char* sql;
    const char* reason;
  };
  const Case cases[] = {
      {"another database", "CREATE TABLE customers(id INTEGER)", "holds another database"},
      {"a newer store",
       "CREATE TABLE runs(id INTEGER); PRAGMA application_id = 1447187284;"
       " PRAGMA user_version = 99",
       "newer version"},
  };
  for (const Case& c : cases) {
    const std::string path = tempPath("file.db");
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.what;
    sqlite3_close(db);
    std::ifstream in(path, std::ios::binary);
    const std::string before(std::istreambuf_iterator<char>(in), {});
    std::string error;
    EXPECT_FALSE(Store::open(path, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    EXPECT_FALSE(Store::openForReading(path, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    std::ifstream after(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), before) << c.what;
    EXPECT_FALSE(std::ifstream(path + "-wal").good()) << c.what;
  }
}

TEST(StoreFile, ReadingGivesTheRealReasonForAnEmptyOrMissingFile) {
  const std::string empty = writeFile("empty.db", "");
  std::string error;
  EXPECT_FALSE(Store::openForReading(empty, &error));
  EXPECT_NE(error.find("is empty: not a store"), std::string::npos) << error;
  const std::string text = writeFile("text.db", "meter,logger\n");
  EXPECT_FALSE(Store::openForReading(text, &error));
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;
  EXPECT_FALSE(Store::openForReading(tempPath("none.db"), &error));
  EXPECT_NE(error.find("no such store"), std::string::npos) << error;
}

TEST_F(StoreTest, ADamagedPageIsFound) {
  LoggerPosition epoch;
  const int64_t attempt = must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
  ASSERT_TRUE(store_->beginEpoch(meter_, 1, 1000, 1, &epoch, &error_)) << error_;
  DataHeaderRecord header{};
  DownloadBatch batch;
  batch.epochId = epoch.epochId;
  batch.attemptId = attempt;
  batch.logNo = 1;
  batch.dataHeader = &header;
  for (uint32_t rsn = 1; rsn <= 5000; ++rsn) batch.pairs.push_back({rsn, rsn, 1.0, 2.0});
  ASSERT_TRUE(store_->storeDownload(batch, &error_)) << error_;
  EXPECT_TRUE(store_->checkIntegrity(&error_)) << error_;
  store_->scalar("PRAGMA wal_checkpoint(TRUNCATE)");
  store_.reset();
  // Overwrite one page in the middle of the pairs.
  std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(4096 * 6);
  file << std::string(4096, '\x5a');
  file.close();
  std::unique_ptr<Store> store = Store::open(path_, &error_);
  ASSERT_TRUE(store) << error_;
  EXPECT_FALSE(store->checkIntegrity(&error_));
  EXPECT_NE(error_.find("the store is damaged"), std::string::npos) << error_;
}

// A write the store cannot make (another connection holds the write lock)
// is reported by every bookkeeping member, never taken for done.
TEST_F(StoreTest, EveryWriteReportsThatItFailed) {
  const int64_t attempt = must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
  store_.reset();
  StoreOptions quick;
  quick.busyTimeoutMs = 100;
  std::unique_ptr<Store> store = Store::open(path_, &error_, quick);
  ASSERT_TRUE(store) << error_;
  std::unique_ptr<Store> holder = Store::open(path_, &error_);
  ASSERT_TRUE(holder) << error_;
  holder->scalar("BEGIN IMMEDIATE");

  std::string error;
  EXPECT_FALSE(store->beginRun("fleet.toml", 2, &error));
  EXPECT_FALSE(store->meterRow("m2", "radio", 86400, 2, &error));
  EXPECT_FALSE(store->beginAttempt(run_, meter_, "radio", 2, &error));
  EXPECT_FALSE(store->endAttempt(attempt, AttemptOutcome{}, &error));
  EXPECT_FALSE(store->markSuccess(meter_, 2, &error));
  EXPECT_FALSE(store->renewRun(run_, 2, &error));
  EXPECT_FALSE(store->endRun(run_, 2, 1, 0, &error));
  EXPECT_FALSE(store->recordEvent(meter_, 1, 2, kEventClockSet, 0, "x", &error));
  EXPECT_NE(error.find("database is locked"), std::string::npos) << error;
  holder->scalar("ROLLBACK");
  // An attempt row that is not there is not "updated" either.
  EXPECT_FALSE(store->endAttempt(attempt + 100, AttemptOutcome{}, &error));
}

TEST_F(StoreTest, ARunItsProcessLeftOpenIsClosedByTheNextAndItsAttemptsMarked) {
  must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
  // The first run's process is this one, still alive: its run stays open
  // until it stops renewing it.
  EXPECT_EQ(store_->closeAbandonedRuns(2, &error_), std::optional<uint32_t>(0)) << error_;
  EXPECT_EQ(store_->closeAbandonedRuns(2 + Store::kRunExpirySeconds, &error_),
            std::optional<uint32_t>(1))
      << error_;
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM runs WHERE ended_at IS NULL"), 0);
  EXPECT_EQ(store_->scalar("SELECT code FROM attempts"), kCodeAttemptAbandoned);
  // A run on this host whose process is gone is closed at once.
  const int64_t run = must(store_->beginRun("fleet.toml", 10, &error_), error_);
  store_->scalar("UPDATE runs SET pid = 999999999 WHERE id = " + std::to_string(run));
  EXPECT_EQ(store_->closeAbandonedRuns(11, &error_), std::optional<uint32_t>(1)) << error_;
}

TEST(StoreFile, RunsCreatingOneStoreAtOnceBothGetIt) {
  const std::string path = tempPath("store.db");
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  constexpr int kOpeners = 6;
  std::vector<std::thread> threads;
  std::atomic<int> opened{0};
  std::vector<std::string> errors(kOpeners);
  for (int i = 0; i < kOpeners; ++i) {
    threads.emplace_back([&, i] {
      if (Store::open(path, &errors[i])) ++opened;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& error : errors) EXPECT_EQ(error, "");
  EXPECT_EQ(opened.load(), kOpeners);
}

// A pair's time is stored only where the header fixes it.
TEST(PairTimes, OnlyWhereTheHeaderFixesThem) {
  constexpr uint32_t kT = 1000000000;  // 2001, a valid meter time
  struct Case {
    const char* what;
    uint32_t firstTime, lastTime, postTime;
    uint32_t rsn;
    std::optional<uint32_t> expected;
  };
  // Pairs 101..200 every 60 s.
  const Case cases[] = {
      {"regular: counted forward", kT, kT + 99 * 60, kT - 3600, 150, kT + 49 * 60},
      {"first time invalid, clock set before the last 10",
       kMeterClockZero, kT + 99 * 60, kT + 90 * 60, 195, kT + 94 * 60},
      {"first time invalid, before the clock setting", kMeterClockZero, kT + 99 * 60,
       kT + 90 * 60, 150, std::nullopt},
      {"first time invalid, clock setting unknown", kMeterClockZero, kT + 99 * 60,
       kMeterClockZero, 195, std::nullopt},
      {"last pair off the interval, after the setting", kT, kT + 99 * 60 + 7, kT + 50 * 60,
       200, kT + 99 * 60 + 7},
      {"last pair off the interval, before the setting", kT, kT + 99 * 60 + 7, kT + 50 * 60,
       120, std::nullopt},
      {"record outside the logger", kT, kT + 99 * 60, kT - 3600, 201, std::nullopt},
  };
  for (const Case& c : cases) {
    DataHeaderRecord header{};
    header.firstPairRSN = 101;
    header.lastPairRSN = 200;
    header.loggingInterval = 60;
    header.firstPairDateTime = c.firstTime;
    header.lastPairDateTime = c.lastTime;
    header.postDateTime = c.postTime;
    EXPECT_EQ(pairTime(header, c.rsn), c.expected) << c.what;
  }
}

// The verdict a monitoring system reads: the worst meter decides.
TEST(FleetOutboxMessages, AMeterIdIsOneTopicLevelWithoutWildcards) {
  MeterOutcome outcome;
  outcome.meter = "hill/2+#";
  const OutboxMessage reading = readingMessage(outcome, 0, {});
  EXPECT_EQ(reading.topic, "meter/hill_2__/reading");
  EXPECT_NE(reading.payload.find("\"meter\":\"hill/2+#\""), std::string::npos);
  AlarmChange cleared;
  cleared.meter = outcome.meter;
  cleared.kind = "failing";
  cleared.raised = false;
  EXPECT_EQ(alarmMessage(cleared).topic, "meter/hill_2__/alarm/failing");
}

TEST(FleetVerdict, TheWorstMeterDecides) {
  static constexpr int64_t kNow = 2000000000;
  static constexpr int64_t kDay = 86400;
  auto meter = [](std::optional<int64_t> lastSuccess, std::vector<std::string> alarms) {
    MeterRecord record;
    record.lastSuccessAt = lastSuccess;
    record.intervalS = kDay;
    for (const std::string& kind : alarms) {
      AlarmRow alarm;
      alarm.kind = kind;
      alarm.severity = severityName(alarmKindNamed(kind)->severity);
      record.openAlarms.push_back(alarm);
    }
    return record;
  };
  struct Case {
    const char* what;
    MeterRecord record;
    MeterState state;
    Verdict verdict;
  };
  const Case cases[] = {
      {"collected last night", meter(kNow - kDay, {}), MeterState::Ok, Verdict::Ok},
      {"a battery warning", meter(kNow - kDay, {"battery_1_warning"}), MeterState::Ok,
       Verdict::Warning},
      {"late by a few hours", meter(kNow - kDay - kDay / 3, {}), MeterState::Late,
       Verdict::Warning},
      {"never collected", meter(std::nullopt, {}), MeterState::Never, Verdict::Warning},
      {"missing for days", meter(kNow - 3 * kDay, {}), MeterState::Missing, Verdict::Critical},
      {"failing", meter(kNow - kDay, {"failing"}), MeterState::Failing, Verdict::Critical},
      {"tampered with", meter(kNow - kDay, {"tamper_switch"}), MeterState::Ok,
       Verdict::Critical},
  };
  for (const Case& c : cases) {
    const FleetStatus alone = fleetStatus({c.record}, kNow);
    EXPECT_EQ(alone.meters.at(0).state, c.state) << c.what;
    EXPECT_EQ(alone.verdict, c.verdict) << c.what;
    // With a good meter beside it, the verdict stays.
    EXPECT_EQ(fleetStatus({meter(kNow - kDay, {}), c.record}, kNow).verdict, c.verdict) << c.what;
  }
}

TEST(FleetFile, DurationsOfIntervals) {
  EXPECT_EQ(parseDuration("15m"), std::optional<int64_t>(900));
  EXPECT_EQ(parseDuration("6h"), std::optional<int64_t>(21600));
  EXPECT_EQ(parseDuration("1d"), std::optional<int64_t>(86400));
  for (const char* bad : {"", "d", "1", "0m", "1w", "-1d", "1.5h", "99999999d"}) {
    EXPECT_FALSE(parseDuration(bad)) << bad;
  }
  EXPECT_EQ(formatDuration(5400), "90m");
}

}  // namespace
}  // namespace vb::fleet
