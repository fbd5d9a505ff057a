// The command steps as the meter sees them, and how their replies are
// checked: Unlock's password, RestartLogger's parameters and LogNo echo,
// SetTime, and replies that are refused, mistaken or too short.
#include <cstring>

#include "exchange_fixture.h"
#include "formats/cdtf.h"

namespace vb::request::testing {
namespace {

std::vector<uint8_t> OnlyMessage(const StandardMeter& meter, const Command& command) {
  for (const auto& message : meter.received()) {
    if (CommandIn(message) == command) return message;
  }
  return {};
}

ScriptedReply Reply(std::vector<uint8_t> bytes) { return ScriptedReply{std::move(bytes)}; }

StandardMeter::Override AnswerWith(Command command, std::vector<uint8_t> bytes) {
  return [command, bytes](const std::vector<uint8_t>& message)
             -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) == command) return std::vector<ScriptedReply>{Reply(bytes)};
    return std::nullopt;
  };
}

TEST_F(ExchangeTest, UnlockSendsThePasswordWithItsNulBoundedByTheField) {
  const struct {
    const char* name;
    std::string password;  // the field's bytes; shorter ones are NUL-filled
    size_t sentLength;
  } cases[] = {{"empty", "", 11}, {"six characters", "secret", 17},
               {"fills the field without NUL", std::string(41, 'p'), 52}};
  request_.download = &download_;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::memset(request_.password, 0, sizeof request_.password);
    std::memcpy(request_.password, c.password.data(), c.password.size());
    const size_t before = meter_.received().size();
    EXPECT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
    const std::vector<std::vector<uint8_t>> received = meter_.received();
    std::vector<uint8_t> unlock;
    for (size_t i = before; i < received.size(); ++i) {
      if (CommandIn(received[i]) == kUnlockCommand) unlock = received[i];
    }
    ASSERT_EQ(unlock.size(), c.sentLength);
    EXPECT_EQ(unlock[4], c.sentLength - 8);  // dataCount
    EXPECT_EQ(std::string(unlock.begin() + 10, unlock.end() - 1), c.password);
    EXPECT_EQ(unlock.back(), 0);
  }
}

TEST_F(ExchangeTest, UnlockRefusals) {
  const struct {
    uint16_t status;
    int32_t code;
    const char* message;
  } cases[] = {{9, 9, "Incorrect password"},
               {4, 4, "Read Access denied (Logger locked at level 2)"},
               {40, 2, "Unknown error code in reply: 40"}};
  request_.download = &download_;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    meter_.setOverride(AnswerWith(kUnlockCommand, StatusReply(8, c.status)));
    EXPECT_EQ(Run(VB_REQ_HEADER), 0);
    EXPECT_EQ(result_.code, c.code);
    EXPECT_EQ(FieldText(result_.source), "Vantbrook");
    EXPECT_EQ(FieldText(result_.message), c.message);
    EXPECT_EQ(request_.linkHandle, -1);
  }
  EXPECT_EQ(Count(kHeader), 0u);
}

class RestartTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    meter_.pairs = {{1, 2}, {3, 4}};
    request_.download = &download_;
    request_.logNo = 2;
    request_.specifier = 1002;
  }
};

TEST_F(RestartTest, PlainRestartWithoutHostDataAndSixParameterBytesWithIt) {
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  const std::vector<uint8_t> plain = OnlyMessage(meter_, kRestart);
  const std::vector<uint8_t> expectedPlain{0xFF, 2, 15, 0, 4, 0, 0, 0, 0, 0, 2, 0};
  EXPECT_EQ(plain, expectedPlain);

  unsigned char parameters[8] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
  request_.data = parameters;
  request_.dataLength = sizeof parameters;
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  const std::vector<uint8_t> withParameters = OnlyMessage(meter_, kRestartWithParameters);
  const std::vector<uint8_t> expected{0xFF, 2,    16,   0,    10,   0,    0,    0,   0,
                                      0,    2,    0,    0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
  EXPECT_EQ(withParameters, expected);
  EXPECT_EQ(request_.data, parameters);
  EXPECT_EQ(request_.dataLength, sizeof parameters);
}

TEST_F(RestartTest, LogNoEchoIsCheckedBeforeTheStatusAndShortRepliesAreRefused) {
  const struct {
    const char* name;
    std::vector<uint8_t> reply;
    int32_t code;
    const char* message;
  } cases[] = {
      {"LogNo 1 for 2", MakeReply(15, 0, {0, 0, 1, 0}), 17,
       "Bad LogNo received. Expected 2, got 1"},
      {"LogNo 1 for 2 with status 8", MakeReply(15, 8, {0, 0, 1, 0}), 17,
       "Bad LogNo received. Expected 2, got 1"},
      {"status 8", MakeReply(15, 8, {0, 0, 2, 0}), 8, "Busy"},
      {"no LogNo, status 8", StatusReply(15, 8), 8, "Busy"},
      {"no LogNo, status 0", StatusReply(15, 0), 2, "Reply too short: 12 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    meter_.setOverride(AnswerWith(kRestart, c.reply));
    EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
    EXPECT_EQ(result_.code, c.code);
    EXPECT_EQ(FieldText(result_.source), "Vantbrook");
    EXPECT_EQ(FieldText(result_.message), c.message);
  }
}

TEST_F(ExchangeTest, SetTimeSendsTheHostsLocalStandardTimeBeforeOrAfterTheDownload) {
  meter_.pairs = {{1, 2}};
  request_.download = &download_;
  const struct {
    char mode;
    std::vector<Command> commands;
  } cases[] = {
      {'B', {kCancel, kUnlockCommand, kSetTimeCommand, kData, kCancel, kCancel, kLockCommand}},
      {'A', {kCancel, kUnlockCommand, kData, kCancel, kSetTimeCommand, kCancel, kLockCommand}},
      {'b', {kCancel, kUnlockCommand, kData, kCancel, kCancel, kLockCommand}},
      {0, {kCancel, kUnlockCommand, kData, kCancel, kCancel, kLockCommand}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    request_.setTimeMode = c.mode;
    const size_t before = meter_.received().size();
    const int32_t expectedTime = HostClockToCdtf();
    EXPECT_EQ(Run(VB_REQ_DOWNLOAD_CONVERTED), 1) << FieldText(result_.message);
    const std::vector<Command> all = meter_.commands();
    EXPECT_EQ(std::vector<Command>(all.begin() + static_cast<long>(before), all.end()),
              c.commands);
    if (c.mode == 'A' || c.mode == 'B') {
      const std::vector<uint8_t> setTime = meter_.received()[before + (c.mode == 'B' ? 2 : 4)];
      ASSERT_EQ(setTime.size(), 14u);
      int32_t sent = 0;
      std::memcpy(&sent, setTime.data() + 10, 4);
      EXPECT_NEAR(sent, expectedTime, 5);
    }
  }
}

TEST_F(ExchangeTest, RepliesThatFailTheirChecks) {
  const struct {
    const char* name;
    Command command;
    std::vector<uint8_t> reply;
    int32_t code;
    const char* message;
  } cases[] = {
      {"versions echo 11", kVersions, StatusReply(11, 0), 2, "Wrong command number in reply: 11"},
      {"versions marker 0", kVersions, {0x00, 2, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0}, 2,
       "Reply message format not recognised"},
      {"versions status 40", kVersions, StatusReply(1, 40), 2, "Unknown error code in reply: 40"},
      {"versions reply of 4 bytes", kVersions, {0xFF, 2, 1, 0}, 2, "Reply too short: 4 bytes"},
      {"cancel reply of 5 bytes", kCancel, {0xFF, 3, 3, 0, 0}, 2, "Reply too short: 5 bytes"},
      {"cancel status 8", kCancel, StatusReply(3, 8), 8, "Busy"},
  };
  request_.download = &versions_;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    meter_.setOverride(AnswerWith(c.command, c.reply));
    EXPECT_EQ(Run(VB_REQ_VERSIONS), 0);
    EXPECT_EQ(result_.code, c.code);
    EXPECT_EQ(FieldText(result_.source), "Vantbrook");
    EXPECT_EQ(FieldText(result_.message), c.message);
    EXPECT_EQ(request_.linkHandle, -1);
  }
}

TEST_F(ExchangeTest, DownloadRepliesThatFailTheirChecks) {
  PairHeaderWire otherSupplier;
  otherSupplier.supplier = 9;
  std::vector<uint8_t> overlong = EncodePairReply(13, PairHeaderWire{}, {{1, 2}, {3, 4}});
  overlong[6] = static_cast<uint8_t>(overlong[6] + 40);  // counts 40 bytes that never came
  const struct {
    const char* name;
    std::vector<uint8_t> reply;
    int32_t code;
    const char* message;
  } cases[] = {
      {"status 7", StatusReply(13, 7), 7, "No data in specified range"},
      {"echo 12", EncodePairReply(12, PairHeaderWire{}, {}), 2,
       "Wrong command number in reply: 12"},
      {"supplier 9", EncodePairReply(13, otherSupplier, {{1, 2}}), 14,
       "Mismatch on supplier ID. Expected 7, got 9"},
      {"byte count beyond the reply", overlong, 13, nullptr},
  };
  dib_.supplier = 7;
  request_.download = &download_;
  header_.siteId[0] = 'X';
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    meter_.setOverride(AnswerWith(kData, c.reply));
    EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
    EXPECT_EQ(result_.code, c.code);
    EXPECT_EQ(FieldText(result_.source), "Vantbrook");
    if (c.message != nullptr) {
      EXPECT_EQ(FieldText(result_.message), c.message);
    }
    EXPECT_EQ(header_.siteId[0], 'X') << "header record untouched";
    EXPECT_EQ(Count(kLockCommand), 0u);
  }
}

}  // namespace
}  // namespace vb::request::testing
