// The vantbrook program end to end: the real program against the real
// metersim program on a pseudo-terminal, as a user runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "json_check.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "test_meter_clock.h"

namespace vb::cli {
namespace {

// Generous: the machines that run CI are small and sanitizers slow them.
constexpr uint32_t kStartMs = 20000;
constexpr uint32_t kRunMs = 90000;
constexpr int kMeterCom = 1;

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The metersim program, its clock pinned like every simulated meter of the
// tests.
class Meter {
 public:
  explicit Meter(std::vector<std::string> arguments = {}) {
    const std::vector<std::string> clock = vb::test::MeterClockArguments();
    arguments.insert(arguments.end(), clock.begin(), clock.end());
    if (!process_.start(METERSIM_PROGRAM, arguments)) return;
    process_.readLine(&path_, kStartMs);
  }
  const std::string& path() const { return path_; }
  std::string comEnvironment(int com = kMeterCom) const {
    return "VANTBROOK_COM" + std::to_string(com) + "=" + path_;
  }

 private:
  platform::ChildProcess process_;
  std::string path_;
};

platform::ProcessOptions withEnvironment(std::vector<std::string> environment) {
  platform::ProcessOptions options;
  options.environment = std::move(environment);
  options.captureStandardError = true;
  return options;
}

ProgramRun vantbrook(const std::vector<std::string>& arguments,
              const platform::ProcessOptions& options) {
  ProgramRun run;
  platform::ChildProcess process;
  if (!process.start(VANTBROOK_PROGRAM, arguments, options)) return run;
  if (process.waitFor(kRunMs)) run.status = process.exitStatus();
  run.out = process.standardOutput();
  run.err = process.standardError();
  return run;
}

ProgramRun vantbrook(const std::vector<std::string>& arguments, const Meter& meter) {
  return vantbrook(arguments, withEnvironment({meter.comEnvironment()}));
}

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> csvFields(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  for (std::string field; std::getline(stream, field, ',');) fields.push_back(field);
  return fields;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptorsBefore_ = platform::processOpenDescriptorCount();
    ASSERT_FALSE(meter_.path().empty()) << "metersim did not start";
  }
  void TearDown() override {
    // Every pipe of every program run here is closed again.
    EXPECT_EQ(platform::processOpenDescriptorCount(), descriptorsBefore_);
  }
  std::string tempPath(const std::string& name) const {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "/" + info->name() + "-" + name;
  }

  Meter meter_;
  int descriptorsBefore_ = 0;
};

TEST_F(CliEndToEnd, TablesShowTheIdentityBlockAndTheHeader) {
  ProgramRun run = vantbrook({"session", "dib", "versions", "header", "--log", "2"}, meter_);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* expected : {"[dib]", "Meter id               : VB-SIM-000001", "[versions]",
                               "Version 8 : ", "[header]", "Logger                 : 2",
                               "Logging interval       : 300 s"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
}

TEST_F(CliEndToEnd, AMessageComesBackWithTheMetersAnswer) {
  ProgramRun run = vantbrook({"message", "HELLO"}, meter_);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Answer : Meter received: HELLO\n");
}

TEST_F(CliEndToEnd, JsonIsOneDocumentForAWholeSession) {
  ProgramRun run = vantbrook({"session", "dib", "header", "download", "--rsn", "1001..1010", "--json"},
                      meter_);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(test::JsonCheck::valid(run.out)) << run.out;
  EXPECT_EQ(run.out.rfind("{\"session\":[{\"request\":\"dib\"", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("\"meter_id\":\"VB-SIM-000001\""), std::string::npos);
  EXPECT_NE(run.out.find("{\"rsn\":1010,"), std::string::npos);
  EXPECT_EQ(run.out.find("{\"rsn\":1011,"), std::string::npos);
}

TEST_F(CliEndToEnd, CsvHasTimeRecordNumberAndValuesOfEveryEntry) {
  const std::string pairsFile = tempPath("pairs.csv");
  ProgramRun run = vantbrook({"download", "--rsn", "1001..1100", "--raw", "--csv", pairsFile}, meter_);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines = readLines(pairsFile);
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines[0], "time,rsn,flow_raw,pressure_raw");
  std::vector<std::string> first = csvFields(lines[1]);
  std::vector<std::string> second = csvFields(lines[2]);
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[1], "1001");
  EXPECT_EQ(csvFields(lines[100])[1], "1100");
  EXPECT_LT(first[0], second[0]);  // ISO times sort as text

  const std::string totalsFile = tempPath("totals.csv");
  run = vantbrook({"download", "--log", "3", "--all", "--csv", totalsFile}, meter_);
  ASSERT_EQ(run.status, 0) << run.err;
  lines = readLines(totalsFile);
  ASSERT_GT(lines.size(), 1u);
  EXPECT_EQ(csvFields(lines[0]).back(), "crcValid");
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(csvFields(lines[i]).size(), 13u);
    EXPECT_EQ(csvFields(lines[i]).back(), "1") << lines[i];
  }
}

// Entries selected by time against the same meter's --all download: where
// the header and the selection fix an entry's record number it is the one
// the whole logger gives it, and where they do not, none is printed.
TEST_F(CliEndToEnd, EntriesSelectedByTimeCarryTheRecordNumbersOfTheWholeLogger) {
  for (const char* log : {"3", "1"}) {
    SCOPED_TRACE(std::string("logger ") + log);
    const std::string allFile = tempPath(std::string("all") + log + ".csv");
    ProgramRun run = vantbrook({"download", "--log", log, "--all", "--raw", "--csv", allFile},
                               meter_);
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::string> rsnAt;
    std::vector<std::string> times;
    std::vector<std::string> lines = readLines(allFile);
    for (size_t i = 1; i < lines.size(); ++i) {
      const std::vector<std::string> fields = csvFields(lines[i]);
      ASSERT_GE(fields.size(), 2u);
      rsnAt[fields[0]] = fields[1];
      times.push_back(fields[0]);
    }
    ASSERT_GE(times.size(), 10u);

    const bool totals = std::string(log) == "3";
    const struct {
      const char* what;
      std::vector<std::string> range;
      bool numbersKnown;
    } selections[] = {
        {"from inside to the end", {"--from", times[2]}, true},
        {"from the start to inside", {"--to", times[5]}, true},
        // Totals carry no logging interval: inside the logger nothing fixes
        // the record numbers.
        {"inside the logger", {"--from", times[1], "--to", times[3]}, !totals},
    };
    for (const auto& selection : selections) {
      SCOPED_TRACE(selection.what);
      const std::string file = tempPath(std::string("range") + log + ".csv");
      std::vector<std::string> arguments = {"download", "--log", log, "--raw", "--csv", file};
      arguments.insert(arguments.end(), selection.range.begin(), selection.range.end());
      run = vantbrook(arguments, meter_);
      ASSERT_EQ(run.status, 0) << run.err;
      lines = readLines(file);
      ASSERT_GT(lines.size(), 1u);
      for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> fields = csvFields(lines[i]);
        ASSERT_GE(fields.size(), 2u) << lines[i];
        if (!selection.numbersKnown) {
          EXPECT_EQ(fields[1], "") << lines[i];
          continue;
        }
        ASSERT_EQ(rsnAt.count(fields[0]), 1u) << lines[i];
        EXPECT_EQ(fields[1], rsnAt[fields[0]]) << lines[i];
      }
    }
  }
}

TEST_F(CliEndToEnd, TheProgramCanOpenTheLineItself) {
  ProgramRun run = vantbrook({"dib", "--device", meter_.path()}, withEnvironment({}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("VB-SIM-000001"), std::string::npos);
}

TEST(CliDevice, TheProgramReopensItsOwnLineWhenTheLinkReconnects) {
  // The meter cuts the line once in the middle of the reply: the library
  // closes the program's line, has it reopened and resumes the reply.
  Meter cutting({"--cut-after", "2000"});
  ASSERT_FALSE(cutting.path().empty());
  ProgramRun run = vantbrook({"download", "--all", "--device", cutting.path(), "--timeout",
                              "3000", "--frame-timeout", "1000", "--json"},
                             withEnvironment({}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("{\"rsn\":1001,"), std::string::npos);
  EXPECT_NE(run.out.find("{\"rsn\":2000,"), std::string::npos);
}

TEST(CliExitStatus, EachClassOfFailureHasItsStatusAndOneErrorLine) {
  Meter locked({"--password", "secret"});
  ASSERT_FALSE(locked.path().empty());
  const struct {
    const char* what;
    std::vector<std::string> arguments;
    int status;
    const char* errorPart;
  } cases[] = {
      {"usage", {"dib", "--com", "9"}, 2, "vantbrook: option --com takes"},
      {"line that does not exist", {"dib", "--com", "5"}, 3,
       "; COM5 is /nonexistent/tty, from VANTBROOK_COM5 (code 19, "},
      {"wrong password", {"header", "--password", "wrong"}, 4,
       "vantbrook: Incorrect password (code 9, Vantbrook)\n"},
      {"no password", {"header"}, 4, "Incorrect password: no --password was given"},
      {"no data in range", {"download", "--password", "secret", "--rsn", "1..5"}, 4,
       "No data in specified range; logger 1 holds 1000 entries, RSN 1001 ("},
      {"room for fewer entries than the logger holds",
       {"download", "--password", "secret", "--raw", "--capacity", "10"}, 3,
       "--capacity must be at least 1000"},
      {"output file that cannot be written", {"download", "--csv", "/nonexistent/x.csv"}, 2,
       "vantbrook: cannot write /nonexistent/x.csv: No such file or directory\n"},
      {"emptying the logger unconfirmed", {"download", "--password", "secret", "--restart"}, 2,
       "add --yes"},
      {"receive time-out shorter than the reply needs",
       {"download", "--password", "secret", "--rsn", "1001..1010", "--timeout", "1000"}, 0,
       "warning: --timeout 1000 ms is shorter than the 20000 ms"},
      {"other supplier", {"header", "--password", "secret", "--supplier", "9999"}, 5,
       "(code 14, Vantbrook)\n"},
      {"success", {"header", "--password", "secret"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProgramRun run = vantbrook(c.arguments, withEnvironment({locked.comEnvironment(),
                                                      "VANTBROOK_COM5=/nonexistent/tty"}));
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.errorPart), std::string::npos) << run.err;
    if (c.status != 0) {
      EXPECT_EQ(run.err.rfind("vantbrook: ", 0), 0u) << run.err;
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
  }

  // With --json a failure, also of a line the program opens itself, is one
  // document with the error's code, source and message.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"dib", "--com", "5", "--json"},
        std::vector<std::string>{"dib", "--device", "/nonexistent/tty", "--json"}}) {
    ProgramRun run = vantbrook(arguments, withEnvironment({"VANTBROOK_COM5=/nonexistent/tty"}));
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(test::JsonCheck::valid(run.out)) << run.out;
    EXPECT_EQ(run.out.rfind("{\"error\":{\"request\":\"dib\",\"code\":19,\"source\":", 0), 0u)
        << run.out;
    EXPECT_NE(run.out.find("/nonexistent/tty"), std::string::npos) << run.out;
  }
}

TEST(CliDestructive, RestartAndClockSettingAreReportedFromTheHeaderReadAfterwards) {
  Meter meter;
  ASSERT_FALSE(meter.path().empty());
  ProgramRun run = vantbrook({"download", "--rsn", "1001..1003", "--restart", "--yes",
                              "--set-time", "after"},
                             meter);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Afterwards             : clock set, logger restarted"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Clock last set         : from "), std::string::npos);
  EXPECT_NE(run.out.find("Entries held           : none (next RSN 2001)"), std::string::npos);
}

TEST(CliRoutes, ThePadAndTheModemCarryTheLinkOrSayWhyNot) {
  Meter pad({"--pad", "--refuse-address", "999"});
  Meter modem({"--modem", "--busy", "555"});
  ASSERT_FALSE(pad.path().empty());
  ASSERT_FALSE(modem.path().empty());
  const platform::ProcessOptions lines =
      withEnvironment({pad.comEnvironment(2), modem.comEnvironment(3)});

  ProgramRun run = vantbrook({"dib", "--pnet", "23421920012345", "--com", "2"}, lines);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("VB-SIM-000001"), std::string::npos);

  run = vantbrook({"dib", "--pnet", "999", "--com", "2"}, lines);
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("vantbrook: PAD call to 999 refused: 999 ERR (code 19, "),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;

  run = vantbrook({"dib", "--dial", "555", "--com", "3"}, lines);
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("vantbrook: dialling 555: BUSY (code 19, "), std::string::npos)
      << run.err;
}

TEST(CliAbort, CtrlCDuringADownloadAbortsCleanlyAndFreesTheLine) {
  // Paced so the download takes minutes unless it is aborted.
  Meter slow({"--baud", "2400", "--pairs", "20000"});
  ASSERT_FALSE(slow.path().empty());
  platform::ChildProcess process;
  ASSERT_TRUE(process.start(VANTBROOK_PROGRAM, {"download", "--all", "--progress-lines"},
                            withEnvironment({slow.comEnvironment()})));
  std::string line;
  bool downloading = false;
  while (!downloading && process.readErrorLine(&line, kStartMs)) {
    downloading = line.rfind("progress download ", 0) == 0;
  }
  ASSERT_TRUE(downloading) << process.standardError();
  ASSERT_TRUE(process.interrupt());
  ASSERT_TRUE(process.waitFor(kRunMs));
  EXPECT_EQ(process.exitStatus(), 130);
  EXPECT_NE(process.standardError().find("vantbrook: interrupted: "), std::string::npos)
      << process.standardError();
  EXPECT_NE(process.standardError().find("(code 24, "), std::string::npos);
  EXPECT_FALSE(platform::processAlive(process.pid()));

  // The line was closed: the meter can be read again at once.
  ProgramRun again = vantbrook({"dib"}, slow);
  EXPECT_EQ(again.status, 0) << again.err;
}

// The text without its last `count` lines.
std::string WithoutLastLines(std::string text, int count) {
  for (int i = 0; i < count && !text.empty(); ++i) {
    const size_t end = text.find_last_of('\n', text.size() - 2);
    text = end == std::string::npos ? std::string() : text.substr(0, end + 1);
  }
  return text;
}

// The monitor between the real program and the real metersim: the request
// passes through it, its watch shows the request, and a replay of its
// capture tells the same story up to the closing counts; what is no capture
// is refused.
TEST(CliMonitor, RelaysARequestAndItsCaptureReplaysTheSame) {
  Meter meter;
  ASSERT_FALSE(meter.path().empty());
  const std::string capture = ::testing::TempDir() + "/monitor-relay.cap";
  platform::ChildProcess monitor;
  ASSERT_TRUE(monitor.start(VANTBROOK_PROGRAM,
                            {"monitor", "--meter", meter.path(), "--capture", capture},
                            withEnvironment({})));
  std::string first;
  ASSERT_TRUE(monitor.readLine(&first, kStartMs));
  const size_t path = first.find("/dev/");
  ASSERT_NE(path, std::string::npos) << first;
  const std::string hostLine = first.substr(path, first.find(' ', path) - path);
  const ProgramRun dib = vantbrook({"dib"}, withEnvironment({"VANTBROOK_COM1=" + hostLine}));
  EXPECT_EQ(dib.status, 0) << dib.err;
  ASSERT_TRUE(monitor.interrupt());
  ASSERT_TRUE(monitor.waitFor(kRunMs));
  EXPECT_EQ(monitor.exitStatus(), 0) << monitor.standardError();
  const std::string live = monitor.standardOutput();
  EXPECT_NE(live.find("wake-up \"Vey Automation: Merrowtide wakeup\""), std::string::npos);
  EXPECT_NE(live.find("reply GetDIB, 313 bytes, status 0, meter id \"VB-SIM-000001\""),
            std::string::npos)
      << live;

  const ProgramRun replay = vantbrook({"monitor", "--replay", capture}, withEnvironment({}));
  EXPECT_EQ(replay.status, 0) << replay.err;
  EXPECT_EQ(WithoutLastLines(replay.out, 2), WithoutLastLines(live, 2));

  const std::string notCapture = ::testing::TempDir() + "/monitor-not-a-capture.cap";
  std::ofstream(notCapture) << "# vantbrook line capture 1\n0 host 0D\n12 sideways 00\n";
  const ProgramRun refused = vantbrook({"monitor", "--replay", notCapture}, withEnvironment({}));
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("monitor-not-a-capture.cap:3: not a capture line"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(vantbrook({"monitor"}, withEnvironment({})).status, 2);
}

TEST(CliProgram, HelpAndFlagsNeedNoMeter) {
  ProgramRun run = vantbrook({"--help"}, withEnvironment({}));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("session REQ..."), std::string::npos);
  run = vantbrook({"download", "--help", "--frame-timeout", "2000"}, withEnvironment({}));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("no time-zone"), std::string::npos);
  EXPECT_NE(run.out.find("130  interrupted"), std::string::npos);
  EXPECT_NE(run.out.find("a meter that never answers is given up after at most"),
            std::string::npos);
  EXPECT_NE(run.out.find("(frame time-out 2000 ms, 3 attempts)"), std::string::npos);
  EXPECT_EQ(run.out.find("selections 3"), std::string::npos);
  for (const char* command : {"dib", "versions", "header", "message", "session", "flags", "demo"}) {
    run = vantbrook({command, "--help"}, withEnvironment({}));
    EXPECT_NE(run.out.find("Exit statuses:\n  0    success\n  2    usage error"),
              std::string::npos)
        << command;
  }
  for (const char* option : {"--version", "-V"}) {
    run = vantbrook({option}, withEnvironment({}));
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.out, "vantbrook " VANTBROOK_VERSION "\n") << option;
  }
  run = vantbrook({"flags", "0x2001", "--json"}, withEnvironment({}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"statusFlags\":8193,\"statusTexts\":[\"Flow sensor absent\",\"DIB changed\"]}\n");
}

TEST(CliDemo, RunsAgainstItsOwnSimulatedMeterAndWritesTheCsv) {
  platform::ProcessOptions options = withEnvironment({});
  options.workingDirectory = ::testing::TempDir();
  std::remove((options.workingDirectory + "/demo.csv").c_str());
  ProgramRun run = vantbrook({"demo"}, options);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("[download]"), std::string::npos);
  EXPECT_NE(run.out.find("All entries written to demo.csv."), std::string::npos);
  EXPECT_EQ(readLines(options.workingDirectory + "/demo.csv").size(), 3001u);
}

}  // namespace
}  // namespace vb::cli
