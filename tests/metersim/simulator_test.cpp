// The simulator over a real pseudo-terminal, driven by a scripted host:
// the link dialogue, every fault, the resume after a cut, and the PAD and
// modem fronts.
#include "metersim/simulator.h"

#include <gtest/gtest.h>

#include "frame.h"
#include "platform/pty.h"
#include "scripted_host.h"
#include "test_meter_clock.h"
#include "wire_fields.h"

namespace vb::metersim {
namespace {

using test::assemble;
using test::ScriptedHost;
using test::u16At;
using test::u32At;

constexpr uint32_t kReplyWaitMs = 5000;
// How long a meter that should say nothing is listened to.
constexpr uint32_t kQuietMs = 300;

const std::vector<uint8_t> kGetVersions = {0xFF, 2, 1, 0, 2, 0, 0, 0};
const std::vector<uint8_t> kGetDib = buildCommand(kClassMeter, kCmdGetDib, 0, {});

std::vector<uint8_t> le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// The identity block the default meter sends, from a model of its own.
std::vector<uint8_t> expectedDib(const Options& options) {
  Profile profile = Profile::defaults();
  std::string error;
  for (const auto& s : options.profileSettings) profile.apply(s.first, s.second, &error);
  MeterModel model(profile, ModelSettings());
  return model.handle(kGetDib).replies.at(0).bytes;
}

bool isControl(const HostFrame& f, uint8_t character) {
  return !f.data && f.payload.size() == 1 && f.payload[0] == character;
}

class SimulatorTest : public ::testing::Test {
 protected:
  void start(Options options) {
    options_ = vb::test::WithMeterClock(options);
    simulator_ = std::make_unique<Simulator>(options_);
    ASSERT_TRUE(simulator_->start()) << simulator_->error();
    ASSERT_TRUE(host_.open(simulator_->devicePath()));
  }
  // Sends a message and returns the reply frames (ACK first when sent).
  std::vector<HostFrame> exchange(const std::vector<uint8_t>& message) {
    EXPECT_TRUE(host_.sendMessage(message));
    return host_.readFrames(kReplyWaitMs);
  }
  std::vector<uint8_t> reply(const std::vector<uint8_t>& message) {
    bool complete = false;
    std::vector<uint8_t> bytes = assemble(exchange(message), &complete);
    EXPECT_TRUE(complete);
    return bytes;
  }

  Options options_;
  std::unique_ptr<Simulator> simulator_;
  ScriptedHost host_;
};

TEST_F(SimulatorTest, AcknowledgesAndAnswersACommandAfterTheWakeup) {
  start(Options());
  ASSERT_TRUE(host_.wakeup());
  const std::vector<HostFrame> frames = exchange(kGetVersions);
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(isControl(frames.front(), link::CTRL_ACK));
  bool complete = false;
  const std::vector<uint8_t> versions = assemble(frames, &complete);
  ASSERT_TRUE(complete);
  size_t at = 12;
  for (const std::string& text : simulator_->model().versions()) {
    EXPECT_EQ(test::textAt(versions, &at), text);
  }
  EXPECT_EQ(simulator_->wakeups(), 1u);
  const std::vector<ReceivedMessage> received = simulator_->received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].bytes, kGetVersions);
}

TEST_F(SimulatorTest, ServesAGivenDevice) {
  platform::PseudoTerminal line;
  ASSERT_TRUE(line.open());
  Options options;
  options.devicePath = line.slavePath();
  options.baud = 19200;
  line.closeSlave();
  Simulator simulator(options);
  ASSERT_TRUE(simulator.start()) << simulator.error();
  EXPECT_EQ(simulator.devicePath(), line.slavePath());
  ASSERT_TRUE(host_.adopt(line.master()));
  ASSERT_TRUE(host_.sendMessage(kGetVersions));
  bool complete = false;
  EXPECT_EQ(u16At(assemble(host_.readFrames(kReplyWaitMs), &complete), 2), kCmdGetVersions);
  EXPECT_TRUE(complete);
  simulator.stop();
  host_.close();
}

TEST_F(SimulatorTest, NakFaultRefusesTheNextMessagesThenAnswers) {
  Options options;
  options.faults.nakMessages = 2;
  start(options);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(host_.sendMessage(kGetVersions));
    const std::vector<HostFrame> frames = host_.readFrames(
        kReplyWaitMs, [](const HostFrame& f) { return isControl(f, link::CTRL_NAK); });
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(isControl(frames.front(), link::CTRL_NAK));
    EXPECT_EQ(frames.size(), 1u);
  }
  EXPECT_EQ(u16At(reply(kGetVersions), 2), kCmdGetVersions);
  EXPECT_EQ(simulator_->received().size(), 3u);
  EXPECT_EQ(simulator_->faults().nakMessages, 0u);
}

TEST_F(SimulatorTest, DroppedFrameIsServedAgainOnResendRequest) {
  Options options;
  options.faults.dropFrame = 2;
  start(options);
  const std::vector<HostFrame> frames = exchange(kGetDib);
  bool complete = false;
  assemble(frames, &complete);
  ASSERT_FALSE(complete);
  // The second data frame is missing: ask from where the first one ended.
  const HostFrame& first = frames.at(1);
  ASSERT_TRUE(first.data);
  const uint32_t gap = first.position + static_cast<uint32_t>(first.payload.size());
  ASSERT_TRUE(host_.write(controlFrame(link::CTRL_RESEND, gap)));
  std::vector<HostFrame> all = frames;
  const std::vector<HostFrame> resent =
      host_.readFrames(kReplyWaitMs, [gap](const HostFrame& f) { return f.position == gap; });
  ASSERT_EQ(resent.size(), 1u);  // one frame, not the rest of the reply
  all.insert(all.end(), resent.begin(), resent.end());
  EXPECT_EQ(assemble(all, &complete), expectedDib(options));
  EXPECT_TRUE(complete);
  const std::vector<ReceivedMessage> received = simulator_->received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(received[1].control);
  EXPECT_EQ(received[1].controlChar, '2');
  EXPECT_EQ(received[1].position, gap);
}

TEST_F(SimulatorTest, CorruptionSpoilsFramesOnTheWay) {
  Options options;
  options.faults.corruptRate = 1.0;
  start(options);
  ASSERT_TRUE(host_.sendMessage(kGetDib));
  const std::vector<HostFrame> frames = host_.readFrames(kQuietMs);
  EXPECT_TRUE(frames.empty());
  simulator_->setFaults(Faults());
  EXPECT_EQ(u16At(reply(kGetDib), 2), kCmdGetDib);
}

TEST_F(SimulatorTest, ReplyCutOffIsResumedOnANewConnection) {
  Options options;
  options.faults.cutAfterBytes = 200;
  start(options);
  ASSERT_TRUE(host_.wakeup());
  ASSERT_TRUE(host_.sendMessage(kGetDib));
  const std::vector<HostFrame> before = host_.readFramesUntilQuiet(kQuietMs);
  bool complete = false;
  const std::vector<uint8_t> partial = assemble(before, &complete);
  ASSERT_FALSE(complete);
  const uint32_t resumePoint = static_cast<uint32_t>(partial.size());
  ASSERT_GT(resumePoint, 0u);
  ASSERT_LE(resumePoint, 200u);

  // The line is down: nothing is answered until the host connects again.
  ASSERT_TRUE(host_.sendMessage(kGetVersions));
  EXPECT_TRUE(host_.readQuiet(kQuietMs).empty());
  host_.close();
  ASSERT_TRUE(host_.open(simulator_->devicePath()));
  ASSERT_TRUE(host_.wakeup());

  const std::vector<uint8_t> query =
      reply(buildCommand(kClassControl, kCtlQueryPendingReply, 0, {}));
  ASSERT_EQ(u16At(query, 4), kStatusOk);
  const uint16_t id = u16At(query, 10);
  ASSERT_NE(id, 0);

  ASSERT_TRUE(
      host_.sendMessage(buildCommand(kClassControl, kCtlRequestResume, id, le32(resumePoint))));
  std::vector<HostFrame> confirmation = host_.readFrames(kReplyWaitMs);
  const std::vector<uint8_t> confirmed = assemble(confirmation, &complete);
  ASSERT_TRUE(complete);
  ASSERT_EQ(confirmed.size(), 16u);
  EXPECT_EQ(u16At(confirmed, 2), kCtlRequestResume);
  EXPECT_EQ(u16At(confirmed, 10), id);

  std::vector<HostFrame> rest = host_.readFrames(kReplyWaitMs);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.front().position, resumePoint);
  std::vector<HostFrame> all;
  for (const HostFrame& f : before) {
    if (f.data) all.push_back(f);
  }
  all.insert(all.end(), rest.begin(), rest.end());
  EXPECT_EQ(assemble(all, &complete), expectedDib(options));
  EXPECT_TRUE(complete);
  EXPECT_EQ(simulator_->wakeups(), 2u);
}

TEST_F(SimulatorTest, SilentUnsupportedAndVanishedMetersSendNoReply) {
  struct Row {
    const char* name;
    Faults faults;
    std::vector<uint8_t> expectedControls;  // read until the last of them came
  };
  Faults silent;
  silent.silent = true;
  Faults unsupported;
  unsupported.unsupportedControl = '7';
  Faults vanish;
  vanish.vanish = true;
  const Row rows[] = {{"silent", silent, {}},
                      {"unsupported control", unsupported, {link::CTRL_ACK, '7'}},
                      {"vanish", vanish, {}}};
  start(Options());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    simulator_->setFaults(row.faults);
    ASSERT_TRUE(host_.sendMessage(kGetDib));
    const bool expectSome = !row.expectedControls.empty();
    const uint8_t lastExpected = expectSome ? row.expectedControls.back() : 0;
    std::vector<HostFrame> frames = host_.readFrames(
        expectSome ? kReplyWaitMs : kQuietMs,
        [&](const HostFrame& f) { return expectSome && isControl(f, lastExpected); });
    const std::vector<HostFrame> more = host_.readFramesUntilQuiet(kQuietMs);
    frames.insert(frames.end(), more.begin(), more.end());
    std::vector<uint8_t> controls;
    for (const HostFrame& f : frames) {
      EXPECT_FALSE(f.data);
      if (!f.data) controls.push_back(f.payload.at(0));
    }
    EXPECT_EQ(controls, row.expectedControls);
  }
  // Vanished for good.
  simulator_->setFaults(Faults());
  ASSERT_TRUE(host_.sendMessage(kGetDib));
  EXPECT_TRUE(host_.readQuiet(kQuietMs).empty());
  EXPECT_EQ(simulator_->received().size(), 4u);
}

TEST_F(SimulatorTest, ForcedStatusAnswersMatchingCommands) {
  Options options;
  options.faults.forceStatus = 22;
  options.faults.forceStatusCommand = kCmdGetDib;
  start(options);
  EXPECT_EQ(u16At(reply(kGetDib), 4), 22);
  EXPECT_EQ(u16At(reply(kGetVersions), 4), kStatusOk);
}

TEST_F(SimulatorTest, AbortStopsAPacedReply) {
  Options options;
  options.baud = 19200;
  options.pairsPerLogger = 5000;  // 20 kB: about 10 s at this rate
  options.initialLockLevel = 0;
  start(options);
  ASSERT_TRUE(host_.sendMessage(buildCommand(kClassMeter, kCmdGetData, 0,
                                             {1, 0, kSelectAll, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  // Wait for the first data frames, then abort.
  const std::vector<HostFrame> started =
      host_.readFrames(kReplyWaitMs, [](const HostFrame& f) { return f.data && f.position > 0; });
  ASSERT_FALSE(started.empty());
  ASSERT_TRUE(host_.write(controlFrame(link::CTRL_ABORT, 0)));
  const std::vector<uint8_t> after = host_.readQuiet(kQuietMs);
  EXPECT_LT(after.size(), 2000u);
}

TEST_F(SimulatorTest, AsksForAMissingPartOfTheHostsMessage) {
  start(Options());
  const std::string text(300, 'm');
  const std::vector<ReplyFrame> frames = frameReply({text.begin(), text.end()}, 0, 0);
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_TRUE(host_.write(frames[0].bytes));
  ASSERT_TRUE(host_.write(frames[2].bytes));
  const std::vector<HostFrame> asked =
      host_.readFrames(kReplyWaitMs, [](const HostFrame& f) { return !f.data; });
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(isControl(asked[0], link::CTRL_RESEND));
  EXPECT_EQ(asked[0].position, frames[1].position);
  ASSERT_TRUE(host_.write(frames[1].bytes));
  bool complete = false;
  const std::vector<uint8_t> answer = assemble(host_.readFrames(kReplyWaitMs), &complete);
  ASSERT_TRUE(complete);
  EXPECT_EQ(std::string(answer.begin(), answer.end()), kMessageReplyPrefix + text);
}

TEST_F(SimulatorTest, PadClearsPlacesAndRefusesCalls) {
  Options options;
  options.front = Front::Pad;
  options.callSetupMs = 50;
  options.padRefusedAddresses = {"999"};
  start(options);
  ASSERT_TRUE(host_.write("\x10" "CLR\r"));
  EXPECT_EQ(host_.readText("*"), "\r\n*");
  ASSERT_TRUE(host_.write("999\r"));
  EXPECT_NE(host_.readText("ERR").find("ERR"), std::string::npos);
  // No call: the PAD takes the frames for a bad address; the meter is not
  // reached.
  ASSERT_TRUE(host_.sendMessage(kGetVersions));
  EXPECT_EQ(host_.readText("ERR"), "\r\nERR\r\n");

  ASSERT_TRUE(host_.write("1234\r"));
  // The echo, then the connection signal of at least 8 bytes.
  const std::string call = host_.readText("COM\r\n");
  EXPECT_EQ(call, "1234\r\n\r\n1234 COM\r\n");
  EXPECT_EQ(simulator_->connections(), 1u);

  ASSERT_TRUE(host_.wakeup());
  EXPECT_EQ(u16At(reply(kGetVersions), 2), kCmdGetVersions);
  ASSERT_TRUE(host_.write("\x10" "CLR\r"));
  EXPECT_EQ(host_.readText("*"), "\r\n*");
  ASSERT_TRUE(host_.sendMessage(kGetVersions));
  EXPECT_EQ(host_.readText("ERR"), "\r\nERR\r\n");
}

TEST_F(SimulatorTest, ModemDialsAnswersResultCodesAndEscapes) {
  Options options;
  options.front = Front::Modem;
  options.callSetupMs = 50;
  options.escapeGuardMs = 100;
  options.busyNumbers = {"555"};
  options.noDialtoneNumbers = {"556"};
  start(options);
  ASSERT_TRUE(host_.write("ATV1\r"));
  EXPECT_NE(host_.readText("OK").find("OK"), std::string::npos);
  const std::pair<const char*, const char*> failing[] = {{"ATD555\r", "BUSY"},
                                                         {"ATD556\r", "NO DIALTONE"}};
  for (const auto& dial : failing) {
    ASSERT_TRUE(host_.write(dial.first));
    EXPECT_NE(host_.readText(dial.second).find(dial.second), std::string::npos) << dial.second;
  }
  ASSERT_TRUE(host_.write("ATD0123\r"));
  EXPECT_NE(host_.readText("CONNECT 9600/RLP").find("CONNECT 9600/RLP"), std::string::npos);
  EXPECT_EQ(simulator_->connections(), 1u);
  ASSERT_TRUE(host_.wakeup());
  EXPECT_EQ(u16At(reply(kGetVersions), 2), kCmdGetVersions);

  // The escape needs its guard times of silence; the wait is the protocol's.
  platform::realClock().sleepMs(2 * options.escapeGuardMs);
  ASSERT_TRUE(host_.write("+++"));
  EXPECT_NE(host_.readText("OK").find("OK"), std::string::npos);
  ASSERT_TRUE(host_.write("ATH\r"));
  EXPECT_NE(host_.readText("OK").find("OK"), std::string::npos);
  ASSERT_TRUE(host_.sendMessage(kGetVersions));
  EXPECT_TRUE(host_.readQuiet(kQuietMs).empty());
}

}  // namespace
}  // namespace vb::metersim
