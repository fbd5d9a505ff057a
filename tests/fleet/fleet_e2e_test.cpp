// Whole collections against the real metersim: every line fault as one
// meter's outcome while the rest of the fleet is collected; incremental
// runs and restarted loggers; and the program itself stopped by SIGTERM
// (in the middle of a download, and while a modem or PAD call is being set
// up) and killed outright in the middle of a download.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "../cli/json_check.h"
#include "fleet_support.h"
#include "collector.h"
#include "fleet_file.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "store.h"
#include "test_meter_clock.h"

namespace vb::fleet {
namespace {

// A call set-up far longer than a stopped program may take to end.
constexpr uint32_t kLongCallSetUpMs = 120000;
constexpr uint32_t kStopMs = 30000;

TEST(FleetCollection, EachLineFaultIsThatMetersOutcomeAndTheRestIsCollected) {
  // Modem meters on three lines, so their slow failures run side by side.
  auto modemLine = [](std::vector<std::string> members) {
    metersim::Options modem;
    modem.front = metersim::Front::Modem;
    modem.fleetAddresses = std::move(members);
    modem.silentAddresses = {"102"};
    modem.busyNumbers = {"200"};
    modem.noCarrierNumbers = {"201"};
    modem.password = "secret";
    modem.pairsPerLogger = 300;
    modem.totalsRecords = 10;
    return startSimulator(modem);
  };
  auto gsmA = modemLine({"100", "101"});
  auto gsmB = modemLine({"102"});
  auto gsmC = modemLine({});

  metersim::Options pad;
  pad.front = metersim::Front::Pad;
  pad.fleetAddresses = {"300"};
  pad.pairsPerLogger = 300;
  pad.totalsRecords = 10;
  auto padLine = startSimulator(pad);

  metersim::Options direct;
  direct.pairsPerLogger = 2000;
  direct.totalsRecords = 10;
  direct.faults.cutAfterBytes = 3000;  // the first long reply: logger 1's download
  auto directLine = startSimulator(direct);

  const std::string quick =
      "receive_timeout_ms = 3000\nframe_timeout_ms = 1000\ncommand_attempts = 1\n"
      "reconnect_attempts = 1\n";
  const std::string fleet =
      lineTable("gsm-a", gsmA->devicePath(), "dial") +
      lineTable("gsm-b", gsmB->devicePath(), "dial", quick) +
      lineTable("gsm-c", gsmC->devicePath(), "dial") +
      lineTable("radio", padLine->devicePath(), "pnet") +
      lineTable("local", directLine->devicePath(), "direct") +
      meterTable("gsm-ok", "gsm-a", "address = \"100\"\npassword = \"secret\"\n") +
      meterTable("gsm-password", "gsm-a", "address = \"101\"\npassword = \"wrong\"\n") +
      meterTable("gsm-silent", "gsm-b", "address = \"102\"\npassword = \"secret\"\n") +
      meterTable("gsm-busy", "gsm-c", "address = \"200\"\n") +
      meterTable("gsm-no-carrier", "gsm-c", "address = \"201\"\n") +
      meterTable("radio-ok", "radio", "address = \"300\"\nloggers = [1]\n") +
      meterTable("radio-refused", "radio", "address = \"399\"\n") +
      meterTable("local-cut", "local", "convert = false\n");
  CollectSettings settings;
  settings.retries = 1;
  settings.retryDelayMs = 200;
  const std::string dbPath = freshStorePath();
  const Summary summary = collect(fleet, dbPath, settings);

  struct Expected {
    const char* meter;
    int32_t code;             // 0: collected
    const char* messagePart;  // of a failure's message
    int64_t logger1Pairs;
  };
  const Expected expected[] = {
      {"gsm-ok", 0, "", 300},
      {"gsm-password", 9, "Incorrect password", 0},
      {"gsm-busy", 19, "BUSY", 0},
      {"gsm-no-carrier", 19, "NO CARRIER", 0},
      {"radio-ok", 0, "", 300},
      {"radio-refused", 19, "ERR", 0},
      {"local-cut", 0, "", 2000},
  };
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  for (const Expected& e : expected) {
    const MeterOutcome* outcome = outcomeOf(summary, e.meter);
    ASSERT_NE(outcome, nullptr) << e.meter;
    EXPECT_EQ(outcome->code, e.code) << e.meter << ": " << outcome->message;
    EXPECT_EQ(outcome->ok, e.code == 0) << e.meter;
    EXPECT_NE(outcome->message.find(e.messagePart), std::string::npos)
        << e.meter << ": " << outcome->message;
    EXPECT_EQ(outcome->attempts, e.code == 0 ? 1u : 2u) << e.meter;
    EXPECT_EQ(pairsOf(*store, e.meter, 1), e.logger1Pairs) << e.meter;
    // Every attempt is in the store with the library's code and message.
    EXPECT_EQ(store->scalar("SELECT count(*) FROM attempts a JOIN meters m ON a.meter_row = m.id"
                            " WHERE m.meter = '" + std::string(e.meter) +
                            "' AND a.code = " + std::to_string(e.code)),
              e.code == 0 ? 1 : 2)
        << e.meter;
  }
  const MeterOutcome* silent = outcomeOf(summary, "gsm-silent");
  ASSERT_NE(silent, nullptr);
  EXPECT_FALSE(silent->ok);
  EXPECT_NE(silent->code, 0);
  // A meter's loggers are its own: logger 2 and the totals only where asked.
  EXPECT_EQ(pairsOf(*store, "gsm-ok", 2), 300);
  EXPECT_EQ(pairsOf(*store, "radio-ok", 2), 0);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM totals"), 10 + 10);
  EXPECT_EQ(epochsWithGaps(*store), 0);
  EXPECT_EQ(summary.metersOk, 3u);
  EXPECT_EQ(summary.metersFailed, 5u);
}

TEST(FleetCollection, ASecondRunFetchesOnlyTheNewAndARestartBeginsAnEpoch) {
  metersim::Options options;
  options.pairsPerLogger = 500;
  options.totalsRecords = 10;
  options.timeScale = 300;  // logger 2 (every 300 s) logs about once a second
  auto line = startSimulator(options);
  const std::string fleet = lineTable("local", line->devicePath(), "direct") +
                            meterTable("m", "local", "convert = false\n");
  const std::string dbPath = freshStorePath();
  const Summary first = collect(fleet, dbPath);
  ASSERT_EQ(first.metersOk, 1u) << first.meters[0].message;
  const uint64_t firstBytes = line->bytesSent();

  // Restart logger 2 on the meter, as a site visit would.
  metersim::MeterModel& meter = line->model();
  meter.handle(metersim::buildCommand(metersim::kClassMeter, metersim::kCmdUnlock, 0, {0}));
  meter.handle(metersim::buildCommand(metersim::kClassMeter, metersim::kCmdRestartLogger, 0,
                                      {2, 0}));
  const uint32_t newestBefore = meter.pairs(1).back().rsn;
  const Summary second = collect(fleet, dbPath);
  ASSERT_EQ(second.metersOk, 1u) << second.meters[0].message;
  const uint64_t secondBytes = line->bytesSent() - firstBytes;
  EXPECT_LT(secondBytes * 4, firstBytes);

  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  // What the store holds of logger 1 is exactly what the meter had logged
  // when the second run read it (the meter logs on meanwhile).
  const std::string logger1 =
      " FROM pairs p JOIN epochs e ON p.epoch_id = e.id JOIN loggers l ON e.logger_id = l.id"
      " WHERE l.log_no = 1";
  const int64_t newestStored = store->scalar("SELECT max(p.rsn)" + logger1);
  EXPECT_GE(newestStored, int64_t{newestBefore});
  const std::vector<metersim::Pair> logged = meter.pairs(1);
  const auto newest = std::find_if(logged.begin(), logged.end(), [&](const metersim::Pair& pair) {
    return int64_t{pair.rsn} == newestStored;
  });
  ASSERT_NE(newest, logged.end());
  EXPECT_EQ(pairsOf(*store, "m", 1), newest - logged.begin() + 1);
  EXPECT_EQ(store->scalar("SELECT count(*)" + logger1 + " AND p.rsn = " +
                          std::to_string(newest->rsn) + " AND p.flow = " +
                          std::to_string(newest->flow) + " AND p.pressure = " +
                          std::to_string(newest->pressure)),
            1);
  // Logger 2's old epoch keeps its pairs; the new one holds what came after.
  EXPECT_EQ(store->scalar("SELECT count(*) FROM epochs e JOIN loggers l ON e.logger_id = l.id"
                          " WHERE l.log_no = 2"),
            2);
  EXPECT_GE(store->scalar("SELECT count(*) FROM pairs p JOIN epochs e ON p.epoch_id = e.id"
                          " JOIN loggers l ON e.logger_id = l.id WHERE l.log_no = 2 AND"
                          " e.number = 1"),
            500);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM events WHERE kind = 'logger_restarted'"
                          " AND log_no = 2"),
            1);
  EXPECT_EQ(static_cast<int64_t>(first.entriesNew + second.entriesNew),
            store->scalar("SELECT (SELECT count(*) FROM pairs) + (SELECT count(*) FROM totals)"));
}

TEST(FleetCollection, ADriftingClockIsRecordedAndSetWhereTheFleetFileSaysSo) {
  metersim::Options options;
  options.pairsPerLogger = 50;
  options.totalsRecords = 5;
  auto line = startSimulator(options);
  // Put the meter's clock an hour behind the host's.
  constexpr uint32_t kCdtfFrom1970 = 631152000;
  const uint32_t behind = hostMeterTimeNow() - kCdtfFrom1970 - 3600;
  metersim::MeterModel& meter = line->model();
  meter.handle(metersim::buildCommand(metersim::kClassMeter, metersim::kCmdUnlock, 0, {0}));
  meter.handle(metersim::buildCommand(
      metersim::kClassMeter, metersim::kCmdSetTime, 0,
      {static_cast<uint8_t>(behind), static_cast<uint8_t>(behind >> 8),
       static_cast<uint8_t>(behind >> 16), static_cast<uint8_t>(behind >> 24)}));

  const std::string dbPath = freshStorePath();
  const Summary summary =
      collect(lineTable("local", line->devicePath(), "direct") +
                  meterTable("m", "local", "set_clock = true\nclock_drift_limit = 120\n"),
              dbPath);
  ASSERT_EQ(summary.metersOk, 1u) << summary.meters[0].message;
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  const int64_t drift =
      store->scalar("SELECT value FROM events WHERE kind = 'clock_drift'");
  EXPECT_LE(drift, -3590);
  EXPECT_GE(drift, -3610);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM events WHERE kind = 'clock_set'"), 1);
  // Setting the clock shifted no stored time.
  EXPECT_EQ(checkPairTimes(*store, meter, 1), 50);
  const int64_t nowDrift = int64_t{meter.clockNow()} + kCdtfFrom1970 - hostMeterTimeNow();
  EXPECT_LE(nowDrift < 0 ? -nowDrift : nowDrift, 10);
}

TEST(FleetCollection, NoAttemptStartsAfterTheRunsTimeLimit) {
  auto line = startSimulator({});
  CollectSettings settings;
  settings.untilMs = platform::nowMs();
  const Summary summary =
      collect(lineTable("local", line->devicePath(), "direct") + meterTable("m", "local"),
              freshStorePath(), settings);
  ASSERT_EQ(summary.meters.size(), 1u);
  EXPECT_EQ(summary.metersFailed, 1u);
  EXPECT_EQ(summary.meters[0].code, kCodeNotAttempted);
  EXPECT_EQ(summary.meters[0].message, "Not attempted before the run's time limit");
  EXPECT_EQ(line->wakeups(), 0u);
}

TEST(FleetCollection, AStopJustBeforeTheReleaseStillClearsTheCall) {
  metersim::Options options;
  options.front = metersim::Front::Pad;
  options.pairsPerLogger = 20;
  options.totalsRecords = 5;
  auto line = startSimulator(options);
  const Collector* running = nullptr;
  CollectSettings settings;
  settings.retries = 0;
  settings.stopRequested = [&running] {
    const std::vector<LineActivity> lines = running->activity();
    return std::any_of(lines.begin(), lines.end(),
                       [](const LineActivity& activity) { return activity.stage == "release"; });
  };
  const Summary summary =
      collect(lineTable("radio", line->devicePath(), "pnet") +
                  meterTable("m", "radio", "address = \"100\"\n"),
              freshStorePath(), settings, &running);
  ASSERT_EQ(summary.meters.size(), 1u);
  EXPECT_EQ(summary.meters[0].message, "Interrupted");
  EXPECT_EQ(line->callsPlaced(), 1u);
  EXPECT_EQ(line->callsCleared(), 1u);
}

TEST(FleetData, ATotalsLoggerOfThousandsOfRecordsIsCollectedInBlocksThatFit) {
  metersim::Options options;
  options.baud = 115200;
  options.pairsPerLogger = 10;
  options.totalsRecords = 3000;
  auto line = startSimulator(options);
  const std::string dbPath = freshStorePath();
  const Summary summary = collect(
      lineTable("local", line->devicePath(), "direct") + meterTable("m", "local"), dbPath);
  ASSERT_EQ(summary.metersOk, 1u) << summary.meters[0].message;
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->scalar(storedCount("m", 3, "")), 3000);
  // The blocks of every logger fit the link's receive buffer.
  for (int logNo : {1, 3}) {
    const uint64_t reply = (logNo == 3 ? 572 : 332) +
                           uint64_t{entriesPerDownload(logNo)} * (logNo == 3 ? 40 : 4);
    EXPECT_LE(reply, 100000u) << logNo;
  }
}

TEST(FleetData, AValueTheMeterCannotConvertIsStoredAbsentAndTheMeterGoesOn) {
  metersim::Options options;
  options.pairsPerLogger = 40;
  options.totalsRecords = 5;
  options.profileSettings = {{"calibore", "nan"}};
  auto line = startSimulator(options);
  const std::string dbPath = freshStorePath();
  const Summary summary = collect(
      lineTable("local", line->devicePath(), "direct") + meterTable("m", "local"), dbPath);
  ASSERT_EQ(summary.metersOk, 1u) << summary.meters[0].message;
  EXPECT_TRUE(summary.storeError.empty()) << summary.storeError;
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  for (int logNo : {1, 2}) {
    EXPECT_EQ(store->scalar(storedCount("m", logNo, "x.flow IS NULL AND x.pressure IS NOT NULL")),
              40)
        << logNo;
  }
  EXPECT_EQ(store->scalar(storedCount("m", 3, "")), 5);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM events WHERE kind = 'values_not_converted'"), 2);
}

TEST(FleetData, PairTimesAreTheMetersOwnOrNone) {
  struct Case {
    const char* what;
    const char* clock;
    bool timesKnown;
  };
  const Case cases[] = {
      {"the header fixes every time", nullptr, true},
      // The first pairs lie before 1990 and the clock was last set then:
      // the header fixes no pair's time.
      {"first pair's time invalid", "1990-01-01T02:00:00", false},
  };
  for (const Case& c : cases) {
    metersim::Options options;
    options.pairsPerLogger = 20;
    options.totalsRecords = 3;
    if (c.clock != nullptr) {
      ASSERT_TRUE(metersim::parseMeterClock(c.clock, &options.clockAtStart));
    }
    auto line = startSimulator(options);
    const std::string dbPath = freshStorePath();
    const Summary summary = collect(
        lineTable("local", line->devicePath(), "direct") + meterTable("m", "local"), dbPath);
    ASSERT_EQ(summary.metersOk, 1u) << c.what << ": " << summary.meters[0].message;
    std::unique_ptr<Store> store = reopen(dbPath);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->scalar(storedCount("m", 1, "")), 20) << c.what;
    EXPECT_EQ(checkPairTimes(*store, line->model(), 1), c.timesKnown ? 20 : 0) << c.what;
  }
}

// The totals logger keeps no reset time: a new meter (or a restarted logger)
// whose records reuse the stored numbers begins a new epoch.
TEST(FleetData, ATotalsLoggerThatStartedAgainBeginsAnEpoch) {
  metersim::Options before;
  before.pairsPerLogger = 5;
  before.totalsRecords = 50;  // records 101..150
  auto oldMeter = startSimulator(before);
  const std::string dbPath = freshStorePath();
  const std::string meter = meterTable("m", "local", "loggers = [3]\n");
  ASSERT_EQ(collect(lineTable("local", oldMeter->devicePath(), "direct") + meter, dbPath).metersOk,
            1u);
  oldMeter->stop();

  metersim::Options after = before;
  after.seed = 2;
  after.totalsRecords = 80;  // records 101..180, other times and totals
  auto newMeter = startSimulator(after);
  const Summary second =
      collect(lineTable("local", newMeter->devicePath(), "direct") + meter, dbPath);
  ASSERT_EQ(second.metersOk, 1u) << second.meters[0].message;
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->scalar(storedCount("m", 3, "e.number = 1")), 50);
  EXPECT_EQ(store->scalar(storedCount("m", 3, "e.number = 2")), 80);
  const std::vector<metersim::TotalsEntry> logged = newMeter->model().totals();
  EXPECT_EQ(store->scalar(storedCount("m", 3, "e.number = 2 AND x.rsn = 101 AND x.time = " +
                                                  std::to_string(int64_t{logged.front().time} +
                                                                 kCdtfTo1970))),
            1);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM events WHERE kind = 'logger_restarted'"), 1);
}

TEST(FleetData, SinceAppliesToEveryLogger) {
  metersim::Options options;
  options.pairsPerLogger = 200;
  options.totalsRecords = 400;
  auto line = startSimulator(options);
  const metersim::MeterModel& model = line->model();
  // A time inside both loggers: the 120th totals record's.
  const uint32_t since = static_cast<uint32_t>(model.totals()[119].time) + kCdtfTo1970;
  CollectSettings settings;
  settings.since = since;
  const std::string dbPath = freshStorePath();
  const Summary summary = collect(
      lineTable("local", line->devicePath(), "direct") + meterTable("m", "local"), dbPath,
      settings);
  ASSERT_EQ(summary.metersOk, 1u) << summary.meters[0].message;
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  const std::string older = "x.time < " + std::to_string(since);
  const std::string newer = "x.time >= " + std::to_string(since);
  for (int logNo : {1, 3}) EXPECT_EQ(store->scalar(storedCount("m", logNo, older)), 0) << logNo;
  EXPECT_EQ(store->scalar(storedCount("m", 3, newer)), 400 - 119);
  int64_t pairsSince = 0;
  for (const metersim::Pair& pair : model.pairs(1)) {
    pairsSince += int64_t{pair.time} + kCdtfTo1970 >= since ? 1 : 0;
  }
  EXPECT_EQ(store->scalar(storedCount("m", 1, newer)), pairsSince);
}

// A store that cannot be written, or is damaged, fails the run before any
// line is dialled.
TEST(FleetData, AStoreThatFailsStopsTheRunBeforeAnyCall) {
  for (bool damaged : {false, true}) {
    auto line = startSimulator({});
    const std::string dbPath = freshStorePath();
    std::string error;
    {
      std::unique_ptr<Store> store = Store::open(dbPath, &error);
      ASSERT_TRUE(store) << error;
      store->scalar("CREATE TABLE filler(x BLOB)");
      for (int i = 0; i < 20; ++i) store->scalar("INSERT INTO filler VALUES(zeroblob(4000))");
      store->scalar("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    if (damaged) {
      std::fstream file(dbPath, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(4096 * 15);
      file << std::string(4096, '\x5a');
    }
    std::unique_ptr<Store> holder = Store::open(dbPath, &error);
    ASSERT_TRUE(holder || damaged) << error;
    if (!damaged) holder->scalar("BEGIN IMMEDIATE");
    StoreOptions quick;
    quick.busyTimeoutMs = 200;
    std::unique_ptr<Store> store = Store::open(dbPath, &error, quick);
    if (damaged && !store) {
      // Damage that opening the file already meets is refused there.
      EXPECT_NE(error.find("malformed"), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(store) << error;
    const std::string path = tempPath("fleet.toml");
    std::ofstream(path) << lineTable("local", line->devicePath(), "direct") + meterTable("m", "local");
    std::optional<Fleet> fleet = loadFleet(path, &error);
    ASSERT_TRUE(fleet && mapDeviceLines(&*fleet, &error)) << error;
    Collector collector(*fleet, *store, {});
    const Summary summary = collector.run([](const MeterOutcome&, bool) {});
    EXPECT_NE(summary.storeError.find(damaged ? "damaged" : "locked"), std::string::npos)
        << summary.storeError;
    EXPECT_EQ(summary.metersFailed, 1u);
    EXPECT_EQ(line->wakeups(), 0u);
    if (!damaged) holder->scalar("ROLLBACK");
  }
}

TEST(FleetProgram, StoppedOrKilledMidDownloadTheStoreStaysWholeAndTheNextRunCompletes) {
  Program meter;
  std::vector<std::string> meterArguments = {"--baud", "19200", "--pairs", "3000"};
  for (const std::string& argument : test::MeterClockArguments()) {
    meterArguments.push_back(argument);
  }
  ASSERT_TRUE(meter.start(METERSIM_PROGRAM, meterArguments));
  std::string device;
  ASSERT_TRUE(meter.process->readLine(&device, kStartMs));
  const std::string fleetPath = tempPath("fleet.toml");
  std::ofstream(fleetPath) << lineTable("local", device, "direct") + meterTable("m", "local");
  const std::string dbPath = freshStorePath();
  const std::vector<std::string> collect = {"collect", fleetPath, "--db", dbPath, "--retries",
                                            "0"};

  // SIGTERM: the running request aborts, the line closes, status 130.
  Program stopped;
  ASSERT_TRUE(stopped.start(VANTBROOK_PROGRAM, collect));
  // A versions row: the meter's first contact is over and its downloads are
  // under way.
  ASSERT_TRUE(waitForStore(dbPath, "SELECT count(*) FROM versions", 1));
  stopped.process->terminate();
  EXPECT_EQ(stopped.wait(), 130) << stopped.process->standardError();

  // kill -9 in the middle of a download.
  Program killed;
  ASSERT_TRUE(killed.start(VANTBROOK_PROGRAM, collect));
  // Its attempt has begun: the call and the headers take about a second,
  // then logger 1's 12 KB take about six seconds at 19200 bit/s.
  ASSERT_TRUE(waitForStore(dbPath, "SELECT count(*) FROM attempts", 2));
  platform::sleepMs(2000);
  killed.process.reset();   // SIGKILL, reaped

  {
    std::unique_ptr<Store> store = reopen(dbPath);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->scalar("SELECT count(*) FROM pragma_integrity_check WHERE"
                            " integrity_check != 'ok'"),
              0);
    const int64_t stored = pairsOf(*store, "m", 1);
    EXPECT_TRUE(stored == 0 || stored == 3000) << stored;
  }

  Program completes;
  ASSERT_TRUE(completes.start(VANTBROOK_PROGRAM, collect));
  ASSERT_EQ(completes.wait(), 0) << completes.process->standardError();
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  EXPECT_EQ(pairsOf(*store, "m", 1), 3000);
  EXPECT_EQ(pairsOf(*store, "m", 2), 3000);
  EXPECT_EQ(epochsWithGaps(*store), 0);
  // The killed run's attempt was closed by the next run, not left open.
  EXPECT_EQ(store->scalar("SELECT count(*) FROM attempts WHERE ended_at IS NULL"), 0);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM attempts WHERE code = " +
                          std::to_string(kCodeAttemptAbandoned)),
            1);
  store.reset();

  Program exported;
  ASSERT_TRUE(exported.start(VANTBROOK_PROGRAM,
                             {"export", "--db", dbPath, "--meter", "m", "--logger", "2", "--csv"}));
  ASSERT_EQ(exported.wait(), 0) << exported.process->standardError();
  const std::string& csv = exported.process->standardOutput();
  EXPECT_EQ(csv.rfind("meter,logger,epoch,rsn,time,flow,pressure,converted\nm,2,1,", 0), 0u);
  EXPECT_EQ(csv.substr(csv.size() - 3), ",1\n");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3001);

  Program json;
  ASSERT_TRUE(json.start(VANTBROOK_PROGRAM, {"export", "--db", dbPath, "--logger", "3", "--json"}));
  ASSERT_EQ(json.wait(), 0) << json.process->standardError();
  EXPECT_TRUE(cli::test::JsonCheck::valid(json.process->standardOutput()));
  EXPECT_EQ(std::count(json.process->standardOutput().begin(),
                       json.process->standardOutput().end(), '{'),
            100);
}

class FleetProgramStop : public ::testing::TestWithParam<metersim::Front> {};

// SIGTERM while the modem dials or the PAD calls: the set-up is aborted and
// the call cleared long before its answer would have come, and the run
// ends with status 130 and the meter's attempt as a user abort. The
// collector's line comes after nine lines of two other collectors in the
// fleet file: the stop reaches a line whatever its place there.
TEST_P(FleetProgramStop, SigtermDuringACallSetUpClearsTheCall) {
  metersim::Options options;
  options.front = GetParam();
  options.callSetupMs = kLongCallSetUpMs;
  auto line = startSimulator(options);
  const std::string fleetPath = tempPath("fleet.toml");
  const char* kind = GetParam() == metersim::Front::Modem ? "dial" : "pnet";
  std::string others;
  for (int i = 0; i < 9; ++i) {
    const std::string collector = i < 5 ? "north" : "south";
    others += lineTable(collector + std::to_string(i), "/nonexistent/" + std::to_string(i), kind,
                        "collector = \"" + collector + "\"\n");
  }
  std::ofstream(fleetPath) << others + lineTable("calls", line->devicePath(), kind,
                                                 "collector = \"here\"\n") +
                                  meterTable("m", "calls", "address = \"100\"\n");
  const std::string dbPath = freshStorePath();
  Program run;
  ASSERT_TRUE(run.start(VANTBROOK_PROGRAM, {"collect", fleetPath, "--db", dbPath, "--retries",
                                            "0", "--collector", "here"}));
  ASSERT_TRUE(waitUntil([&] { return line->callsPlaced() > 0; }));
  run.process->terminate();
  ASSERT_TRUE(run.process->waitFor(kStopMs)) << run.process->standardError();
  EXPECT_EQ(run.process->exitStatus(), 130) << run.process->standardError();
  EXPECT_EQ(line->callsCleared(), 1u);
  EXPECT_EQ(line->connections(), 0u);
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM attempts WHERE code = 24 AND"
                          " message = 'Call set-up aborted due to user request.'"),
            1);
}

INSTANTIATE_TEST_SUITE_P(
    FleetProgram, FleetProgramStop, ::testing::Values(metersim::Front::Modem, metersim::Front::Pad),
    [](const ::testing::TestParamInfo<metersim::Front>& info) {
      return info.param == metersim::Front::Modem ? "Modem" : "Pad";
    });

TEST(FleetProgram, ABadFleetFileIsRefusedWithStatus2AndTouchesNothing) {
  const std::string fleetPath = tempPath("fleet.toml");
  std::ofstream(fleetPath) << "[[line]]\nname = \"x\"\ncom = 9\n";
  const std::string dbPath = freshStorePath();
  Program run;
  ASSERT_TRUE(run.start(VANTBROOK_PROGRAM, {"collect", fleetPath, "--db", dbPath}));
  EXPECT_EQ(run.wait(), 2);
  EXPECT_EQ(run.process->standardError(),
            "vantbrook: " + fleetPath + ":3: key 'com': must be 1 to 8\n");
  EXPECT_FALSE(std::ifstream(dbPath).good());
}

}  // namespace
}  // namespace vb::fleet
