// Operating a fleet against the real metersim: alarms raised and cleared by
// what the meters show and by what the collector sees, the status that a
// monitoring system checks, lines another run holds, and the selection of
// meters a morning re-run collects.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>

#include "fleet_status.h"
#include "fleet_support.h"
#include "platform/devicemap.h"

namespace vb::fleet {
namespace {

const std::string kQuickLine =
    "receive_timeout_ms = 3000\nframe_timeout_ms = 1000\ncommand_attempts = 1\n"
    "reconnect_attempts = 1\n";

bool hasChange(const Summary& summary, const std::string& kind, bool raised, int logNo = -1) {
  return std::any_of(summary.alarms.begin(), summary.alarms.end(), [&](const AlarmChange& c) {
    return c.kind == kind && c.raised == raised && (logNo < 0 || c.logNo == logNo);
  });
}

FleetStatus statusOf(const std::string& dbPath) {
  std::unique_ptr<Store> store = reopen(dbPath);
  std::vector<MeterRecord> records;
  std::string error;
  EXPECT_TRUE(store && store->meterRecords({}, &records, &error)) << error;
  return fleetStatus(std::move(records), platform::wallClockSeconds());
}

TEST(FleetAlarms, AStatusFlagIsRaisedAndClearedByTheReadingThatNoLongerShowsIt) {
  metersim::Options options;
  options.pairsPerLogger = 20;
  options.totalsRecords = 3;
  auto line = startSimulator(options, test::MeterClock::Live);
  line->model().setStatusFlags(1, 0x0020);  // battery 1 discharged
  const std::string fleet =
      lineTable("local", line->devicePath(), "direct") + meterTable("m", "local");
  const std::string dbPath = freshStorePath();

  const Summary first = collect(fleet, dbPath);
  ASSERT_EQ(first.metersOk, 1u) << first.meters[0].message;
  EXPECT_TRUE(hasChange(first, "battery_1_discharged", true, 1));
  EXPECT_FALSE(hasChange(first, "battery_1_discharged", true, 2));
  FleetStatus status = statusOf(dbPath);
  EXPECT_EQ(status.verdict, Verdict::Critical);
  EXPECT_EQ(status.criticalAlarms, 1);

  line->model().setStatusFlags(1, 0);
  const Summary second = collect(fleet, dbPath);
  ASSERT_EQ(second.metersOk, 1u) << second.meters[0].message;
  EXPECT_TRUE(hasChange(second, "battery_1_discharged", false, 1));
  status = statusOf(dbPath);
  EXPECT_EQ(status.verdict, Verdict::Ok) << status.alarmsOpen << " alarms open";
  EXPECT_EQ(status.byState[static_cast<size_t>(MeterState::Ok)], 1);
}

// A night the meter was not reached, then failed runs in a row, then a good
// run that clears both.
TEST(FleetAlarms, AMissedNightAndFailedRunsRaiseAlarmsThatAGoodRunClears) {
  metersim::Options options;
  options.pairsPerLogger = 20;
  options.totalsRecords = 3;
  auto line = startSimulator(options, test::MeterClock::Live);
  const std::string fleet =
      lineTable("local", line->devicePath(), "direct", kQuickLine) +
      meterTable("m", "local", "interval = \"1d\"\nalarm_after_failed_runs = 2\nloggers = [1]\n");
  const std::string dbPath = freshStorePath();
  CollectSettings once;
  once.retries = 0;
  ASSERT_EQ(collect(fleet, dbPath, once).metersOk, 1u);
  // Three nights ago, as far as the store knows.
  reopen(dbPath)->scalar("UPDATE meters SET last_success_at = last_success_at - 259200");

  metersim::Faults silent;
  silent.silent = true;
  line->setFaults(silent);
  const Summary missed = collect(fleet, dbPath, once);
  EXPECT_EQ(missed.metersFailed, 1u);
  EXPECT_TRUE(hasChange(missed, "not_collected", true, 0));
  EXPECT_FALSE(hasChange(missed, "failing", true));
  FleetStatus status = statusOf(dbPath);
  EXPECT_EQ(status.meters.at(0).state, MeterState::Missing);
  EXPECT_EQ(status.verdict, Verdict::Critical);

  const Summary again = collect(fleet, dbPath, once);
  EXPECT_TRUE(hasChange(again, "failing", true, 0));
  status = statusOf(dbPath);
  EXPECT_EQ(status.meters.at(0).state, MeterState::Failing);
  EXPECT_EQ(status.meters.at(0).record.failedRuns, 2);

  line->setFaults({});
  const Summary good = collect(fleet, dbPath, once);
  ASSERT_EQ(good.metersOk, 1u) << good.meters[0].message;
  EXPECT_TRUE(hasChange(good, "failing", false));
  EXPECT_TRUE(hasChange(good, "not_collected", false));
  status = statusOf(dbPath);
  EXPECT_EQ(status.verdict, Verdict::Ok);
  EXPECT_EQ(status.meters.at(0).record.failedRuns, 0);
}

TEST(FleetAlarms, RecordsTheLoggerOverwroteBeforeTheyWereCollectedAreCounted) {
  metersim::Options options;
  options.pairsPerLogger = 50;
  options.loggerCapacity = 50;
  options.timeScale = 3000;  // logger 2 (every 300 s) logs ten pairs a second
  auto line = startSimulator(options, test::MeterClock::Live);
  const std::string fleet = lineTable("local", line->devicePath(), "direct") +
                            meterTable("m", "local", "loggers = [2]\n");
  const std::string dbPath = freshStorePath();
  const Summary first = collect(fleet, dbPath);
  ASSERT_EQ(first.metersOk, 1u) << first.meters[0].message;

  // Wait until the meter's clock has passed the time of more pairs than the
  // logger keeps: it writes them (overwriting the oldest) at the next call.
  const int64_t newestTime = line->model().pairs(2).back().time;
  const int64_t overwrittenBy = newestTime + int64_t{options.loggerCapacity + 20} * 300;
  const uint64_t deadline = platform::nowMs() + kRunMs;
  while (line->model().clockNow() < overwrittenBy && platform::nowMs() < deadline) {
    platform::sleepMs(kPollMs);
  }
  const Summary second = collect(fleet, dbPath);
  ASSERT_EQ(second.metersOk, 1u) << second.meters[0].message;
  EXPECT_TRUE(hasChange(second, "records_overwritten", true, 2));
  EXPECT_TRUE(hasChange(second, "records_missing", true, 2));
  const FleetStatus status = statusOf(dbPath);
  ASSERT_EQ(status.meters.at(0).record.loggers.size(), 1u);
  const MeterRecord::Logger& logger = status.meters.at(0).record.loggers[0];
  EXPECT_GT(logger.missing(), 10);
  EXPECT_EQ(logger.missing(), *logger.lastRsn - *logger.firstRsn + 1 - logger.stored);
  EXPECT_EQ(status.verdict, Verdict::Warning);
}

// Messages for the broker go to the outbox with what they describe: the
// entries with their download, a reading with the attempt's end, an alarm
// with its raising; a full outbox sheds the oldest entries messages only.
TEST(FleetOutbox, MessagesAreWrittenWithWhatTheyDescribeAndOnlyEntriesAreShed) {
  metersim::Options options;
  options.pairsPerLogger = 1200;
  options.totalsRecords = 3;
  auto line = startSimulator(options, test::MeterClock::Live);
  line->model().setStatusFlags(3, 0x1000);  // tamper switch, seen on the totals logger
  CollectSettings settings;
  settings.outbox = true;
  settings.outboxEntries = true;
  const std::string dbPath = freshStorePath();
  const Summary summary = collect(lineTable("local", line->devicePath(), "direct") +
                                      meterTable("m", "local", "loggers = [1, 3]\n"),
                                  dbPath, settings);
  ASSERT_EQ(summary.metersOk, 1u) << summary.meters[0].message;
  std::unique_ptr<Store> store = reopen(dbPath);
  std::vector<OutboxRow> rows;
  std::string error;
  ASSERT_TRUE(store->outboxPeek(100, &rows, &error)) << error;
  std::vector<std::string> topics;
  for (const OutboxRow& row : rows) topics.push_back(row.topic);
  // 1200 pairs in messages of 500, the totals in one; the tamper alarm; the
  // reading last, as the attempt ended.
  const std::vector<std::string> expected = {
      "meter/m/alarm/tamper_switch/3", "meter/m/entries/1", "meter/m/entries/1",
      "meter/m/entries/1", "meter/m/entries/3", "meter/m/reading"};
  std::vector<std::string> sorted = topics;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, expected);
  EXPECT_EQ(topics.back(), "meter/m/reading");
  EXPECT_NE(rows.back().payload.find("\"newest\":{\"rsn\":2200"), std::string::npos)
      << rows.back().payload;
  EXPECT_TRUE(rows.back().retained);

  std::vector<OutboxDrop> dropped;
  ASSERT_TRUE(store->outboxTrim(3, &dropped, &error)) << error;
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].meter, "m");
  EXPECT_EQ(dropped[0].messages, 3);
  ASSERT_TRUE(store->outboxPeek(100, &rows, &error)) << error;
  topics.clear();
  for (const OutboxRow& row : rows) topics.push_back(row.topic);
  std::sort(topics.begin(), topics.end());
  EXPECT_EQ(topics, (std::vector<std::string>{"meter/m/alarm/tamper_switch/3",
                                              "meter/m/entries/3", "meter/m/reading"}));
}

// A line another run holds: waited for until it is free, or left to that run
// with nothing recorded against its meters.
TEST(FleetLeases, ALineAnotherRunHoldsIsLeftOrWaitedFor) {
  auto line = startSimulator({});
  const std::string path = tempPath("fleet.toml");
  std::ofstream(path) << lineTable("local", line->devicePath(), "direct") +
                             meterTable("m", "local", "loggers = [1]\n");
  std::string error;
  std::optional<Fleet> fleet = loadFleet(path, &error);
  ASSERT_TRUE(fleet && mapDeviceLines(&*fleet, &error)) << error;
  const std::string dbPath = freshStorePath();
  std::unique_ptr<Store> store = Store::open(dbPath, &error);
  ASSERT_TRUE(store) << error;
  const std::string resource = lineResource(fleet->lines[0]);
  constexpr int64_t kOtherRun = 999;
  bool taken = false;
  LeaseHolder holder;
  ASSERT_TRUE(store->takeLease(resource, kOtherRun, "local", platform::wallClockSeconds(),
                               &taken, &holder, &error) &&
              taken)
      << error;

  CollectSettings leave;
  leave.waitForLines = false;
  const Summary left = Collector(*fleet, *store, leave).run([](const MeterOutcome&, bool) {});
  EXPECT_EQ(left.metersLeft, 1u);
  EXPECT_EQ(left.metersFailed, 0u);
  EXPECT_NE(left.meters[0].message.find("in use by run 999"), std::string::npos)
      << left.meters[0].message;
  EXPECT_EQ(store->scalar("SELECT count(*) FROM attempts"), 0);
  EXPECT_EQ(line->wakeups(), 0u);

  // The holder lets go while the next run waits.
  std::thread release([&] {
    platform::sleepMs(1500);
    std::string ignored;
    store->releaseLease(resource, kOtherRun, &ignored);
  });
  const Summary waited = Collector(*fleet, *store, {}).run([](const MeterOutcome&, bool) {});
  release.join();
  EXPECT_EQ(waited.metersOk, 1u) << waited.meters[0].message;
  EXPECT_EQ(store->scalar("SELECT count(*) FROM attempts"), 1);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM leases"), 0);
}

TEST(FleetSelection, OnlyTheSelectedMetersAreCalledAndTheirLinesOpened) {
  auto lineA = startSimulator({});
  auto lineB = startSimulator({});
  const std::string fleet = lineTable("a", lineA->devicePath(), "direct") +
                            lineTable("b", lineB->devicePath(), "direct") +
                            meterTable("ma", "a", "loggers = [1]\n") +
                            meterTable("mb", "b", "loggers = [1]\n");
  CollectSettings settings;
  settings.selection.meters = {"ma"};
  const Summary summary = collect(fleet, freshStorePath(), settings);
  ASSERT_EQ(summary.meters.size(), 1u);
  EXPECT_EQ(summary.meters[0].meter, "ma");
  EXPECT_EQ(summary.metersOk, 1u);
  EXPECT_EQ(lineB->wakeups(), 0u);
}

// A line that does not open is reported in the words the other commands
// use, naming the device a COM number stands for, on one line.
TEST(FleetMessages, AFailureNamesTheDeviceOnOneLine) {
  ASSERT_TRUE(platform::setComDevicePath(7, "/nonexistent/com7"));
  const std::string fleet = "[[line]]\nname = \"seven\"\ncom = 7\n" +
                            meterTable("m", "seven", "loggers = [1]\n");
  CollectSettings once;
  once.retries = 0;
  const Summary summary = collect(fleet, freshStorePath(), once);
  ASSERT_EQ(summary.meters.size(), 1u);
  const std::string& message = summary.meters[0].message;
  EXPECT_NE(message.find("COM7 is /nonexistent/com7, from VANTBROOK_COM7"), std::string::npos)
      << message;
  EXPECT_EQ(message.find(" :"), std::string::npos) << message;
  EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
}

// Status as a monitoring system runs it, and an alarm hook.
TEST(FleetProgram, StatusExitsLikeAMonitoringPluginAndHooksHearOfAlarms) {
  Program meter;
  std::vector<std::string> arguments = {"--pairs", "20", "--totals", "3", "--status-flags",
                                        "0x40"};  // battery 1 warning
  for (const std::string& argument : test::MeterClockArguments()) arguments.push_back(argument);
  ASSERT_TRUE(meter.start(METERSIM_PROGRAM, arguments));
  std::string device;
  ASSERT_TRUE(meter.process->readLine(&device, kStartMs));
  const std::string fleetPath = tempPath("fleet.toml");
  std::ofstream(fleetPath) << lineTable("local", device, "direct") +
                                  meterTable("m", "local", "loggers = [1]\n");
  const std::string dbPath = freshStorePath();
  const std::string heard = tempPath("alarms.txt");
  std::remove(heard.c_str());

  Program collect;
  ASSERT_TRUE(collect.start(VANTBROOK_PROGRAM,
                            {"collect", fleetPath, "--db", dbPath, "--on-alarm",
                             "echo \"$VANTBROOK_ALARM_STATE $VANTBROOK_ALARM_KIND "
                             "$VANTBROOK_ALARM_LOGGER $VANTBROOK_ALARM_SEVERITY\" >> " +
                                 heard + "; exit 3"}));
  EXPECT_EQ(collect.wait(), 0) << collect.process->standardError();
  std::ifstream file(heard);
  const std::string lines((std::istreambuf_iterator<char>(file)), {});
  EXPECT_NE(lines.find("raised battery_1_warning 1 warning"), std::string::npos) << lines;
  // The hook's failure is reported, and changes nothing else.
  EXPECT_NE(collect.process->standardError().find("--on-alarm for m battery_1_warning raised: "
                                                  "exit status 3"),
            std::string::npos)
      << collect.process->standardError();

  struct Case {
    std::vector<std::string> arguments;
    int status;
    const char* firstLine;
  };
  const Case cases[] = {
      {{"status", "--db", dbPath}, 1, "VANTBROOK WARNING - 1 meters: 1 ok,"},
      {{"status", "--db", dbPath, "--meter", "nope"}, 3, "VANTBROOK UNKNOWN - the store holds no meter 'nope'"},
      {{"status", "--db", tempPath("none.db")}, 3, "VANTBROOK UNKNOWN - "},
      {{"export", "--db", dbPath, "--meter", "nope", "--csv"}, 2, ""},
      {{"export", "--db", dbPath, "--from", "2026-12-02", "--to", "2026-12-01", "--csv"}, 2, ""},
  };
  for (const Case& c : cases) {
    Program run;
    ASSERT_TRUE(run.start(VANTBROOK_PROGRAM, c.arguments));
    EXPECT_EQ(run.wait(), c.status) << c.arguments[0] << " " << c.arguments.back()
                                    << run.process->standardError();
    EXPECT_EQ(run.process->standardOutput().rfind(c.firstLine, 0), 0u)
        << run.process->standardOutput();
  }
}

}  // namespace
}  // namespace vb::fleet
