// Requests end to end: the host's records through libVantbrook.so and
// libbrisel.so over a pseudo-terminal to the simulated meter, compared with
// what the simulator holds.
#include <algorithm>
#include <atomic>

#include "formats/cdtf.h"
#include "platform/serial.h"
#include "sim_fixture.h"

namespace vb::e2e {
namespace {

using metersim::Options;

TEST_F(SimTest, IdentityBlockMatchesTheMeterFieldByField) {
  Options options;
  options.profileSettings = {{"meter_id", std::string(50, 'K')}, {"supplier", "4321"}};
  StartSim(options);
  ASSERT_EQ(Run(VB_REQ_DIB), 1) << FieldText(result_.message);
  const metersim::IdentityBlock id = sim_->model().identity();
  EXPECT_EQ(dib_.strusize, static_cast<uint16_t>(id.strusize));
  EXPECT_EQ(dib_.struvers, id.struvers);
  EXPECT_EQ(dib_.supplier, 4321);
  EXPECT_EQ(FieldText(dib_.meter_id), std::string(39, 'K'));
  EXPECT_EQ(dib_.last_alt, request::CdtfToHost(static_cast<uint32_t>(id.last_alt)));
  EXPECT_EQ(dib_.trans_id, id.trans_id);
  EXPECT_EQ(dib_.transpin, id.transpin);
  EXPECT_EQ(dib_.flows_id, id.flows_id);
  EXPECT_EQ(dib_.press_id, id.press_id);
  EXPECT_EQ(dib_.calibore, id.calibore);
  EXPECT_EQ(dib_.aux_word, id.aux_word);
  const std::pair<const char*, const std::string*> texts[] = {
      {dib_.flowcont, &id.flowcont}, {dib_.trancont, &id.trancont}, {dib_.prescont, &id.prescont},
      {dib_.transtag, &id.transtag}, {dib_.presstag, &id.presstag}, {dib_.manufact, &id.manufact},
      {dib_.transtyp, &id.transtyp}, {dib_.business, &id.business}, {dib_.location, &id.location},
      {dib_.flowcali, &id.flowcali}, {dib_.prescali, &id.prescali}, {dib_.usermess, &id.usermess},
      {dib_.tranvers, &id.tranvers}, {dib_.protvers, &id.protvers}, {dib_.loggvers, &id.loggvers}};
  for (const auto& text : texts) {
    EXPECT_EQ(std::string(text.first, strnlen(text.first, VB_TEXT_FIELD)), text.second->substr(0, 39));
  }
  EXPECT_EQ(result_.code, VB_OK);
  EXPECT_EQ(request_.connectCount, 1);
  EXPECT_EQ(request_.linkHandle, -1);
  EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kGetDib, kCancelSession}));

  dib_.supplier = 1;
  EXPECT_EQ(Run(VB_REQ_DIB), 0);
  EXPECT_EQ(result_.code, VB_SUPPLIER_MISMATCH);
  EXPECT_EQ(FieldText(result_.message), "Mismatch on supplier ID. Expected 1, got 4321");
  EXPECT_EQ(dib_.supplier, 1);
}

TEST_F(SimTest, VersionTextsInReplyOrder) {
  StartSim(Options{});
  VersionRecord versions{};
  request_.download = &versions;
  ASSERT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
  const std::array<std::string, 8> expected = sim_->model().versions();
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(FieldText(versions.text[i]), expected[i].substr(0, 39)) << i;
  }
}

TEST_F(SimTest, MessageTextIsPassedThroughAndAnsweredIntoTheHostBuffer) {
  StartSim(Options{});
  char text[200] = "PING 42";
  request_.data = reinterpret_cast<unsigned char*>(text);
  request_.dataLength = sizeof text;
  ASSERT_EQ(Run(VB_REQ_MESSAGE), 1) << FieldText(result_.message);
  EXPECT_EQ(std::string(text), std::string(metersim::kMessageReplyPrefix) + "PING 42");
  EXPECT_EQ(request_.dataLength, sizeof text);
  const std::vector<metersim::ReceivedMessage> received = sim_->received();
  const bool sentUnchanged =
      std::any_of(received.begin(), received.end(), [](const metersim::ReceivedMessage& m) {
        return m.bytes == std::vector<uint8_t>{'P', 'I', 'N', 'G', ' ', '4', '2'};
      });
  EXPECT_TRUE(sentUnchanged);
}

TEST_F(SimTest, HeadersOfAllThreeLoggersMatchTheMeter) {
  StartSim(Options{});
  for (int16_t logNo : {int16_t{1}, int16_t{2}}) {
    SCOPED_TRACE(logNo);
    DataHeaderRecord header{};
    DownloadRecord download{&header, nullptr, 0};
    request_.download = &download;
    request_.logNo = logNo;
    ASSERT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
    const metersim::DataLoggerHeader expected = sim_->model().dataHeader(static_cast<uint16_t>(logNo));
    EXPECT_EQ(header.recordSize, 112);
    EXPECT_EQ(FieldText(header.siteId), expected.siteId);
    EXPECT_EQ(header.firstPairRSN, expected.firstPairRSN);
    EXPECT_EQ(header.lastPairRSN, expected.lastPairRSN);
    EXPECT_EQ(header.firstPairDateTime,
              request::CdtfToHost(static_cast<uint32_t>(expected.firstPairDateTime)));
    EXPECT_EQ(header.loggingInterval, expected.loggingInterval);
    EXPECT_EQ(header.calibratedBore, expected.calibratedBore);
    EXPECT_EQ(header.heightOffset, expected.heightOffset);
    EXPECT_EQ(header.statusFlags, expected.statusFlags);
    EXPECT_EQ(header.count, 0u);
  }
  TotalsHeaderRecord totals{};
  DownloadRecord download{&totals, nullptr, 0};
  request_.download = &download;
  request_.logNo = 3;
  ASSERT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
  const metersim::TotalsLoggerHeader expected = sim_->model().totalsHeader();
  EXPECT_EQ(totals.recordSize, 132u);
  EXPECT_EQ(FieldText(totals.siteId), expected.siteId);
  EXPECT_EQ(FieldText(totals.auxText), expected.auxText);
  EXPECT_EQ(totals.firstRecordRSN, expected.firstRecordRSN);
  EXPECT_EQ(totals.lastRecordRSN, expected.lastRecordRSN);
  EXPECT_EQ(Commands().back(), kLock);
}

TEST_F(SimTest, ChangedIdentityBlockIsReadAgainBeforeLockForEachLogger) {
  StartSim(Options{});
  DataHeaderRecord header{};
  TotalsHeaderRecord totals{};
  DownloadRecord pairsDownload{&header, nullptr, 0};
  DownloadRecord totalsDownload{&totals, nullptr, 0};
  for (int16_t logNo : {int16_t{1}, int16_t{2}, int16_t{3}}) {
    SCOPED_TRACE(logNo);
    sim_->model().setDibChanged(true);
    sim_->clearReceived();
    dib_ = DibRecord{};
    request_.logNo = logNo;
    request_.download = logNo == 3 ? &totalsDownload : &pairsDownload;
    ASSERT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
    EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kUnlock, kGetHeader,
                                                     kCancelSession, kGetDib, kCancelSession,
                                                     kLock}));
    EXPECT_EQ(FieldText(dib_.meter_id), sim_->model().identity().meter_id);
    EXPECT_EQ(sim_->model().statusFlags(static_cast<uint16_t>(logNo)) & 0x2000u, 0u);
  }
  sim_->clearReceived();
  request_.logNo = 1;
  request_.download = &pairsDownload;
  ASSERT_EQ(Run(VB_REQ_HEADER), 1) << FieldText(result_.message);
  EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kUnlock, kGetHeader,
                                                   kCancelSession, kLock}));
}

TEST_F(SimTest, EveryRequestCodeRunsAndOnlyTheReservedOnesAreNotImplemented) {
  Options options;
  options.pairsPerLogger = 20;
  StartSim(options);
  DataHeaderRecord header{};
  std::vector<ConvertedPair> entries(20);
  DownloadRecord download{&header, entries.data(), 20};
  VersionRecord versions{};
  char message[64] = "HELLO";
  for (int16_t code = 2738; code <= 2749; ++code) {
    SCOPED_TRACE(code);
    request_.download = code == VB_REQ_VERSIONS ? static_cast<void*>(&versions) : &download;
    request_.data = code == VB_REQ_MESSAGE ? reinterpret_cast<unsigned char*>(message) : nullptr;
    request_.dataLength = code == VB_REQ_MESSAGE ? sizeof message : 0;
    const bool reserved = code == 2740 || code == 2741 || code == 2747;
    EXPECT_EQ(Run(code), reserved ? 0 : 1) << FieldText(result_.message);
    if (reserved) {
      EXPECT_EQ(result_.code, VB_NOT_IMPLEMENTED);
    } else {
      EXPECT_NE(FieldText(result_.message), "Not implemented");
    }
  }
  EXPECT_EQ(request_.linkHandle, -1) << "2749 released the link held by 2748";
}

TEST_F(SimTest, HeldLinkIsReusedAndReleased) {
  StartSim(Options{});
  ASSERT_EQ(Run(VB_REQ_HOLD), 1) << FieldText(result_.message);
  VersionRecord versions{};
  request_.download = &versions;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
    EXPECT_EQ(request_.connectCount, 1);
  }
  EXPECT_EQ(sim_->wakeups(), 1u);
  EXPECT_EQ(Run(VB_REQ_RELEASE), 1);
  EXPECT_EQ(request_.linkHandle, -1);
  EXPECT_EQ(Run(VB_REQ_RELEASE), 0);
}

TEST_F(SimTest, RefusedDownloadKeepsAHeldLinkOnCode7AndClosesItOnCode4) {
  Options options;
  options.faults.forceStatus = 7;
  options.faults.forceStatusCommand = 13;
  StartSim(options);
  DataHeaderRecord header{};
  std::vector<RawPair> entries(10);
  DownloadRecord download{&header, entries.data(), 10};
  request_.download = &download;
  request_.specifier = 1002;
  request_.holdConnection = 1;
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
  EXPECT_EQ(result_.code, VB_NO_DATA_IN_RANGE);
  EXPECT_EQ(FieldText(result_.message), "No data in specified range");
  EXPECT_NE(request_.linkHandle, -1);
  EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kUnlock, kGetData}));

  metersim::Faults faults;
  faults.forceStatus = 4;
  faults.forceStatusCommand = 13;
  sim_->setFaults(faults);
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
  EXPECT_EQ(result_.code, VB_READ_ACCESS_DENIED);
  EXPECT_EQ(request_.linkHandle, -1);
}

// The host's own line to the meter, reopened by its callback during a
// reconnect; reopening also wakes the meter up again.
struct HostLine {
  std::string path;
  platform::SerialDevice line;
  metersim::Simulator* sim = nullptr;
  std::atomic<int> closes{0};
  std::atomic<int> reopens{0};
};
HostLine* g_hostLine = nullptr;

bool OpenHostLine(int32_t* handle) {
  if (!g_hostLine->line.open(g_hostLine->path) ||
      !g_hostLine->line.setSettings(platform::SerialSettings{})) {
    return false;
  }
  *handle = platform::fieldFromLine(g_hostLine->line.handle());
  return true;
}

int CloseHostLine(int32_t* handle) {
  ++g_hostLine->closes;
  g_hostLine->line.close();
  *handle = -1;
  return 1;
}

int ReopenHostLine(int32_t* handle) {
  ++g_hostLine->reopens;
  g_hostLine->sim->setFaults(metersim::Faults{});
  return OpenHostLine(handle) ? 1 : 0;
}

TEST_F(SimTest, SilentMeterIsReachedAgainThroughAReconnectWithRealTimings) {
  Options options;
  options.faults.silent = true;
  StartSim(options);
  HostLine hostLine;
  hostLine.path = sim_->devicePath();
  hostLine.sim = sim_.get();
  g_hostLine = &hostLine;
  ASSERT_TRUE(OpenHostLine(&request_.portHandle));
  request_.closePortCallback = CloseHostLine;
  request_.reopenPortCallback = ReopenHostLine;
  request_.commandAttempts = 3;
  request_.receiveTimeout = 1500;
  request_.frameTimeout = 1000;
  VersionRecord versions{};
  request_.download = &versions;
  EXPECT_EQ(Run(VB_REQ_VERSIONS), 1) << FieldText(result_.message);
  EXPECT_EQ(request_.connectCount, 2);
  EXPECT_EQ(hostLine.closes, 1);
  EXPECT_EQ(hostLine.reopens, 1);
  EXPECT_EQ(sim_->wakeups(), 2u);
  EXPECT_EQ(FieldText(versions.text[0]), sim_->model().versions()[0]);
  const std::vector<MeterCommand> commands = Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), kCancelSession), 4);
  g_hostLine = nullptr;
  request_.portHandle = -1;
}

}  // namespace
}  // namespace vb::e2e
