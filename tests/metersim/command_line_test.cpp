#include "metersim/command_line.h"

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/serial.h"

namespace vb::metersim {
namespace {

TEST(CommandLineTest, OptionsMirrorOptionsAndFaults) {
  const CommandLine line = parseCommandLine(
      {"--baud", "9600", "--modem", "--long-frames", "--seed", "9", "--password", "pw",
       "--pairs", "10000", "--totals", "3", "--drop-frame", "2", "--corrupt-rate", "0.25",
       "--cut-after", "3000", "--nak", "1", "--status", "22", "--status-command", "11",
       "--silent", "--unsupported-control", "7", "--late-answer", "3", "--busy", "555",
       "--busy", "556", "--set", "meter_id=X=1", "--no-pending-status", "9", "--clock",
       "2026-12-07T17:15:00"});
  ASSERT_EQ(line.error, "");
  const Options& o = line.options;
  EXPECT_EQ(o.baud, 9600u);
  EXPECT_EQ(o.front, Front::Modem);
  EXPECT_TRUE(o.longFrames);
  EXPECT_EQ(o.seed, 9u);
  EXPECT_EQ(o.password, "pw");
  EXPECT_EQ(o.pairsPerLogger, 10000u);
  EXPECT_EQ(o.totalsRecords, 3u);
  EXPECT_EQ(o.faults.dropFrame, 2u);
  EXPECT_DOUBLE_EQ(o.faults.corruptRate, 0.25);
  EXPECT_EQ(o.faults.cutAfterBytes, 3000u);
  EXPECT_EQ(o.faults.nakMessages, 1u);
  EXPECT_EQ(o.faults.forceStatus, 22);
  EXPECT_EQ(o.faults.forceStatusCommand, 11);
  EXPECT_TRUE(o.faults.silent);
  EXPECT_EQ(o.faults.unsupportedControl, '7');
  EXPECT_EQ(o.faults.lateAnswer, 3u);
  EXPECT_EQ(o.busyNumbers, (std::vector<std::string>{"555", "556"}));
  ASSERT_EQ(o.profileSettings.size(), 1u);
  EXPECT_EQ(o.profileSettings[0].second, "X=1");
  EXPECT_EQ(o.noPendingStatus, 9);
  EXPECT_EQ(o.clockAtStart, 1165511700);
}

TEST(CommandLineTest, ClockTakesMeterTimesWithinTheMetersRange) {
  const struct {
    const char* text;
    int32_t cdtf;  // 0: refused
  } cases[] = {
      {"1990-01-01T00:00:01", 1},
      {"1990-01-02", 86400},
      {"2000-03-01 00:00", 320716800},  // after a leap day of a century leap year
      {"2058-01-19T03:14:07", 2147483647},
      {"1990-01-01T00:00:00", 0},
      {"2058-01-19T03:14:08", 0},
      {"2027-02-29", 0},
      {"2026-12-07T24:00", 0},
      {"2026-12-07T17:15:00Z", 0},
      {"2026-12-07T17", 0},
      {"07.12.2026", 0},
  };
  for (const auto& c : cases) {
    const CommandLine line = parseCommandLine({"--clock", c.text});
    EXPECT_EQ(line.error.empty(), c.cdtf != 0) << c.text << ": " << line.error;
    if (c.cdtf != 0) {
      EXPECT_EQ(line.options.clockAtStart, c.cdtf) << c.text;
    }
  }
}

TEST(CommandLineTest, RefusesWhatItCannotUse) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frobnicate"}, {"--baud"}, {"--baud", "fast"}, {"--corrupt-rate", "1.5"},
      {"--unsupported-control", "77"}, {"--long-frame-size", "300"}, {"--set", "novalue"}};
  for (const auto& arguments : bad) {
    EXPECT_NE(parseCommandLine(arguments).error, "") << arguments[0];
  }
}

TEST(CommandLineTest, HelpNamesEveryOption) {
  EXPECT_TRUE(parseCommandLine({"--help"}).help);
  const std::string help = helpText();
  for (const char* name : {"--baud", "--pad", "--modem", "--long-frames", "--seed", "--profile",
                           "--password", "--pairs", "--totals", "--drop-frame",
                           "--corrupt-rate", "--cut-after", "--nak", "--status", "--silent",
                           "--unsupported-control", "--late-answer", "--busy", "--vanish",
                           "--device", "--clock"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

// The program: its first line is the device to open, and an interrupt ends
// it cleanly.
TEST(MetersimProgramTest, PrintsTheDeviceFirstAndEndsOnInterrupt) {
  for (const bool terminate : {false, true}) {
    platform::ChildProcess program;
    ASSERT_TRUE(program.start(METERSIM_PROGRAM, {"--pairs", "10"}));
    std::string path;
    ASSERT_TRUE(program.readLine(&path, 10000));
    platform::SerialDevice device;
    EXPECT_TRUE(device.open(path)) << path;
    device.close();
    ASSERT_TRUE(terminate ? program.terminate() : program.interrupt());
    ASSERT_TRUE(program.waitFor(10000));
    EXPECT_EQ(program.exitStatus(), 0);
  }
}

TEST(MetersimProgramTest, RefusesABadCommandLine) {
  platform::ChildProcess program;
  platform::ProcessOptions options;
  options.captureStandardError = true;
  ASSERT_TRUE(program.start(METERSIM_PROGRAM, {"--baud", "fast"}, options));
  ASSERT_TRUE(program.waitFor(10000));
  EXPECT_EQ(program.exitStatus(), 2);
  EXPECT_NE(program.standardError().find("--baud"), std::string::npos);
}

}  // namespace
}  // namespace vb::metersim
