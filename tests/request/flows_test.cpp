// The request flows end to end against a scripted meter: the order of their
// commands, the message pass-through and the identity block re-read.
#include <cstring>

#include "exchange_fixture.h"

namespace vb::request::testing {
namespace {

TEST_F(ExchangeTest, MessageIsSentUnchangedAndTheAnswerLandsInTheHostBuffer) {
  const std::string answer = "METER SAYS HELLO";
  meter_.setOverride([answer](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (message == std::vector<uint8_t>{'a', 'b', 'c'}) {
      return std::vector<ScriptedReply>{{std::vector<uint8_t>(answer.begin(), answer.end())}};
    }
    return std::nullopt;
  });
  std::vector<unsigned char> host(200, 0);
  std::memcpy(host.data(), "abc", 4);
  request_.data = host.data();
  request_.dataLength = 200;
  EXPECT_EQ(Run(VB_REQ_MESSAGE), 1) << FieldText(result_.message);
  EXPECT_EQ(std::string(host.begin(), host.begin() + static_cast<long>(answer.size())), answer);
  EXPECT_EQ(request_.data, host.data());
  EXPECT_EQ(request_.dataLength, 200u);
  const std::vector<std::vector<uint8_t>> received = meter_.received();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[2], (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(CommandIn(received[1]), kUnlockCommand);
  EXPECT_EQ(CommandIn(received[3]), kLockCommand);
}

TEST_F(ExchangeTest, MessageWithoutNulAndAnAnswerLongerThanTheBufferStayWithinIt) {
  meter_.setOverride([](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (message == std::vector<uint8_t>{'A', 'B', 'C', 'D', 'E'}) {
      return std::vector<ScriptedReply>{{std::vector<uint8_t>(10, 'z')}};
    }
    return std::nullopt;
  });
  std::vector<unsigned char> host{'A', 'B', 'C', 'D', 'E', '#', '#', '#'};
  request_.data = host.data();
  request_.dataLength = 5;
  // The longest Unlock (52 bytes) is built in the work buffer of this request.
  std::memset(request_.password, 'p', sizeof request_.password);
  EXPECT_EQ(Run(VB_REQ_MESSAGE), 0);
  EXPECT_EQ(result_.code, VB_MESSAGE_TRUNCATED);
  EXPECT_EQ(FieldText(result_.message), "Message truncated - actual length 10");
  EXPECT_EQ(std::string(host.begin(), host.end()), "zzzzz###");
  EXPECT_EQ(request_.dataLength, 5u);
  EXPECT_EQ(Count(kLockCommand), 0u);
}

TEST_F(ExchangeTest, IdentityBlockIsDecodedFieldByField) {
  meter_.dib.meterId = std::string(50, 'Q');
  meter_.dib.supplier = 0x1234;
  meter_.dib.lastAlt = 0xFFFFFFFF;
  for (size_t i = 0; i < meter_.dib.texts.size(); ++i) {
    meter_.dib.texts[i] = "text " + std::to_string(i);
  }
  ASSERT_EQ(Run(VB_REQ_DIB), 1) << FieldText(result_.message);
  EXPECT_EQ(dib_.strusize, 680);
  EXPECT_EQ(dib_.struvers, 3);
  EXPECT_EQ(dib_.supplier, 0x1234);
  EXPECT_EQ(FieldText(dib_.meter_id), std::string(39, 'Q'));
  EXPECT_EQ(dib_.last_alt, 631152000u);
  EXPECT_EQ(dib_.trans_id, 11u);
  EXPECT_EQ(dib_.transpin, 12);
  EXPECT_EQ(dib_.flows_id, 13u);
  EXPECT_EQ(dib_.press_id, 14u);
  EXPECT_FLOAT_EQ(dib_.calibore, 100.0f);
  EXPECT_EQ(dib_.aux_word, 15);
  EXPECT_EQ(FieldText(dib_.flowcont), "text 0");
  EXPECT_EQ(FieldText(dib_.loggvers), "text 14");
  EXPECT_EQ(result_.code, VB_OK);
  EXPECT_EQ(request_.connectCount, 1);
  EXPECT_EQ(request_.linkHandle, -1);

  // The stored supplier is now expected; another one is refused.
  meter_.dib.supplier = 0x1235;
  EXPECT_EQ(Run(VB_REQ_DIB), 0);
  EXPECT_EQ(result_.code, VB_SUPPLIER_MISMATCH);
  EXPECT_EQ(FieldText(result_.message), "Mismatch on supplier ID. Expected 4660, got 4661");
  EXPECT_EQ(dib_.supplier, 0x1234);
}

TEST_F(ExchangeTest, IdentityBlockNotAvailableStillClosesTheLink) {
  meter_.setOverride([](const std::vector<uint8_t>& message)
                         -> std::optional<std::vector<ScriptedReply>> {
    if (CommandIn(message) == kDib) return std::vector<ScriptedReply>{{StatusReply(11, 22)}};
    return std::nullopt;
  });
  EXPECT_EQ(Run(VB_REQ_DIB), 0);
  EXPECT_EQ(result_.code, VB_DIB_NOT_AVAILABLE);
  EXPECT_EQ(FieldText(result_.message), "DIB not available");
  EXPECT_EQ(request_.linkHandle, -1);
  EXPECT_EQ(Count(kCancel), 1u);
}

TEST_F(ExchangeTest, ChangedIdentityBlockIsReadAgainBeforeLock) {
  const struct {
    uint32_t statusFlags;
    std::vector<Command> commands;
  } cases[] = {
      {0x2000,
       {kCancel, kUnlockCommand, kHeader, kCancel, kDib, kCancel, kLockCommand}},
      {0x1FFF, {kCancel, kUnlockCommand, kHeader, kCancel, kLockCommand}},
  };
  request_.download = &download_;
  meter_.dib.meterId = "CHANGED";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statusFlags);
    meter_.header.statusFlags = c.statusFlags;
    dib_ = DibRecord{};
    const size_t before = meter_.received().size();
    EXPECT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
    const std::vector<Command> all = meter_.commands();
    EXPECT_EQ(std::vector<Command>(all.begin() + static_cast<long>(before), all.end()),
              c.commands);
    EXPECT_EQ(header_.statusFlags, c.statusFlags);
    EXPECT_EQ(FieldText(dib_.meter_id), c.statusFlags == 0x2000 ? "CHANGED" : "");
  }
}

TEST_F(ExchangeTest, DownloadAsksForTheReducedSpecifierAndRestartsAfterIt) {
  meter_.pairs = {{1000, 2014}, {0xFFFF, 2014}};
  request_.download = &download_;
  request_.specifier = 1001;
  request_.rangeStart = 5;
  request_.rangeEnd = 9;
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  std::vector<uint8_t> data;
  for (const auto& message : meter_.received()) {
    if (CommandIn(message) == kData) data = message;
  }
  const std::vector<uint8_t> expected{0xFF, 2, 13, 0, 14, 0, 0, 0, 0, 0, 1,
                                      0,    1, 0,  5, 0,  0, 0, 9, 0, 0, 0};
  EXPECT_EQ(data, expected);
  EXPECT_EQ(Count(kRestart), 1u);
  EXPECT_EQ(header_.count, 2u);
  EXPECT_EQ(entries_[1].flow, 0xFFFF);

  // Time ranges go out as meter times.
  request_.specifier = 0;
  request_.rangeStart = 631152000;
  request_.rangeEnd = 631152060;
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  for (const auto& message : meter_.received()) {
    if (CommandIn(message) == kData) data = message;
  }
  EXPECT_EQ(std::vector<uint8_t>(data.begin() + 12, data.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 60, 0, 0, 0}));
  EXPECT_EQ(Count(kRestart), 1u);
}

}  // namespace
}  // namespace vb::request::testing
