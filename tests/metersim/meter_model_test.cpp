// The meter model: command answers decoded back field by field.
#include "metersim/meter_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "crc16.h"
#include "wire_fields.h"

namespace vb::metersim {
namespace {

using test::f32At;
using test::textAt;
using test::u16At;
using test::u32At;

constexpr int32_t kClock = 1000000000;  // CDTF the meter clock starts at

std::vector<uint8_t> le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
std::vector<uint8_t> le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> getData(uint16_t logNo, uint16_t mode, uint32_t from, uint32_t to) {
  return buildCommand(kClassMeter, kCmdGetData, 0,
                      concat({le16(logNo), le16(mode), le32(from), le32(to)}));
}
std::vector<uint8_t> unlockWith(const std::string& password) {
  std::vector<uint8_t> data(password.begin(), password.end());
  data.push_back(0);
  return buildCommand(kClassMeter, kCmdUnlock, 0, data);
}

class MeterModelTest : public ::testing::Test {
 protected:
  static ModelSettings settings() {
    ModelSettings s;
    s.seed = 7;
    s.pairsPerLogger = 10;
    s.totalsRecords = 5;
    s.password = "secret";
    s.clockAtStart = kClock;
    return s;
  }
  std::vector<uint8_t> ask(const std::vector<uint8_t>& message) {
    Answer answer = model.handle(message);
    EXPECT_EQ(answer.replies.size(), 1u);
    return answer.replies.at(0).bytes;
  }
  std::vector<uint8_t> askUnlocked(const std::vector<uint8_t>& message) {
    EXPECT_EQ(u16At(ask(unlockWith("secret")), 4), kStatusOk);
    return ask(message);
  }
  MeterModel model{Profile::defaults(), settings()};
};

// Every reply: marker, command echo, and a byte count of what follows byte 10.
void expectFrame(const std::vector<uint8_t>& reply, uint16_t command) {
  ASSERT_GE(reply.size(), 12u);
  EXPECT_EQ(reply[0], 0xFF);
  EXPECT_EQ(u16At(reply, 2), command);
  EXPECT_EQ(u32At(reply, 6), reply.size() - 10);
}

struct SelectionCase {
  const char* name;
  uint16_t logNo;
  uint16_t mode;
  int firstIndex;  // index of the first entry expected; -1 when none
  int count;
  uint16_t status;
};

TEST_F(MeterModelTest, GetDataSelectsByTimeRsnOrAllAndReportsEmptyRanges) {
  const std::vector<Pair> pairs = model.pairs(1);
  const std::vector<TotalsEntry> totals = model.totals();
  ASSERT_EQ(pairs.size(), 10u);
  ASSERT_EQ(totals.size(), 5u);
  auto time = [&](int i) { return static_cast<uint32_t>(pairs[i].time); };
  struct Row {
    SelectionCase c;
    uint32_t from, to;
  };
  const Row rows[] = {
      {{"time inside", 1, kSelectByTime, 2, 4, 0}, time(2), time(5)},
      {{"time, alternative code", 1, kSelectByTimeAlt, 0, 1, 0}, time(0) - 5, time(0)},
      {{"time before the first", 1, kSelectByTime, -1, 0, kStatusNoData}, 0, time(0) - 1},
      {{"rsn across the end", 1, kSelectByRsn, 7, 3, 0}, pairs[7].rsn, pairs[9].rsn + 50},
      {{"rsn inverted", 1, kSelectByRsn, -1, 0, kStatusNoData}, pairs[5].rsn, pairs[2].rsn},
      {{"all", 1, kSelectAll, 0, 10, 0}, 0, 0},
      {{"totals by rsn", 3, kSelectByRsn, 1, 2, 0}, totals[1].rsn, totals[2].rsn},
      {{"totals all", 3, kSelectAll, 0, 5, 0}, 0, 0},
      {{"unknown selection", 1, 9, -1, 0, kStatusDatamodeNotSupported}, 0, 0},
      {{"no such logger", 4, kSelectAll, -1, 0, kStatusNoSuchLogger}, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.c.name);
    const std::vector<uint8_t> reply =
        askUnlocked(getData(row.c.logNo, row.c.mode, row.from, row.to));
    expectFrame(reply, kCmdGetData);
    ASSERT_EQ(u16At(reply, 4), row.c.status);
    if (row.c.status != 0) continue;
    const uint32_t byteCount = u32At(reply, 14);
    const size_t entrySize = row.c.logNo == 3 ? kTotalsRecordSize : 4;
    const size_t entryBytes = reply.size() - 14 - byteCount;
    ASSERT_EQ(entryBytes % entrySize, 0u);
    ASSERT_EQ(entryBytes / entrySize, static_cast<size_t>(row.c.count));
    for (int k = 0; k < row.c.count; ++k) {
      const size_t at = 14 + byteCount + k * entrySize;
      if (row.c.logNo == 3) {
        const auto& wire = totals[row.c.firstIndex + k].wire;
        EXPECT_TRUE(std::equal(wire.begin(), wire.end(), reply.begin() + at));
      } else {
        EXPECT_EQ(u16At(reply, at), pairs[row.c.firstIndex + k].flow);
        EXPECT_EQ(u16At(reply, at + 2), pairs[row.c.firstIndex + k].pressure);
      }
    }
  }
}

TEST_F(MeterModelTest, TotalsRecordsCarryTheCrcOfTheirFirst38Bytes) {
  for (const TotalsEntry& entry : model.totals()) {
    const uint16_t crc = Crc16(entry.wire.data(), kTotalsCrcCovered);
    EXPECT_EQ(entry.wire[38], crc & 0xFF);
    EXPECT_EQ(entry.wire[39], crc >> 8);
    EXPECT_EQ(static_cast<int32_t>(u32At({entry.wire.begin(), entry.wire.end()}, 0)), entry.time);
  }
}

TEST_F(MeterModelTest, IdentityBlockReplyFollowsTheWireLayout) {
  const std::vector<uint8_t> reply = ask(buildCommand(kClassMeter, kCmdGetDib, 0, {}));
  expectFrame(reply, kCmdGetDib);
  EXPECT_EQ(u16At(reply, 4), kStatusOk);
  const IdentityBlock id = model.identity();
  EXPECT_EQ(u32At(reply, 12), id.strusize);
  EXPECT_EQ(u16At(reply, 16), id.struvers);
  EXPECT_EQ(u16At(reply, 20), id.supplier);
  size_t at = 22;
  EXPECT_EQ(textAt(reply, &at), id.meter_id);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at)), id.last_alt);
  EXPECT_EQ(u32At(reply, at + 4), id.trans_id);
  EXPECT_EQ(u16At(reply, at + 8), id.transpin);
  EXPECT_EQ(u32At(reply, at + 10), id.flows_id);
  EXPECT_EQ(u32At(reply, at + 14), id.press_id);
  EXPECT_EQ(f32At(reply, at + 18), id.calibore);
  EXPECT_EQ(u16At(reply, at + 22), id.aux_word);
  at += 24;
  for (const std::string* text :
       {&id.flowcont, &id.trancont, &id.prescont, &id.transtag, &id.presstag, &id.manufact,
        &id.transtyp, &id.business, &id.location, &id.flowcali, &id.prescali, &id.usermess,
        &id.tranvers, &id.protvers, &id.loggvers}) {
    EXPECT_EQ(textAt(reply, &at), *text);
  }
  EXPECT_EQ(at, reply.size());
}

TEST_F(MeterModelTest, DataHeaderReplyFollowsTheWireLayout) {
  const std::vector<uint8_t> reply =
      askUnlocked(buildCommand(kClassMeter, kCmdGetHeader, 0, le16(1)));
  expectFrame(reply, kCmdGetHeader);
  const DataLoggerHeader h = model.dataHeader(1);
  const std::vector<Pair> pairs = model.pairs(1);
  const uint32_t byteCount = u32At(reply, 14);
  EXPECT_EQ(u32At(reply, 6), byteCount + 4);  // no entries in a header reply
  EXPECT_EQ(u16At(reply, 18), h.formatVersion);
  EXPECT_EQ(u16At(reply, 20), h.type);
  EXPECT_EQ(u16At(reply, 22), model.identity().supplier);
  size_t at = 24;
  EXPECT_EQ(textAt(reply, &at), h.siteId);
  EXPECT_NEAR(static_cast<int32_t>(u32At(reply, at)), kClock, 5);  // current
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at + 4)), h.priorDateTime);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at + 8)), h.postDateTime);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at + 12)), h.originalLoggerResetDateTime);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at + 16)), h.correctedLoggerResetDateTime);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at + 20)), pairs.front().time);
  EXPECT_EQ(u32At(reply, at + 24), pairs.front().rsn);
  EXPECT_EQ(u32At(reply, at + 28), static_cast<uint32_t>(pairs.back().time));
  EXPECT_EQ(u32At(reply, at + 32), pairs.back().rsn);
  EXPECT_EQ(u16At(reply, at + 36), 900);
  EXPECT_EQ(f32At(reply, at + 38), h.calibratedBore);
  EXPECT_EQ(u16At(reply, at + 42), h.velocityFormat);
  EXPECT_EQ(u16At(reply, at + 44), h.pressureFormat);
  EXPECT_EQ(static_cast<int16_t>(u16At(reply, at + 46)), h.heightOffset);
  EXPECT_EQ(u32At(reply, at + 48), h.statusFlags);
  EXPECT_EQ(at + 52, 14 + byteCount);
  EXPECT_EQ(reply.size(), 14 + byteCount);
}

TEST_F(MeterModelTest, TotalsHeaderReplyFollowsTheWireLayout) {
  const std::vector<uint8_t> reply =
      askUnlocked(buildCommand(kClassMeter, kCmdGetHeader, 0, le16(3)));
  expectFrame(reply, kCmdGetHeader);
  const TotalsLoggerHeader h = model.totalsHeader();
  const std::vector<TotalsEntry> totals = model.totals();
  const uint32_t byteCount = u32At(reply, 14);
  EXPECT_EQ(u32At(reply, 6), byteCount + 4);
  size_t at = 24;
  EXPECT_EQ(textAt(reply, &at), h.siteId);
  at += 12;
  EXPECT_EQ(textAt(reply, &at), h.auxText);
  EXPECT_EQ(f32At(reply, at), h.auxValue);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, at + 4)), totals.front().time);
  EXPECT_EQ(u32At(reply, at + 8), totals.front().rsn);
  EXPECT_EQ(u32At(reply, at + 12), static_cast<uint32_t>(totals.back().time));
  EXPECT_EQ(u32At(reply, at + 16), totals.back().rsn);
  EXPECT_EQ(at + 24, 14 + byteCount);
}

TEST_F(MeterModelTest, VersionsAreEightTextsFromOffset12) {
  const std::vector<uint8_t> reply = ask({0xFF, 2, 1, 0, 2, 0, 0, 0});  // 8 bytes, as sent
  expectFrame(reply, kCmdGetVersions);
  size_t at = 12;
  for (const std::string& text : model.versions()) EXPECT_EQ(textAt(reply, &at), text);
  EXPECT_EQ(at, reply.size());
}

TEST_F(MeterModelTest, LockLevelsRefuseReadsAndWritesUntilUnlocked) {
  const auto header = buildCommand(kClassMeter, kCmdGetHeader, 0, le16(1));
  const auto setTime = buildCommand(kClassMeter, kCmdSetTime, 0, le32(kClock));
  EXPECT_EQ(u16At(ask(header), 4), kStatusReadLocked);
  EXPECT_EQ(u16At(ask(setTime), 4), kStatusWriteLocked);
  EXPECT_EQ(u16At(ask(unlockWith("wrong")), 4), kStatusParameterNotValid);
  EXPECT_EQ(model.lockLevel(), 2);
  EXPECT_EQ(u16At(ask(unlockWith("secret")), 4), kStatusOk);
  EXPECT_EQ(model.lockLevel(), 0);
  EXPECT_EQ(u16At(ask(header), 4), kStatusOk);
  EXPECT_EQ(u16At(ask(buildCommand(kClassMeter, kCmdLock, 0, {})), 4), kStatusOk);
  EXPECT_EQ(u16At(ask(header), 4), kStatusReadLocked);
  // The identity block and versions are readable whatever the lock.
  EXPECT_EQ(u16At(ask(buildCommand(kClassMeter, kCmdGetDib, 0, {})), 4), kStatusOk);

  ModelSettings writeLocked = settings();
  writeLocked.initialLockLevel = 1;
  writeLocked.password.clear();
  MeterModel level1(Profile::defaults(), writeLocked);
  EXPECT_EQ(u16At(level1.handle(header).replies.at(0).bytes, 4), kStatusOk);
  EXPECT_EQ(u16At(level1.handle(setTime).replies.at(0).bytes, 4), kStatusWriteLocked);
  // Without a password of its own the meter takes any.
  EXPECT_EQ(u16At(level1.handle(unlockWith("anything")).replies.at(0).bytes, 4), kStatusOk);
}

TEST_F(MeterModelTest, SetTimeAnswersNewAndPreviousTime) {
  const int32_t newTime = kClock + 3600;
  const std::vector<uint8_t> reply =
      askUnlocked(buildCommand(kClassMeter, kCmdSetTime, 0, le32(newTime)));
  expectFrame(reply, kCmdSetTime);
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(static_cast<int32_t>(u32At(reply, 12)), newTime);
  EXPECT_NEAR(static_cast<int32_t>(u32At(reply, 16)), kClock, 5);
  EXPECT_NEAR(model.clockNow(), newTime, 5);
  EXPECT_EQ(model.dataHeader(2).postDateTime, newTime);
  EXPECT_EQ(model.totalsHeader().priorDateTime, static_cast<int32_t>(u32At(reply, 16)));
}

TEST_F(MeterModelTest, RestartLoggerEchoesLogNoAndEmptiesTheLogger) {
  const std::vector<uint8_t> params = {1, 2, 3, 4, 5, 6};
  struct Row {
    uint16_t command;
    uint16_t logNo;
    std::vector<uint8_t> extra;
    uint16_t status;
  };
  const Row rows[] = {
      {kCmdRestartLogger, 2, {}, kStatusOk},
      {kCmdRestartLoggerWithParameters, 3, params, kStatusOk},
      {kCmdRestartLogger, 7, {}, kStatusNoSuchLogger},
  };
  ASSERT_EQ(u16At(ask(unlockWith("secret")), 4), kStatusOk);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.logNo);
    const std::vector<uint8_t> reply =
        ask(buildCommand(kClassMeter, row.command, 0, concat({le16(row.logNo), row.extra})));
    expectFrame(reply, row.command);
    ASSERT_EQ(reply.size(), 14u);
    EXPECT_EQ(u16At(reply, 4), row.status);
    EXPECT_EQ(u16At(reply, 12), row.logNo);
  }
  EXPECT_TRUE(model.pairs(2).empty());
  EXPECT_TRUE(model.totals().empty());
  EXPECT_EQ(model.pairs(1).size(), 10u);
  EXPECT_EQ(model.lastRestartParameters()[5], 6);
  EXPECT_EQ(u16At(ask(getData(2, kSelectAll, 0, 0)), 4), kStatusNoData);
  // The header of an emptied logger continues its numbering.
  EXPECT_EQ(model.dataHeader(2).firstPairRSN, model.dataHeader(2).lastPairRSN + 1);
}

TEST_F(MeterModelTest, ResetSelectionsAnswerThenEmptyTheLogger) {
  const std::vector<Pair> pairs = model.pairs(1);
  const std::vector<uint8_t> reply =
      askUnlocked(getData(1, kSelectByRsnAndReset, pairs[8].rsn, pairs[9].rsn));
  ASSERT_EQ(u16At(reply, 4), kStatusOk);
  EXPECT_EQ(reply.size(), 14 + u32At(reply, 14) + 2 * 4);
  EXPECT_TRUE(model.pairs(1).empty());
  EXPECT_EQ(u16At(ask(getData(3, kSelectAllAndReset, 0, 0)), 4), kStatusOk);
  EXPECT_TRUE(model.totals().empty());
}

TEST_F(MeterModelTest, PendingReplyIsResumedFromTheAskedOffset) {
  const auto query = buildCommand(kClassControl, kCtlQueryPendingReply, 0, {});
  EXPECT_EQ(u16At(ask(query), 10), 0);  // nothing pending yet
  const std::vector<uint8_t> dib = ask(buildCommand(kClassMeter, kCmdGetDib, 0, {}));
  const std::vector<uint8_t> queried = ask(query);
  expectFrame(queried, kCtlQueryPendingReply);
  EXPECT_EQ(u16At(queried, 4), kStatusOk);
  const uint16_t id = u16At(queried, 10);
  ASSERT_NE(id, 0);

  const Answer resumed =
      model.handle(buildCommand(kClassControl, kCtlRequestResume, id, le32(100)));
  ASSERT_EQ(resumed.replies.size(), 2u);
  const std::vector<uint8_t>& confirmation = resumed.replies[0].bytes;
  expectFrame(confirmation, kCtlRequestResume);
  EXPECT_EQ(confirmation.size(), 16u);
  EXPECT_EQ(u16At(confirmation, 4), kStatusOk);
  EXPECT_EQ(u16At(confirmation, 10), id);
  EXPECT_EQ(resumed.replies[1].bytes, dib);
  EXPECT_EQ(resumed.replies[1].startOffset, 100u);

  for (const auto& bad : {buildCommand(kClassControl, kCtlRequestResume, id + 1, le32(0)),
                          buildCommand(kClassControl, kCtlRequestResume, id,
                                       le32(static_cast<uint32_t>(dib.size())))}) {
    const Answer refused = model.handle(bad);
    ASSERT_EQ(refused.replies.size(), 1u);
    EXPECT_EQ(u16At(refused.replies[0].bytes, 4), kStatusParameterNotValid);
  }
}

TEST_F(MeterModelTest, WithoutPendingRepliesTheQueryAnswersTheConfiguredStatus) {
  ModelSettings s = settings();
  s.keepPendingReplies = false;
  s.noPendingStatus = kStatusParameterNotValid;
  MeterModel forgetful(Profile::defaults(), s);
  forgetful.handle(buildCommand(kClassMeter, kCmdGetDib, 0, {}));
  const std::vector<uint8_t> reply =
      forgetful.handle(buildCommand(kClassControl, kCtlQueryPendingReply, 0, {}))
          .replies.at(0)
          .bytes;
  EXPECT_EQ(u16At(reply, 4), kStatusParameterNotValid);
  EXPECT_EQ(forgetful.pendingReplyId(), 0);
}

TEST_F(MeterModelTest, ForcedStatusAnswersOnlyMatchingCommands) {
  const auto dib = buildCommand(kClassMeter, kCmdGetDib, 0, {});
  const auto cancel = buildCommand(kClassControl, kCtlCancelSession, 0, le16(5));
  const auto restart = buildCommand(kClassMeter, kCmdRestartLogger, 0, le16(2));
  struct Row {
    ForcedStatus forced;
    const std::vector<uint8_t>* message;
    uint16_t status;
  };
  const Row rows[] = {
      {{22, 0, kClassMeter}, &dib, 22},
      {{22, 0, kClassMeter}, &cancel, kStatusOk},
      {{8, kCmdGetHeader, kClassMeter}, &dib, kStatusOk},
      {{8, 0, kClassControl}, &cancel, 8},
      {{8, 0, 0}, &restart, 8},
  };
  for (const Row& row : rows) {
    const std::vector<uint8_t> reply = model.handle(*row.message, row.forced).replies.at(0).bytes;
    EXPECT_EQ(u16At(reply, 4), row.status);
  }
  // A forced RestartLogger answer still echoes the logger number.
  EXPECT_EQ(u16At(model.handle(restart, {8, 0, 0}).replies.at(0).bytes, 12), 2);
}

TEST_F(MeterModelTest, RawMessageIsAnsweredWithItsText) {
  const std::string text = "PING 42";
  const std::vector<uint8_t> reply = ask({text.begin(), text.end()});
  EXPECT_EQ(std::string(reply.begin(), reply.end()), std::string(kMessageReplyPrefix) + text);
}

TEST_F(MeterModelTest, DibChangedFlagIsSetOnEveryLoggerAndClearedByReadingTheDib) {
  model.setDibChanged(true);
  for (uint16_t logNo = 1; logNo <= 3; ++logNo) {
    EXPECT_EQ(model.statusFlags(logNo) & kStatusFlagDibChanged, kStatusFlagDibChanged);
  }
  const std::vector<uint8_t> header =
      askUnlocked(buildCommand(kClassMeter, kCmdGetHeader, 0, le16(2)));
  EXPECT_EQ(u32At(header, header.size() - 4) & kStatusFlagDibChanged, kStatusFlagDibChanged);
  ask(buildCommand(kClassMeter, kCmdGetDib, 0, {}));
  EXPECT_EQ(model.statusFlags(3), 0u);
}

TEST_F(MeterModelTest, ShortCommandsAreRefusedAsNotValid) {
  for (uint16_t command : {kCmdGetHeader, kCmdGetData, kCmdSetTime}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(u16At(askUnlocked(buildCommand(kClassMeter, command, 0, {})), 4),
              kStatusParameterNotValid);
  }
  EXPECT_EQ(u16At(ask(buildCommand(kClassMeter, 99, 0, {})), 4), kStatusNotImplemented);
}

TEST(ProfileTest, SettingsOverrideTheBuiltInMeter) {
  const std::string path = ::testing::TempDir() + "metersim_profile.txt";
  {
    std::ofstream file(path);
    file << "# site\nmeter_id = M-77\n\nsupplier=0x2A\ncalibore=80.5\nversion8=Z\n";
  }
  Profile profile = Profile::defaults();
  std::string error;
  ASSERT_TRUE(profile.load(path, &error)) << error;
  EXPECT_EQ(profile.identity.meter_id, "M-77");
  EXPECT_EQ(profile.identity.supplier, 42);
  EXPECT_EQ(profile.identity.calibore, 80.5f);
  EXPECT_EQ(profile.versions[7], "Z");
  const std::pair<const char*, const char*> refused[] = {
      {"colour", "red"}, {"supplier", "70000"}, {"interval1", "0"}, {"calibore", "x"}};
  for (const auto& setting : refused) {
    EXPECT_FALSE(profile.apply(setting.first, setting.second, &error)) << setting.first;
  }
  std::ofstream(path) << "meter_id\n";
  EXPECT_FALSE(profile.load(path, &error));
  EXPECT_NE(error.find(":1:"), std::string::npos) << error;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vb::metersim
