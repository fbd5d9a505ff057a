// Command transactions against a scripted meter over a pseudo-terminal and
// the real link library: retries and reconnects of short commands, the
// resumption of long replies, and the connection kept across requests.
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>

#include "exchange_fixture.h"
#include "platform/devicemap.h"
#include "platform/serial.h"

namespace vb::request::testing {
namespace {

// A meter that never answers CancelSession.
std::optional<std::vector<ScriptedReply>> SilentOnCancel(const std::vector<uint8_t>& message) {
  if (CommandIn(message) == kCancel) return std::vector<ScriptedReply>{};
  return std::nullopt;
}

TEST_F(ExchangeTest, TimedOutCommandIsSentCommandAttemptsTimesWithOneReconnectForThree) {
  const struct {
    uint32_t attempts;
    size_t sends;
    uint32_t links;
  } cases[] = {{0, 1, 1}, {1, 1, 1}, {2, 2, 1}, {3, 3, 2}};
  meter_.setOverride(SilentOnCancel);
  request_.download = &versions_;
  UseShortTimeouts();
  uint32_t linksBefore = 0;
  size_t sendsBefore = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attempts);
    request_.commandAttempts = c.attempts;
    clock_.slept = 0;
    EXPECT_EQ(Run(VB_REQ_VERSIONS), 0);
    EXPECT_EQ(result_.code, VB_REQUEST_TIMEOUT);
    EXPECT_EQ(Count(kCancel) - sendsBefore, c.sends);
    EXPECT_EQ(meter_.wakeups() - linksBefore, c.links);
    EXPECT_EQ(request_.connectCount, static_cast<int32_t>(c.links));
    EXPECT_EQ(clock_.slept, (c.links - 1) * 1000u);
    EXPECT_EQ(request_.linkHandle, -1);
    sendsBefore = Count(kCancel);
    linksBefore = meter_.wakeups();
  }
  EXPECT_EQ(Count(kVersions), 0u);
}

// The meter stays silent after the first CancelSession and, when the host
// sends it again, answers both sends: the answer to the second send arrives
// where GetVersions' reply is awaited. It is dropped there; any other reply
// that does not echo GetVersions, the repeated command's echo in another
// shape included, still fails the request.
TEST_F(ExchangeTest, FurtherAnswerToARepeatedCommandIsDroppedAndNoOtherWrongEcho) {
  const struct {
    const char* name;
    std::optional<std::vector<uint8_t>> versionsReply;  // none: the meter's own
    const char* message;
  } cases[] = {
      {"own reply", std::nullopt, ""},
      {"another command's echo", StatusReply(11, 0), "Wrong command number in reply: 11"},
      {"repeated command's echo, other length", MakeReply(3, 0, std::vector<uint8_t>(20)),
       "Wrong command number in reply: 3"},
  };
  request_.download = &versions_;
  request_.commandAttempts = 2;
  UseShortTimeouts();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cancels = std::make_shared<std::atomic<int>>(0);
    const std::optional<std::vector<uint8_t>> versionsReply = c.versionsReply;
    meter_.setOverride([cancels, versionsReply](const std::vector<uint8_t>& message)
                           -> std::optional<std::vector<ScriptedReply>> {
      if (CommandIn(message) == kCancel) {
        const int sends = ++*cancels;
        if (sends == 1) return std::vector<ScriptedReply>{};
        if (sends == 2) return std::vector<ScriptedReply>{{StatusReply(3, 0)}, {StatusReply(3, 0)}};
      }
      if (CommandIn(message) == kVersions && versionsReply) {
        return std::vector<ScriptedReply>{{*versionsReply}};
      }
      return std::nullopt;
    });
    const size_t cancelsBefore = Count(kCancel);
    EXPECT_EQ(Run(VB_REQ_VERSIONS), versionsReply ? 0 : 1) << FieldText(result_.message);
    // Sent twice at the start, and once more at the end of a request that
    // got that far.
    EXPECT_EQ(Count(kCancel) - cancelsBefore, versionsReply ? 2u : 3u);
    EXPECT_EQ(FieldText(result_.message), c.message);
    if (!versionsReply) {
      EXPECT_EQ(FieldText(versions_.text[0]), meter_.versions[0]);
    }
  }
}

// Application-port callbacks: the host's own line to the meter.
struct ApplicationPort {
  std::string path;
  platform::SerialDevice line;
  int closes = 0;
  int reopens = 0;
  int failingReopens = 0;  // reopens that leave no line behind

  bool open(int32_t* handle) {
    if (!line.open(path) || !line.setSettings(platform::SerialSettings{})) return false;
    *handle = platform::fieldFromLine(line.handle());
    return true;
  }
};
ApplicationPort* g_port = nullptr;

int ClosePortCallback(int32_t* handle) {
  ++g_port->closes;
  g_port->line.close();
  *handle = -1;
  return 1;
}

// Reopens the line only after the failing reopens; until then the port
// handle stays -1 and COM1 names no device, so opening the link fails.
int ReopenPortCallback(int32_t* handle) {
  ++g_port->reopens;
  if (g_port->reopens <= g_port->failingReopens) {
    platform::setComDevicePath(1, "/nonexistent/vantbrook-com1");
    return 1;
  }
  return g_port->open(handle) ? 1 : 0;
}

class ReconnectTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    // Silent for the first two CancelSessions, then healthy.
    meter_.setOverride([this](const std::vector<uint8_t>& message)
                           -> std::optional<std::vector<ScriptedReply>> {
      if (CommandIn(message) == kCancel && ++cancels_ <= 2) return std::vector<ScriptedReply>{};
      return std::nullopt;
    });
    request_.download = &versions_;
    request_.commandAttempts = 3;
    UseShortTimeouts();
    port_.path = platform::comDevicePath(1);
    g_port = &port_;
  }
  void TearDown() override {
    g_port = nullptr;
    ExchangeTest::TearDown();
  }

  std::atomic<int> cancels_{0};
  ApplicationPort port_;
};

TEST_F(ReconnectTest, OpenFailingTwiceThenSucceedingWithinThreeAttempts) {
  ASSERT_TRUE(port_.open(&request_.portHandle));
  request_.reopenPortCallback = ReopenPortCallback;
  request_.closePortCallback = ClosePortCallback;
  request_.reconnectAttempts = 3;
  port_.failingReopens = 2;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
  EXPECT_EQ(request_.connectCount, 2);
  EXPECT_EQ(port_.closes, 1);
  EXPECT_EQ(port_.reopens, 3);
  EXPECT_EQ(clock_.slept, 3000u);
  EXPECT_EQ(meter_.wakeups(), 2u);
  EXPECT_EQ(FieldText(versions_.text[7]), "v8");
}

TEST_F(ReconnectTest, CallbacksAreUsedOnlyWhenBothAreSetAndThereIsAnApplicationPort) {
  // Both set, no application port.
  request_.reopenPortCallback = ReopenPortCallback;
  request_.closePortCallback = ClosePortCallback;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
  EXPECT_EQ(port_.closes + port_.reopens, 0);
  EXPECT_EQ(request_.connectCount, 2);

  // Application port, only the close callback set.
  cancels_ = 0;
  ASSERT_TRUE(port_.open(&request_.portHandle));
  request_.reopenPortCallback = nullptr;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
  EXPECT_EQ(port_.closes + port_.reopens, 0);
  EXPECT_EQ(request_.connectCount, 2);
}

TEST_F(ReconnectTest, ReconnectThatNeverOpensFailsWithPortDriverError) {
  meter_.setOverride([](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) != kCancel) return std::nullopt;
    platform::setComDevicePath(1, "/nonexistent/vantbrook-com1");
    return std::vector<ScriptedReply>{};
  });
  request_.reconnectAttempts = 2;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 0);
  EXPECT_EQ(result_.code, VB_PORT_DRIVER_ERROR);
  EXPECT_EQ(FieldText(result_.source), "Vantbrook");
  EXPECT_EQ(FieldText(result_.message), "\nFailed to re-connect");
  EXPECT_EQ(request_.connectCount, 1);
  EXPECT_EQ(clock_.slept, 2000u);
  EXPECT_EQ(request_.linkHandle, -1);
}

// A download of 900 pairs (about 3.7 kB) is long enough to be resumed, and
// every byte of its entries is compared. The meter cuts its reply and keeps
// it pending under an id.
class ResumeTest : public ExchangeTest {
 protected:
  static constexpr uint16_t kReplyId = 0x4D2;
  static constexpr size_t kPairs = 900;

  void SetUp() override {
    ExchangeTest::SetUp();
    for (size_t i = 0; i < kPairs; ++i) {
      meter_.pairs.emplace_back(static_cast<uint16_t>(i * 7919), static_cast<uint16_t>(~i * 31));
    }
    entries_.assign(1000, RawPair{0xEEEE, 0xEEEE});
    download_ = DownloadRecord{&header_, entries_.data(), 1000};
    request_.download = &download_;
    request_.specifier = 2;
    // The receiver gives up on the silent line (frame time-out) before the
    // receive does, so the reception ends with a resume point.
    request_.frameTimeout = kShortTimeoutMs;
    request_.receiveTimeout = 3 * kShortTimeoutMs;
  }

  // The reply to GetData is delivered in pieces: the first up to firstCut,
  // then each resume gains `gain` bytes (0: the rest), in whole frames.
  void CutReplies(uint32_t firstCut, uint32_t gain) { meter_.setOverride(Cutting(firstCut, gain)); }

  StandardMeter::Override Cutting(uint32_t firstCut, uint32_t gain) {
    reply_ = EncodePairReply(13, meter_.header, meter_.pairs);
    return [this, firstCut, gain](const std::vector<uint8_t>& message)
               -> std::optional<std::vector<ScriptedReply>> {
      const Command command = CommandIn(message);
      if (command == kData) return std::vector<ScriptedReply>{{reply_, 0, firstCut, 0}};
      if (command == kQuery) {
        return std::vector<ScriptedReply>{{MakeReply(1, 0, {kReplyId & 0xFF, kReplyId >> 8})}};
      }
      if (command == kResume) {
        const uint32_t offset = static_cast<uint32_t>(message[10] | message[11] << 8 |
                                                      message[12] << 16 | message[13] << 24);
        resumeOffsets_.push_back(offset);
        const uint32_t to = gain == 0 ? UINT32_MAX : offset + gain;
        return std::vector<ScriptedReply>{{MakeReply(2, 0, {message[8], message[9]})},
                                          {reply_, offset, to, 100}};
      }
      return std::nullopt;
    };
  }

  void ExpectAllPairs() {
    ASSERT_EQ(header_.count, kPairs);
    for (size_t i = 0; i < kPairs; ++i) {
      ASSERT_EQ(entries_[i].flow, meter_.pairs[i].first) << i;
      ASSERT_EQ(entries_[i].pressure, meter_.pairs[i].second) << i;
    }
    EXPECT_EQ(entries_[kPairs].flow, 0xEEEE) << "beyond count untouched";
  }

  std::vector<uint8_t> reply_;
  std::vector<uint32_t> resumeOffsets_;
};

TEST_F(ResumeTest, ReplyCutAt3000BytesIsResumedIntoTheSameBuffer) {
  CutReplies(3000, 0);
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ExpectAllPairs();
  EXPECT_EQ(meter_.wakeups(), 2u);
  EXPECT_EQ(request_.connectCount, 2);
  ASSERT_EQ(resumeOffsets_.size(), 1u);
  // Whole frames went out until the cut: the resume point is the first
  // frame boundary at or past 3000 bytes.
  EXPECT_GE(resumeOffsets_[0], 3000u);
  EXPECT_LT(resumeOffsets_[0], 3000u + 128u);
  EXPECT_EQ(Count(kQuery), 1u);
  EXPECT_EQ(Count(kData), 1u);
}

TEST_F(ResumeTest, ResumeLimitGivesUpOnlyAfterThatManySlowCyclesInARow) {
  request_.resumeLimit = 2;
  CutReplies(2400, 600);
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ExpectAllPairs();
  EXPECT_GE(resumeOffsets_.size(), 2u);

  resumeOffsets_.clear();
  CutReplies(2400, 100);
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
  EXPECT_EQ(result_.code, VB_REQUEST_TIMEOUT);
  // The first cycle gains the 2400 bytes before the cut and so is not slow;
  // two slow cycles in a row follow.
  EXPECT_EQ(resumeOffsets_.size(), 3u);
}

TEST_F(ResumeTest, NoResumeWhenResumeLimitIsZero) {
  request_.resumeLimit = 0;
  CutReplies(1000, 0);
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
  EXPECT_EQ(result_.code, VB_REQUEST_TIMEOUT);
  EXPECT_EQ(Count(kQuery), 0u);
  EXPECT_EQ(meter_.wakeups(), 1u);
}

TEST_F(ResumeTest, StatusNineOnThePendingQuerySendsTheWholeCommandAgain) {
  reply_ = EncodePairReply(13, meter_.header, meter_.pairs);
  std::atomic<int> sends{0};
  meter_.setOverride([this, &sends](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    const Command command = CommandIn(message);
    if (command == kData && ++sends == 1) {
      return std::vector<ScriptedReply>{{reply_, 0, 2000, 0}};
    }
    if (command == kQuery) return std::vector<ScriptedReply>{{StatusReply(1, 9)}};
    return std::nullopt;
  });
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ExpectAllPairs();
  const std::vector<Command> expected{kCancel, kUnlockCommand, kData,   kQuery,       kData,
                                      kCancel, kCancel,        kLockCommand};
  EXPECT_EQ(meter_.commands(), expected);
}

TEST_F(ResumeTest, NoPendingReplyEndsWithTimeoutNotWithSuccessCode) {
  reply_ = EncodePairReply(13, meter_.header, meter_.pairs);
  meter_.setOverride([this](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) == kData) return std::vector<ScriptedReply>{{reply_, 0, 2000, 0}};
    return std::nullopt;  // the standard query answer names no pending reply
  });
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
  EXPECT_EQ(result_.code, VB_REQUEST_TIMEOUT);
  EXPECT_EQ(FieldText(result_.source), "Vantbrook");
  EXPECT_EQ(FieldText(result_.message), "No pending reply to resume");
}

TEST_F(ResumeTest, ResumeDialogueThatGoesWrongFailsWithAReason) {
  const struct {
    const char* name;
    Command command;
    std::vector<uint8_t> reply;
    int32_t code;
    const char* message;
  } cases[] = {
      {"query reply without id", kQuery, MakeReply(1, 0, {}), 2, "Reply too short: 10 bytes"},
      {"query reply for another command", kQuery, MakeReply(2, 0, {7, 0}), 16,
       "No pending reply to resume"},
      {"resume of another reply", kResume, MakeReply(2, 0, {0x99, 0x99}), 16,
       "Meter did not resume the reply"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StandardMeter::Override cutting = Cutting(1000, 0);
    meter_.setOverride([&c, cutting](const std::vector<uint8_t>& message)
                           -> std::optional<std::vector<ScriptedReply>> {
      if (CommandIn(message) == c.command) return std::vector<ScriptedReply>{{c.reply}};
      return cutting(message);
    });
    EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
    EXPECT_EQ(result_.code, c.code);
    EXPECT_EQ(FieldText(result_.source), "Vantbrook");
    EXPECT_EQ(FieldText(result_.message), c.message);
  }
}

// Hold and release: the link lives across requests until released, or until
// a flow ends with a code other than 0 and 7.
TEST_F(ExchangeTest, HeldLinkServesLaterRequestsUntilReleasedOrClosedByAFailure) {
  EXPECT_EQ(Run(VB_REQ_HOLD), 1) << FieldText(result_.message);
  EXPECT_EQ(request_.holdConnection, 1);
  EXPECT_NE(request_.linkHandle, -1);
  const int32_t held = request_.linkHandle;

  request_.download = &versions_;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
  EXPECT_EQ(request_.linkHandle, held);
  EXPECT_EQ(request_.connectCount, 1);
  EXPECT_EQ(meter_.wakeups(), 1u);

  // Code 7 keeps the link open.
  meter_.setOverride([](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) == kData) return std::vector<ScriptedReply>{{StatusReply(13, 7)}};
    return std::nullopt;
  });
  request_.download = &download_;
  request_.specifier = 1002;
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
  EXPECT_EQ(result_.code, VB_NO_DATA_IN_RANGE);
  EXPECT_EQ(request_.linkHandle, held);
  EXPECT_EQ(Count(kRestart), 0u);
  EXPECT_EQ(Count(kLockCommand), 0u);

  // Code 4 closes it although the hold is set; the next request opens anew.
  meter_.setOverride([](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) == kUnlockCommand) {
      return std::vector<ScriptedReply>{{StatusReply(8, 4)}};
    }
    return std::nullopt;
  });
  EXPECT_EQ(Run(VB_REQ_HEADER), 0);
  EXPECT_EQ(result_.code, VB_READ_ACCESS_DENIED);
  EXPECT_EQ(FieldText(result_.message), "Read Access denied (Logger locked at level 2)");
  EXPECT_EQ(request_.linkHandle, -1);
  EXPECT_EQ(request_.holdConnection, 1);

  meter_.setOverride(nullptr);
  request_.download = &versions_;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 1);
  EXPECT_EQ(meter_.wakeups(), 2u);
  EXPECT_NE(request_.linkHandle, -1);

  EXPECT_EQ(Run(VB_REQ_RELEASE), 1);
  EXPECT_EQ(request_.linkHandle, -1);
  EXPECT_EQ(request_.holdConnection, 0);
  EXPECT_EQ(Run(VB_REQ_RELEASE), 0);
}

}  // namespace
}  // namespace vb::request::testing
